// A server over a FakePlatform, for unit tests of the passes: no sessions, a
// listener, the credentials alice / secret, and a scratch working directory
// for the event log.
#pragma once

#include "switch/server.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Links a new session at the end of the list, as the wait step would.
    Session* add_session(SessionState state = SessionState::online);
    std::vector<Session*> sessions() const;
    // Queues bytes as the session's input, as a read would, for the input
    // pass to take.
    void give_input(Session* session, std::string_view bytes);
    // The socket the fake gives the session.
    FakeSocket& peer(const Session* session) { return net.socket(session->transport.socket); }
    // The log file after writing out the lines the passes have logged.
    std::string log()
    {
        log_flush(server.log, net.now);
        return dir.read(server.log.path);
    }

    FakePlatform net;
    ScratchDirectory dir;
    Server server;
};
