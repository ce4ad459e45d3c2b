// The whole input pass, with the output pass after it, on faked sessions:
// one client goes through the login dialogue and sends a stream of frames,
// which reaches the server in pieces of random size down to one byte. Three
// faked receivers watch: one that announced the address "r1", one that
// announced nothing, and one still at its login prompt.
//
// The same stream is also given whole. Both runs must end alike: how bytes
// are cut on the way does not change what is relayed. Every receiver must get
// whole valid frames only, each from the stream, in the stream's order; a
// frame to all that reaches one online receiver reaches the other too, unless
// an allocation failure broke one of them. With an allocation failure
// injected, nothing may crash or leak.
#include "fuzz/fuzz_support.h"
#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "tests/support/fake_platform.h"

#include <string>
#include <vector>

namespace {

struct Outcome {
    bool sender_online = false;
    bool sender_closed = false;
    std::string sender_got;    // prompts only, never a frame
    std::string addressed_got; // the receiver that announced "r1"
    std::string silent_got;    // the receiver that announced nothing
    std::string waiting_got;   // the one still logging in: nothing ever

    bool operator==(const Outcome&) const = default;
};

Session* add_session(FakePlatform& net, Server& server, SessionState state)
{
    Session* session = net.link_session(server, state);
    fuzz_require(session != nullptr, "no session record");
    return session;
}

Session* find_session(const Server& server, socket_handle sock)
{
    for (Session* s = server.sessions.first; s; s = s->next)
        if (s->transport.socket == sock)
            return s;
    return nullptr;
}

// One turn of the loop after the wait pass, as the server runs them.
void run_passes(Server& server)
{
    input_pass(server);
    output_pass(server);
    free_closed_sessions(server);
}

// Turns until the sender's queue and state stop changing.
void run_until_settled(Server& server, socket_handle sender)
{
    for (;;) {
        Session* s = find_session(server, sender);
        if (!s)
            return;
        std::uint32_t length = s->input.queue.length;
        SessionState state = s->state;
        run_passes(server);
        s = find_session(server, sender);
        if (!s || (s->input.queue.length == length && s->state == state))
            return;
    }
}

// Splits what a receiver got into frames at their check bytes; the text must
// end with a whole frame.
std::vector<std::string> frames_of(const std::string& bytes)
{
    std::vector<std::string> frames;
    std::string frame;
    for (char c : bytes) {
        frame.push_back(c);
        if (is_check_byte(c)) {
            fuzz_require(frame_is_valid(frame), "a receiver got an invalid frame");
            frames.push_back(frame);
            frame.clear();
        }
    }
    fuzz_require(frame.empty(), "a receiver got part of a frame");
    return frames;
}

bool in_order_within(const std::vector<std::string>& part, const std::string& whole)
{
    std::size_t at = 0;
    for (const std::string& frame : part) {
        at = whole.find(frame, at);
        if (at == std::string::npos)
            return false;
        at += frame.size();
    }
    return true;
}

bool subsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    std::size_t at = 0;
    for (const std::string& frame : part) {
        while (at < whole.size() && whole[at] != frame)
            at++;
        if (at == whole.size())
            return false;
        at++;
    }
    return true;
}

Outcome run(const std::string& stream, FuzzRandom* pieces, long failing_allocation)
{
    FakePlatform net;
    Server server;
    set_credentials(server, "alice", "secret");
    Session* sender = add_session(net, server, SessionState::awaiting_login);
    Session* addressed = add_session(net, server, SessionState::online);
    announce_address(server.registry, *addressed, "r1", net.now);
    Session* silent = add_session(net, server, SessionState::online);
    Session* waiting = add_session(net, server, SessionState::awaiting_login);
    const socket_handle sender_socket = sender->transport.socket;
    if (failing_allocation > 0)
        net.fail_allocation_number = net.allocation_calls + failing_allocation;

    for (std::size_t fed = 0; fed < stream.size() && find_session(server, sender_socket);) {
        std::size_t piece = pieces ? pieces->piece(stream.size() - fed) : stream.size();
        // The wait pass appends what it receives; a failed append closes.
        Session* s = find_session(server, sender_socket);
        if (!queue_append(s->input.queue, std::string_view(stream).substr(fed, piece))) {
            close_session(server, *s, nullptr);
            break;
        }
        push_back(server.work.input, *s);
        fed += piece;
        run_passes(server);
    }
    run_until_settled(server, sender_socket);

    Outcome outcome;
    Session* s = find_session(server, sender_socket);
    outcome.sender_closed = s == nullptr;
    outcome.sender_online = s && s->state == SessionState::online;
    outcome.sender_got = net.socket(sender_socket).sent;
    outcome.addressed_got = net.socket(addressed->transport.socket).sent;
    outcome.silent_got = net.socket(silent->transport.socket).sent;
    outcome.waiting_got = net.socket(waiting->transport.socket).sent;

    net.fail_allocation_number = 0;
    drop_all_sessions(server);
    fuzz_require(net.live_blocks == 0, "blocks leaked");
    return outcome;
}

// With an allocation failing, a receiver whose queue could not grow is
// marked broken and gets nothing more, so the two receivers may then differ.
void check(const Outcome& outcome, const std::string& stream, bool allocations_fail)
{
    fuzz_require(outcome.waiting_got.empty(), "a session at its login prompt got a frame");
    fuzz_require(outcome.sender_got.empty() || outcome.sender_got == "password:",
                 "the sender got something other than its prompt");
    std::vector<std::string> addressed = frames_of(outcome.addressed_got);
    std::vector<std::string> silent = frames_of(outcome.silent_got);
    fuzz_require(in_order_within(addressed, stream), "a relayed frame is not from the stream, or out of order");
    fuzz_require(in_order_within(silent, stream), "a relayed frame is not from the stream, or out of order");
    fuzz_require(allocations_fail || subsequence(silent, addressed),
                 "a frame to all missed a receiver");
}

} // namespace

// Byte 0 seeds the piece sizes; byte 1, when not zero, is the number of the
// allocation that fails; the rest is what the client sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quiet_event_log();
    if (size < 2)
        return 0;
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    FuzzRandom pieces(data[0]);
    if (data[1] != 0) {
        check(run(stream, &pieces, data[1]), stream, true);
        return 0;
    }
    Outcome cut = run(stream, &pieces, 0);
    Outcome whole = run(stream, nullptr, 0);
    check(cut, stream, false);
    fuzz_require(cut == whole, "the outcome depends on how the stream was cut");
    return 0;
}
