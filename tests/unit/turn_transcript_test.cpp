// What the outside sees of the loop, over many random turns: the bytes each
// client receives, the turn each is closed in, and the event log. Clients
// connect, log in or fail to, send frames of every kind in pieces, read
// slowly, hang up, reset and go silent, on the faked platform with a
// scripted clock; the transcript of a seed is reduced to a digest.
//
// The digests below were made by the loop as it was before its passes
// walked work lists instead of every session, and the loop must keep them:
// its inside may change, what clients and log readers see may not. When a
// change is meant to alter what they see, regenerate them: run
//   QM_TRANSCRIPT_PRINT=1 build/tests/unit_tests --gtest_filter='TurnTranscript*'
// and copy the printed digests here, saying in the commit what changed and
// why. QM_TRANSCRIPT_DIR=DIR also writes each seed's transcript to
// DIR/transcript-SEED.txt, so two builds' transcripts can be compared line
// by line to find where they part.
#include "protocol/frame.h"
#include "switch/turn.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::time_t WALL_CLOCK_START = 1'700'000'000;

// FNV-1a, 64 bits: stable everywhere, which is all a digest needs here.
struct Digest {
    std::uint64_t value = 14695981039346656037ull;
    void add(std::string_view bytes)
    {
        for (char c : bytes) {
            value ^= static_cast<unsigned char>(c);
            value *= 1099511628211ull;
        }
    }
};

// xorshift64: the same script for the same seed on every machine.
struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
};

enum class Role { good, wrong_password, silent, login_only, garbage };

struct Client {
    socket_handle sock = 0;
    Role role = Role::good;
    std::string address;     // the one it announces
    std::string to_write;    // what it has still to write, given in pieces
    int frames_left = 0;
    bool ended = false;      // it hung up, reset or went silent for good
    bool closed = false;     // the server closed its socket
    int turns_without_room = 0;
    Digest received;
    std::size_t received_bytes = 0;
};

class Script {
public:
    Script(std::uint64_t seed, FakePlatform& net) : random{seed * 0x9E3779B97F4A7C15ull | 1}, net(net) {}

    // Runs turns until the clients have written frames frames, then lets
    // every session end; returns the transcript's digest.
    std::uint64_t run(Server& server, int frames, std::string* transcript)
    {
        std::string closes;
        for (int turn = 0; written_frames < frames || !all_closed(); turn++) {
            if (turn > 40 * frames) {
                ADD_FAILURE() << "the sessions never ended";
                break;
            }
            const bool winding_down = written_frames >= frames;
            if (!winding_down)
                maybe_connect();
            for (Client& c : clients)
                act(c, winding_down);
            advance_clock(winding_down);
            serve_one_turn(server);
            collect(turn, closes);
        }
        log_flush(server.log, net.now);
        std::ifstream file(server.log.path, std::ios::binary);
        const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::string text = closes;
        for (const Client& c : clients)
            text += "socket " + std::to_string(c.sock) + " received " + std::to_string(c.received_bytes) +
                    " bytes, digest " + std::to_string(c.received.value) + "\n";
        text += log;
        Digest digest;
        digest.add(text);
        *transcript = std::move(text);
        return digest.value;
    }

private:
    bool all_closed() const
    {
        for (const Client& c : clients)
            if (!c.closed)
                return false;
        return net.pending_accepts.empty();
    }

    // One connection waits for the accept at a time, so its look-up is the
    // one the fake is set up for. At most one look-up hangs at once: its
    // deadline then never falls in the turn of another's.
    void maybe_connect()
    {
        std::size_t open = 0;
        for (const Client& c : clients)
            open += !c.closed;
        if (!net.pending_accepts.empty() || open >= 16 || !random.chance(12))
            return;
        net.lookups_hang = net.hanging_lookups.empty() && random.chance(10);
        net.host_name = random.chance(30) ? "host" + std::to_string(random.below(5)) + ".example" : "";
        Client c;
        c.sock = net.queue_connection();
        const std::size_t pick = random.below(100);
        c.role = pick < 72 ? Role::good
                 : pick < 80 ? Role::wrong_password
                 : pick < 86 ? Role::silent
                 : pick < 92 ? Role::login_only
                             : Role::garbage;
        c.address = "a" + std::to_string(random.below(24));
        c.frames_left = static_cast<int>(1 + random.below(400));
        c.to_write = opening(c);
        clients.push_back(std::move(c));
    }

