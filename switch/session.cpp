#include "switch/session.h"

int send_text(Session& session, std::string_view text)
{
    return session.transport.layer->send(session, text.data(), static_cast<int>(text.size()));
}

namespace {

bool plain_open(const Server&, Session&)
{
    return true;
}

HandshakeStep plain_handshake(Session&, const char**)
{
    return HandshakeStep::done;
}

int plain_recv(Session& session, char* buffer, int size)
{
    return platform.recv(session.transport.socket, buffer, size);
}

int plain_send(Session& session, const char* data, int size)
{
    return platform.send(session.transport.socket, data, size, 0);
}

bool plain_nothing_buffered(const Session&)
{
    return false;
}

bool plain_nothing_to_write(const Session&)
{
    return false;
}

void plain_release(Session&)
{
}

const char* no_failure_of_its_own(const Session&)
{
    return "";
}

constexpr Transport PLAIN_TRANSPORT{
    .name = "plain",
    .peer_name_suffix = "",
    .open = plain_open,
    .handshake = plain_handshake,
    .recv = plain_recv,
    .send = plain_send,
    .has_buffered_input = plain_nothing_buffered,
    .wants_write = plain_nothing_to_write,
    .release = plain_release,
    .failure = no_failure_of_its_own,
    .would_block_means_nothing_now = false,
    .gathers_output = false,
};

} // namespace

const Transport& plain_transport()
{
    return PLAIN_TRANSPORT;
}
