// TLS records cut anywhere. A client on the faked network connects to the
// server's TLS listener, logs in and sends a stream of frames, cut into
// records where the input says (each tls_send of a piece is one record),
// down to one byte a record. The server runs whole turns of its loop; an
// online session on a plain socket receives what is relayed.
//
// However the records cut the stream, and however many of them come
// between two turns, the receiver must get every whole frame of the stream
// in order and nothing else, the unfinished tail never, exactly as a plain
// socket would have brought them; and the client must get its two prompts.
// A record whose bytes stay inside the library, where no wait sees them,
// shows as frames that never arrive.
//
// Byte 0 says where the records are cut: 0 at the input's cut marks only,
// 1 after every byte, anything else at the marks and into pieces of random
// size that it seeds. Byte 1 is how many records the client writes between
// two turns (0: all of them at once). The rest builds the frames: a byte with
// its high bit set ends a frame, a zero byte marks a cut, any other byte is a
// character of the frame's text.
#include "fuzz/fuzz_support.h"

#include "platform/tls.h"

#ifdef QM_HAVE_OPENSSL

#include "protocol/frame.h"
#include "switch/tls_transport.h"
#include "switch/turn.h"
#include "tests/support/fake_platform.h"
#include "tests/support/test_certificate.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

// Every frame is to all from the address "a", so each valid one is relayed.
constexpr std::string_view FRAME_HEAD = "m a \"\" ";
// Frames are closed at this length at the latest, well within a frame's
// and a session's input limits, so no frame is dropped for its size.
constexpr std::size_t TEXT_MAX = 1000;
constexpr std::string_view LOGIN = "alice\nsecret\n";
// Turns in a row without a byte moving, a frame relayed or a record sent
// before the run counts as stalled.
constexpr int QUIET_TURNS_MAX = 4;

// What the client sends and the receiver must get.
struct Plan {
    std::string stream;           // the login lines, the frames, the unfinished tail
    std::string frames;           // the whole frames: what is relayed
    std::string tail;             // the frame never closed: what the server holds
    std::vector<std::size_t> cuts; // offsets into stream where a record ends
};

// The text keeps to bytes that cannot change how the frame splits into
// fields: a backslash or a quote could join or void the head's fields.
char text_byte(std::uint8_t byte)
{
    return byte == '"' || byte == '\\' ? '_' : static_cast<char>(byte);
}

// A frame's head comes with its first text byte or its check byte, so a
// cut marked between two frames falls right after the first one's check byte.
std::string payload_of(const std::string& text)
{
    return std::string(FRAME_HEAD) + text;
}

void close_frame(Plan& plan, std::string& text)
{
    std::string frame = make_frame(payload_of(text));
    plan.stream += frame;
    plan.frames += frame;
    text.clear();
}

Plan plan_of(const std::uint8_t* body, std::size_t size)
{
    Plan plan;
    plan.stream = LOGIN;
    std::string text;
    for (std::size_t i = 0; i < size; i++) {
        if (body[i] == 0) {
            plan.cuts.push_back(plan.stream.size() + (text.empty() ? 0 : FRAME_HEAD.size() + text.size()));
        } else if (is_check_byte(static_cast<char>(body[i]))) {
            close_frame(plan, text);
        } else {
            text.push_back(text_byte(body[i]));
            if (text.size() == TEXT_MAX)
                close_frame(plan, text);
        }
    }
    // Never closed: the server holds it and relays none of it.
    if (!text.empty())
        plan.tail = payload_of(text);
    plan.stream += plan.tail;
    return plan;
}

// The record sizes that cover the stream: cut at the marks, after every
// byte, or at the marks and at random between them.
std::vector<std::size_t> records_of(const Plan& plan, std::uint8_t how)
{
    std::vector<std::size_t> ends;
    const std::size_t total = plan.stream.size();
    if (how == 1) {
        for (std::size_t at = 1; at <= total; at++)
            ends.push_back(at);
    } else {
        FuzzRandom random(how);
        std::size_t from = 0;
        std::vector<std::size_t> marks = plan.cuts;
        marks.push_back(total);
        for (std::size_t mark : marks) {
            while (how != 0 && from < mark)
                ends.push_back(from += random.piece(mark - from));
            if (mark > from)
                ends.push_back(from = mark);
        }
    }
    std::vector<std::size_t> sizes;
    std::size_t from = 0;
    for (std::size_t end : ends) {
        sizes.push_back(end - from);
        from = end;
    }
    return sizes;
}

// Made once: a context's certificate and key stay the same for every run.
struct Contexts {
    TlsContext* server = nullptr;
    TlsContext* client = nullptr;
};

const Contexts& contexts()
{
    static const Contexts made = [] {
        Contexts c;
        std::string error;
        TlsServerFiles files = self_signed(std::filesystem::current_path(), "fuzz");
        c.server = tls_server_context(files, &error);
        c.client = tls_client_context("", false, &error);
        fuzz_require(c.server && c.client, "no TLS context");
        return c;
    }();
    return made;
}