    std::string opening(const Client& c)
    {
        switch (c.role) {
        case Role::good:
            return random.chance(50) ? "alice\r\nsecret\r\n" : "alice\nsecret\n";
        case Role::wrong_password:
            return "alice\r\nsecreT\r\n";
        case Role::login_only:
            return "alice\r\n";
        case Role::garbage: {
            std::string bytes;
            const std::size_t n = random.chance(50) ? 10001 + random.below(3000) : 1 + random.below(300);
            for (std::size_t i = 0; i < n; i++)
                bytes += static_cast<char>(random.chance(95) ? 'g' : 1 + random.below(9));
            return bytes;
        }
        case Role::silent:
            break;
        }
        return "";
    }

    std::string some_address()
    {
        return "a" + std::to_string(random.below(26));
    }

    std::string body()
    {
        static const char alphabet[] = "abcxyz 019\"\\\t";
        std::string text;
        const std::size_t n = random.chance(3) ? 300 + random.below(3800) : random.below(60);
        for (std::size_t i = 0; i < n; i++)
            text += alphabet[random.below(sizeof alphabet - 1)];
        return text;
    }

    // A frame of every kind the switch meets, mostly relayed ones.
    std::string frame(const Client& c)
    {
        const std::size_t kind = random.below(100);
        const std::string head = "m" + std::to_string(random.below(100)) + " " + c.address + " ";
        if (kind < 45)
            return make_frame(head + "\"\" " + body());
        if (kind < 80)
            return make_frame(head + some_address() + " " + body());
        if (kind < 84)
            return make_frame(head + some_address());
        if (kind < 88)
            return make_frame("short " + c.address);
        if (kind < 91) {
            std::string bad = make_frame(head + "\"\" " + body());
            bad.back() = static_cast<char>(bad.back() ^ 0x01);
            return bad;
        }
        if (kind < 93)
            return make_frame(head + "\"\\000B\" x");
        if (kind < 94)
            return make_frame(head + "\"\" " + std::string(FRAME_MAX + random.below(200), 'o'));
        if (kind < 97)
            return make_frame(head + "\"\"");
        return make_frame("\"x\" " + c.address + " \"\" " + body());
    }

    void act(Client& c, bool winding_down)
    {
        FakeSocket& s = net.socket(c.sock);
        if (c.closed)
            return;
        give_room(c, s);
        if (c.ended)
            return;
        if (c.to_write.empty() && c.role == Role::good && c.frames_left > 0 && !winding_down) {
            const int n = static_cast<int>(1 + random.below(random.chance(10) ? 40 : 4));
            for (int i = 0; i < n && c.frames_left > 0; i++, c.frames_left--) {
                c.to_write += frame(c);
                written_frames++;
            }
        }
        if (!c.to_write.empty() && random.chance(60)) {
            const std::size_t piece = random.chance(50) ? c.to_write.size() : 1 + random.below(c.to_write.size());
            s.incoming += c.to_write.substr(0, piece);
            c.to_write.erase(0, piece);
        }
        if (c.to_write.empty() && (c.frames_left == 0 || c.role != Role::good || winding_down))
            end(c, s);
        else if (random.chance(1) && random.chance(5))
            s.exception = true;
    }

    // How a client's session ends once it has said all it will: it hangs
    // up, resets, or goes silent and waits for the idle limit.
    void end(Client& c, FakeSocket& s)
    {
        c.ended = true;
        if (c.role == Role::silent || c.role == Role::login_only)
            return;
        const std::size_t how = random.below(10);
        if (how < 6) {
            s.peer_closed = true;
            // Reported whatever the socket is watched for, while its name is
            // looked up too.
            s.hung_up = random.chance(50);
        } else if (how < 8) {
            s.recv_error = WSAECONNRESET;
        }
    }

    // The client reads what it was sent: mostly at once, now and then a
    // little, for a few turns at most, so no receiver stalls long enough to
    // be closed for it.
    void give_room(Client& c, FakeSocket& s)
    {
        if (s.send_room > 0) {
            c.turns_without_room = 0;
            if (random.chance(3))
                s.send_room = random.below(300);
            return;
        }
        if (++c.turns_without_room > 4 || random.chance(60))
            s.send_room = random.chance(80) ? SIZE_MAX : 1 + random.below(5000);
    }

    // Mostly a millisecond or less a turn; now and then the second a look-up
    // takes, or the minute after which the silent are closed.
    void advance_clock(bool winding_down)
    {
        const std::size_t step = random.below(1000);
        std::int64_t ms = step < 300 ? 0 : step < 800 ? 1 : step < 995 ? 2 + static_cast<std::int64_t>(random.below(4))
                                                                        : 0;
        if (step >= 995 && step < 999)
            ms = 200 + static_cast<std::int64_t>(random.below(900));
        if (step == 999 || (winding_down && random.chance(2)))
            ms = 61000;
        if (ms > 10) {
            // A long pause is no stall: every client has read up first.
            for (Client& c : clients)
                if (!c.closed)
                    net.socket(c.sock).send_room = SIZE_MAX;
            finish_hanging_lookup();
        }
        net.now_ms += ms;
        net.now = WALL_CLOCK_START + net.now_ms / 1000;
    }

    // A look-up that hangs sometimes answers before its deadline.
    void finish_hanging_lookup()
    {
        if (net.hanging_lookups.empty() || random.chance(50))
            return;
        net.finished_lookups.push_back(net.hanging_lookups.front());
        net.hanging_lookups.pop_front();
    }

    void collect(int turn, std::string& closes)
    {
        for (Client& c : clients) {
            if (c.closed)
                continue;
            FakeSocket& s = net.socket(c.sock);
            c.received.add(s.sent);
            c.received_bytes += s.sent.size();
            s.sent.clear();
            if (s.closed) {
                c.closed = true;
                closes += "turn " + std::to_string(turn) + " closed " + std::to_string(c.sock) + "\n";
                net.sockets.erase(c.sock);
            }
        }
    }

    Random random;
    FakePlatform& net;
    std::vector<Client> clients;
    int written_frames = 0;
};

struct Seed {
    std::uint64_t seed;
    int frames;
    std::uint64_t digest;
};

// What the loop produced for these seeds before its passes took work lists.
constexpr Seed SEEDS[] = {
    {1, 75000, 5385574126260520112ull},
    {2, 75000, 5377085246311927357ull},
    {3, 75000, 5127587863994075858ull},
    {4, 75000, 13025983838420006172ull},
};

class TurnTranscript : public ::testing::TestWithParam<Seed> {};

TEST_P(TurnTranscript, WhatClientsAndTheLogSeeIsUnchanged)
{
    const Seed seed = GetParam();
    const char* zone = std::getenv("TZ");
    const std::string saved_zone = zone ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    ScratchDirectory dir;
    dir.enter();
    FakePlatform net;
    Server server;
    server.log.echo_to_stdout = false;
    server.max_clients = 10;
    add_listener(server, FakePlatform::LISTENER, ListenerKind::switch_clients, &plain_transport());
    server.poller = platform.open_poller();
    set_credentials(server, "alice", "secret");

    Script script(seed.seed, net);
    std::string transcript;
    const std::uint64_t digest = script.run(server, seed.frames, &transcript);
    drop_all_sessions(server);
    log_close(server.log);
    if (zone)
        setenv("TZ", saved_zone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    if (const char* out = std::getenv("QM_TRANSCRIPT_DIR"))
        std::ofstream(std::string(out) + "/transcript-" + std::to_string(seed.seed) + ".txt", std::ios::binary)
            << transcript;
    if (std::getenv("QM_TRANSCRIPT_PRINT"))
        std::printf("    {%llu, %d, %lluull},\n", static_cast<unsigned long long>(seed.seed), seed.frames,
                    static_cast<unsigned long long>(digest));
    EXPECT_EQ(digest, seed.digest) << "what clients or the log see has changed; see the top of this file";
}

INSTANTIATE_TEST_SUITE_P(Seeds, TurnTranscript, ::testing::ValuesIn(SEEDS),
                         [](const ::testing::TestParamInfo<Seed>& info) {
                             return "Seed" + std::to_string(info.param.seed);
                         });

} // namespace