Session* find_session(const Server& server, socket_handle sock)
{
    for (Session* s = server.sessions.first; s; s = s->next)
        if (s->transport.socket == sock)
            return s;
    return nullptr;
}

// Moves what one end sent into the other's incoming bytes; true when any.
bool carry(FakeSocket& from, FakeSocket& to)
{
    if (from.sent.empty())
        return false;
    to.incoming += from.sent;
    from.sent.clear();
    return true;
}

// The client's end of the connection.
struct Client {
    TlsConnection* tls = nullptr;
    socket_handle sock = INVALID_SOCKET_HANDLE;
    std::string got; // the decrypted bytes the server sent
    std::size_t next_record = 0;
    std::size_t sent = 0;
};

void read_all(Client& client)
{
    char buffer[4096];
    int n;
    while ((n = tls_recv(client.tls, buffer, sizeof buffer)) > 0)
        client.got.append(buffer, static_cast<std::size_t>(n));
    fuzz_require(n < 0 && sock_last_error() == WSAEWOULDBLOCK, "the client's connection ended");
}

// One tls_send of a piece is one record; a piece longer than a record takes
// one call per record. The fake socket takes every byte offered.
void write_piece(Client& client, const char* piece, std::size_t size)
{
    for (std::size_t taken = 0; taken < size;) {
        int n = tls_send(client.tls, piece + taken, static_cast<int>(size - taken));
        fuzz_require(n > 0, "the client could not write a record");
        taken += static_cast<std::size_t>(n);
    }
}

// Takes the client's handshake on, then writes up to per_turn records
// (all when 0). Returns whether it wrote any.
bool write_records(Client& client, const std::string& stream, const std::vector<std::size_t>& records,
                   std::size_t per_turn)
{
    if (!tls_handshake_done(client.tls)) {
        fuzz_require(tls_handshake(client.tls) != TlsStep::failed, "the client's handshake failed");
        if (!tls_handshake_done(client.tls))
            return false;
    }
    std::size_t written = 0;
    while (client.next_record < records.size() && (per_turn == 0 || written < per_turn)) {
        write_piece(client, stream.data() + client.sent, records[client.next_record]);
        client.sent += records[client.next_record++];
        written++;
    }
    return written > 0;
}

void run(const Plan& plan, const std::vector<std::size_t>& records, std::size_t per_turn)
{
    FakePlatform net;
    Server server;
    // The log cannot be opened here (see quiet_event_log); every run saying
    // so would bury the fuzzer's own output.
    server.log.echo_to_stdout = false;
    server.log.file_trouble_said = true;
    set_credentials(server, "alice", "secret");
    server.poller = platform.open_poller();
    server.numeric_peer_names = true;
    server.tls_context = contexts().server;
    fuzz_require(add_listener(server, FakePlatform::LISTENER, ListenerKind::switch_clients, &tls_transport()),
                 "no listener");
    Session* receiver = net.link_session(server, SessionState::online);
    fuzz_require(receiver != nullptr, "no session record");
    const socket_handle receiver_socket = receiver->transport.socket;
    const socket_handle server_end = net.queue_connection();

    Client client;
    client.sock = net.new_socket();
    std::string error;
    client.tls = tls_connect(contexts().client, client.sock, "localhost", &error);
    fuzz_require(client.tls != nullptr, "the client's connection did not start");

    for (int quiet = 0; quiet < QUIET_TURNS_MAX;) {
        const std::size_t relayed = net.socket(receiver_socket).sent.size();
        bool moved = write_records(client, plan.stream, records, per_turn);
        moved |= carry(net.socket(client.sock), net.socket(server_end));
        serve_one_turn(server);
        fuzz_require(find_session(server, server_end) != nullptr, "the server closed the TLS session");
        moved |= carry(net.socket(server_end), net.socket(client.sock));
        read_all(client);
        moved |= net.socket(receiver_socket).sent.size() != relayed;
        quiet = moved ? 0 : quiet + 1;
    }

    fuzz_require(client.next_record == records.size(), "the client could not send every record");
    fuzz_require(client.got == "login:password:", "the client got something other than its prompts");
    const Session* sender = find_session(server, server_end);
    fuzz_require(sender->state == SessionState::online, "the client is not online");
    fuzz_require(queue_bytes(sender->input.queue) == plan.tail, "the server holds other than the unfinished frame");
    fuzz_require(net.socket(receiver_socket).sent == plan.frames,
                 "the frames relayed differ from those the stream holds");

    tls_connection_free(client.tls);
    drop_all_sessions(server);
    fuzz_require(net.live_blocks == 0, "blocks leaked");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quiet_event_log();
    if (size < 2)
        return 0;
    Plan plan = plan_of(data + 2, size - 2);
    run(plan, records_of(plan, data[0]), data[1]);
    return 0;
}

#else

// Without OpenSSL this build has no TLS to cut records of.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t)
{
    return 0;
}

#endif
