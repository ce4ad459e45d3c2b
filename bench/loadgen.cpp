// loadgen: drives N clients through the server (or, with --raw, through any
// relay that forwards every byte to every other client, or, with --nats,
// through a NATS server, or, with --ws, through the server's WebSocket port)
// and checks every frame that arrives. Prints one CSV line of figures on
// standard output.
//
// Each data frame's text is: d SOURCE "DESTINATION" SENDER SEQUENCE SENT_NS xxx...
// and its check byte; SENT_NS is this process's clock at the send, so the
// latency is measured against one clock. Through NATS the same frame is a
// message's payload, published on the destination's subject; over WebSocket
// it is one masked binary message, as a browser sends it.
#include "platform/client.h"
#include "platform/digest.h"
#include "platform/platform.h"
#include "protocol/frame.h"
#include "protocol/websocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_BAD_DELIVERY = 1, // a frame was lost, duplicated, reordered or corrupted
    EXIT_USAGE = 2,
    EXIT_SETUP = 3,        // could not connect, log in or synchronise, or a client was closed
};

enum class Workload { broadcast, pairs, fanout, burst, idle, logins };

struct Options {
    std::string host = "127.0.0.1";
    // Client i connects to ports[i % ports.size()]: with two switches of a
    // cluster, each pair's partners are on different ones.
    std::vector<std::uint16_t> ports;
    int clients = 2;
    Workload workload = Workload::broadcast;
    std::string workload_name = "broadcast";
    bool raw = false;
    bool nats = false;
    bool ws = false;
    double seconds = 3;
    int frame_bytes = 64;
    int window = 16;
    int bursts = 20;
    int burst_frames = 100;
    int hold_bytes = 0;
    int sources = 0; // loopback source addresses the clients are spread over; 0: the system's choice
    int announce = 0;
    std::string ready_file;
    int flood_sources = 0;
    double flood_rate = 0;
    std::string login = "bench";
    std::string password = "bench";
    long server_pid = 0;
    std::string label = "server";
    bool header = false;
};

// The longest address the server keeps.
constexpr std::size_t ADDRESS_BYTES = 255;

using Clock = std::chrono::steady_clock;
const Clock::time_point origin = Clock::now();

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - origin).count();
}

[[noreturn]] void fail(int code, const std::string& message)
{
    std::fprintf(stderr, "loadgen: %s\n", message.c_str());
    std::exit(code);
}

// Per (receiver, sender): which sequence numbers came, and the highest.
struct Stream {
    std::vector<bool> seen;
    std::uint64_t unique = 0;
    std::int64_t highest = -1;
};

// A client's side of a WebSocket: the server's frames as they arrive.
struct WsLink {
    WsLink() { reader.from_client = false; }
    WsReader reader;
    std::string received; // bytes not yet read as frames
};

struct Client {
    socket_handle sock = INVALID_SOCKET_HANDLE;
    std::string address;
    WsLink ws;
    std::string pending;          // bytes of a frame not yet closed
    std::uint64_t sent = 0;       // data frames sent
    int hellos = 0;               // other clients heard during the start-up
    std::vector<bool> heard;      // by sender index
    std::vector<Stream> from;     // by sender index
};

struct Totals {
    std::uint64_t useful = 0;
    std::uint64_t useful_bytes = 0;
    std::uint64_t lost = 0, duplicated = 0, reordered = 0, corrupted = 0;
    std::vector<std::int64_t> latencies_ns;
};

struct Run {
    Options o;
    std::vector<Client> clients;
    Totals totals;
    bool measuring = false;
};

// ---- the traffic pattern ------------------------------------------------

constexpr int MOST_CLIENTS = 100000;

bool sends(const Run& run, int s)
{
    switch (run.o.workload) {
    case Workload::fanout:
    case Workload::burst:
        return s == 0;
    case Workload::idle:
        return false;
    default:
        return true;
    }
}

int partner(const Run& run, int s)
{
    int p = s ^ 1;
    return p < static_cast<int>(run.clients.size()) ? p : 0;
}

// True when the server is to deliver s's data frames to r.
bool addressed(const Run& run, int s, int r)
{
    if (r == s || !sends(run, s))
        return false;
    if (run.o.workload == Workload::pairs)
        return partner(run, s) == r;
    return true;
}

// Calls take(r) for every r that s's data frames are for: one partner in
// pairs, so that ten thousand pairs cost ten thousand steps, not 10^8.
template <typename Take>
void for_each_receiver(const Run& run, int s, Take take)
{
    if (!sends(run, s))
        return;
    if (run.o.workload == Workload::pairs) {
        take(partner(run, s));
        return;
    }
    for (int r = 0; r < static_cast<int>(run.clients.size()); r++)
        if (r != s)
            take(r);
}

// How many streams a receiver keeps, and where s's is: every sender has one
// in a broadcast; in pairs the partner's is the first and, with N odd,
// client 0's second is the last client's; one sender feeds the rest.
std::size_t streams_per_receiver(const Options& o)
{
    switch (o.workload) {
    case Workload::broadcast:
        return static_cast<std::size_t>(o.clients);
    case Workload::pairs:
        return 2;
    case Workload::idle:
        return 0;
    default:
        return 1;
    }
}

std::size_t stream_slot(const Run& run, int s, int r)
{
    if (run.o.workload == Workload::broadcast)
        return static_cast<std::size_t>(s);
    if (run.o.workload == Workload::pairs)
        return s == partner(run, r) ? 0 : 1;
    return 0;
}

const Stream& stream_of(const Run& run, int s, int r)
{
    return run.clients[static_cast<std::size_t>(r)].from[stream_slot(run, s, r)];
}

std::string address_of(const Options& o, int i)
{
    if (o.workload == Workload::fanout || o.workload == Workload::burst)
        return i == 0 ? "src" : "grp";
    // Idle clients held beside a measured run must not take its addresses.
    std::string name = o.workload == Workload::idle ? "i" : "c";
    name += std::to_string(i); // "c" + to_string trips a false -Wrestrict in GCC 12 at -O3
    return name;
}

std::string destination_of(const Run& run, int s)
{
    switch (run.o.workload) {
    case Workload::pairs:
        return run.clients[static_cast<std::size_t>(partner(run, s))].address;
    case Workload::fanout:
    case Workload::burst:
        return "grp";
    default:
        return "";
    }
}

// Pairs say hello to their partner alone: a hello to all among ten thousand
// clients is 10^8 deliveries. The others say it to all.
std::string hello_destination(const Run& run, int s)
{
    return run.o.workload == Workload::pairs ? destination_of(run, s) : "";
}

// Through NATS, an address is a subject that its client subscribes to, and
// the empty destination (all others) one subject that every client does.
const std::string NATS_ALL = "all";

std::string nats_subject(const std::string& destination)
{
    return destination.empty() ? NATS_ALL : destination;
}

// ---- WebSocket -------------------------------------------------------

// A message as a client sends it: one final frame, masked with a fresh key.
std::string ws_message(std::string_view payload, WsOpcode opcode = WsOpcode::binary)
{
    static std::uint32_t seed = 2463534242u;
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const std::uint8_t mask[4] = {static_cast<std::uint8_t>(seed), static_cast<std::uint8_t>(seed >> 8),
                                  static_cast<std::uint8_t>(seed >> 16), static_cast<std::uint8_t>(seed >> 24)};
    char header[WS_HEADER_MAX];
    std::string message(header, ws_frame_header(header, opcode, payload.size(), mask));
    const std::size_t start = message.size();
    message += payload;
    ws_mask(message.data() + start, payload.size(), mask, 0);
    return message;
}

// The payload bytes of the server's messages in what arrived; the end of a
// frame waits for the next read.
std::string ws_payload(Client& c, std::string_view arrived)
{
    c.ws.received.append(arrived);
    std::string payload;
    char out[65536];
    std::size_t taken = 0;
    for (;;) {
        WsStep step = ws_read(c.ws.reader, std::string_view(c.ws.received).substr(taken), out, sizeof out);
        taken += step.consumed;
        if (step.event == WsEvent::more)
            break;
        if (step.event == WsEvent::close || step.event == WsEvent::failed)
            fail(EXIT_SETUP, "the server closed the WebSocket (" + std::to_string(step.close_code) + ")");
        payload.append(out, step.produced);
    }
    c.ws.received.erase(0, taken);
    return payload;
}

// A fresh Sec-WebSocket-Key: 16 bytes in base64.
std::string ws_key()
{
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static std::uint32_t seed = 88675123u;
    std::string key;
    for (int i = 0; i < 21; i++) {
        seed = seed * 1664525u + 1013904223u;
        key += ALPHABET[seed >> 26];
    }
    // The last character holds two of the sixteen bytes' bits and four zeros.
    return key + "AQgw"[seed >> 30] + "==";
}

// The opening handshake with the server on port, as a script (not a
// browser) makes it: no Origin.
void ws_open(const Options& o, socket_handle sock, std::uint16_t port)
{
    const std::string key = ws_key();
    const std::string request = "GET / HTTP/1.1\r\nHost: " + o.host + ":" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                                "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: quillmarsh\r\n\r\n";
    if (client_send_all(sock, request.data(), request.size()) != 0)
        fail(EXIT_SETUP, "cannot send the WebSocket handshake");
    // Read byte by byte up to the head's end: the frames after it are the
    // stream's, which the server sends only once it has prompted.
    std::string head;
    char c;
    while (!head.ends_with("\r\n\r\n")) {
        if (client_recv(sock, &c, 1, 10000) != 1 || head.size() > HTTP_HEAD_MAX)
            fail(EXIT_SETUP, "no answer to the WebSocket handshake");
        head += c;
    }
    const std::string accept = "Sec-WebSocket-Accept: " + sha1_base64(ws_accept_input(key)) + "\r\n";
    if (!head.starts_with("HTTP/1.1 101 ") || head.find(accept) == std::string::npos)
        fail(EXIT_SETUP, "the WebSocket handshake was refused: " + head.substr(0, head.find('\r')));
}

// A frame as it goes on the wire: itself, inside a NATS PUB, or as a
// WebSocket message.
std::string on_the_wire(const Options& o, std::string frame, const std::string& destination)
{
    if (o.ws)
        return ws_message(frame);
    if (!o.nats)
        return frame;
    std::string pub = "PUB " + nats_subject(destination) + " " + std::to_string(frame.size()) + "\r\n";
    pub += frame;
    pub += "\r\n";
    return pub;
}

// text padded to frame_bytes, check byte included.
std::string padded_frame(std::string text, int frame_bytes)
{
    if (static_cast<int>(text.size()) < frame_bytes - 1)
        text.append(static_cast<std::size_t>(frame_bytes - 1) - text.size(), 'x');
    return make_frame(text);
}

// The next data frame of s, as it goes on the wire.
std::string data_frame(Run& run, int s)
{
    Client& c = run.clients[static_cast<std::size_t>(s)];
    std::string destination = destination_of(run, s);
    std::string text = "d " + c.address + " \"" + destination + "\" " +
                       std::to_string(s) + " " + std::to_string(c.sent) + " " +
                       std::to_string(now_ns()) + " ";
    c.sent++;
    return on_the_wire(run.o, padded_frame(std::move(text), run.o.frame_bytes), destination);
}

// ---- what arrives -------------------------------------------------------

// Splits a frame's text at blanks; the quoted destination stays one field.
int split(std::string_view text, std::string_view* fields, int most)
{
    int n = 0;
    std::size_t i = 0;
    while (n < most && i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            i++;
        std::size_t start = i;
        if (i < text.size() && text[i] == '"') {
            std::size_t close = text.find('"', i + 1);
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else {
            while (i < text.size() && text[i] != ' ')
                i++;
        }
        if (i > start)
            fields[n++] = text.substr(start, i - start);
    }
    return n;
}

bool to_number(std::string_view field, std::int64_t* value)
{
    if (field.empty())
        return false;
    std::int64_t v = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

void take_data(Run& run, int r, std::string_view frame, std::string_view* f, std::int64_t arrived_ns)
{
    std::int64_t s = 0, seq = 0, sent_ns = 0;
    bool parsed = to_number(f[3], &s) && to_number(f[4], &seq) && to_number(f[5], &sent_ns) &&
                  s < static_cast<std::int64_t>(run.clients.size()) && s != r &&
                  static_cast<int>(frame.size()) == std::max<int>(run.o.frame_bytes, 1);
    if (!parsed) {
        run.totals.corrupted++;
        return;
    }
    bool for_me = f[2] == "\"\"" ||
                  f[2].substr(1, f[2].size() - 2) == run.clients[static_cast<std::size_t>(r)].address;
    if (!for_me || !addressed(run, static_cast<int>(s), r)) {
        // A relay that forwards everything hands every client every frame;
        // the server must not.
        if (!run.o.raw)
            run.totals.corrupted++;
        return;
    }
    Stream& st = run.clients[static_cast<std::size_t>(r)].from[stream_slot(run, static_cast<int>(s), r)];
    auto index = static_cast<std::size_t>(seq);
    if (index >= st.seen.size())
        st.seen.resize(std::max(index + 1, st.seen.size() * 2));
    if (st.seen[index]) {
        run.totals.duplicated++;
        return;
    }
    st.seen[index] = true;
    st.unique++;
    if (seq < st.highest)
        run.totals.reordered++;
    st.highest = std::max(st.highest, seq);
    run.totals.useful++;
    run.totals.useful_bytes += frame.size();
    run.totals.latencies_ns.push_back(arrived_ns - sent_ns);
}

void take_frame(Run& run, int r, std::string_view frame, std::int64_t arrived_ns)
{
    std::string_view text = frame.substr(0, frame.size() - 1);
    if (frame_check_byte(text) != static_cast<unsigned char>(frame.back())) {
        run.totals.corrupted++;
        return;
    }
    std::string_view f[6];
    int n = split(text, f, 6);
    if (n >= 4 && f[0] == "h") {
        // Only a hello meant for this client proves that the relay knows
        // its address; a relay that forwards everything brings the others.
        std::int64_t s = 0;
        Client& c = run.clients[static_cast<std::size_t>(r)];
        bool for_me = f[2] == "\"\"" || f[2].substr(1, f[2].size() - 2) == c.address;
        if (for_me && to_number(f[3], &s) && s < static_cast<std::int64_t>(c.heard.size()) &&
            !c.heard[static_cast<std::size_t>(s)]) {
            c.heard[static_cast<std::size_t>(s)] = true;
            c.hellos++;
        }
        return;
    }
    if (n == 6 && f[0] == "d" && run.measuring) {
        take_data(run, r, frame, f, arrived_ns);
        return;
    }
    run.totals.corrupted++;
}

// ---- NATS messages ------------------------------------------------------

// The length of a NATS message whose header line ends at line_end (its CR):
// the line, and for MSG its payload and CRLF.
std::size_t nats_announced_length(std::string_view bytes, std::size_t line_end)
{
    std::size_t header = line_end + 2;
    if (!bytes.starts_with("MSG "))
        return header;
    std::size_t blank = bytes.rfind(' ', line_end);
    std::int64_t payload = 0;
    if (!to_number(bytes.substr(blank + 1, line_end - blank - 1), &payload))
        fail(EXIT_SETUP, "a NATS MSG without its size: " + std::string(bytes.substr(0, line_end)));
    return header + static_cast<std::size_t>(payload) + 2;
}

// The length of the first whole message in bytes, or 0 while it is not whole.
std::size_t nats_message_length(std::string_view bytes)
{
    std::size_t line_end = bytes.find("\r\n");
    if (line_end == std::string_view::npos)
        return 0;
    std::size_t length = nats_announced_length(bytes, line_end);
    return bytes.size() >= length ? length : 0;
}

// Moves from rest into pending what the message a read split still lacks,
// and no more; true once it is whole.
bool complete_split_message(std::string& pending, std::string_view& rest)
{
    if (pending.find('\n') == std::string::npos) {
        std::size_t line_end = rest.find('\n');
        std::size_t take = line_end == std::string_view::npos ? rest.size() : line_end + 1;
        pending.append(rest.substr(0, take));
        rest.remove_prefix(take);
        if (line_end == std::string_view::npos)
            return false;
    }
    std::size_t length = nats_announced_length(pending, pending.find('\n') - 1);
    std::size_t take = std::min(rest.size(), length - std::min(length, pending.size()));
    pending.append(rest.substr(0, take));
    rest.remove_prefix(take);
    return pending.size() >= length;
}

void take_nats_message(Run& run, int r, std::string_view message, std::int64_t arrived_ns)
{
    std::size_t line_end = message.find("\r\n");
    if (message.starts_with("MSG ")) {
        std::size_t payload = line_end + 2;
        take_frame(run, r, message.substr(payload, message.size() - payload - 2), arrived_ns);
    } else if (message.starts_with("PING")) {
        client_send_all(run.clients[static_cast<std::size_t>(r)].sock, "PONG\r\n", 6);
    } else if (message.starts_with("-ERR")) {
        fail(EXIT_SETUP, "client " + std::to_string(r) + ": the NATS server said " +
                             std::string(message.substr(0, line_end)));
    }
    // PONG, +OK and INFO tell loadgen nothing it needs.
}

void take_nats(Run& run, int r, std::string_view rest, std::int64_t arrived_ns)
{
    std::string& pending = run.clients[static_cast<std::size_t>(r)].pending;
    if (!pending.empty()) {
        if (!complete_split_message(pending, rest))
            return;
        take_nats_message(run, r, pending, arrived_ns);
        pending.clear();
    }
    for (std::size_t length; (length = nats_message_length(rest)) != 0; rest.remove_prefix(length))
        take_nats_message(run, r, rest.substr(0, length), arrived_ns);
    pending.append(rest);
}

void receive(Run& run, int r)
{
    Client& c = run.clients[static_cast<std::size_t>(r)];
    char buffer[65536];
    int n = platform.recv(c.sock, buffer, sizeof buffer);
    if (n <= 0)
        fail(EXIT_SETUP, "client " + std::to_string(r) + " was disconnected");
    // One clock reading for all that one read brought: the frames arrived
    // together, and reading the clock per frame cost loadgen more than the
    // relay under test spent on them.
    std::int64_t arrived_ns = now_ns();
    std::string_view rest(buffer, static_cast<std::size_t>(n));
    if (run.o.nats) {
        take_nats(run, r, rest, arrived_ns);
        return;
    }
    std::string payload;
    if (run.o.ws) {
        payload = ws_payload(c, rest);
        rest = payload;
    }
    // Frames are taken where they lie in the buffer; only one that a read
    // split is put together in pending.
    for (std::size_t length; (length = frame_length(rest)) != 0; rest.remove_prefix(length)) {
        if (c.pending.empty()) {
            take_frame(run, r, rest.substr(0, length), arrived_ns);
        } else {
            c.pending.append(rest.substr(0, length));
            take_frame(run, r, c.pending, arrived_ns);
            c.pending.clear();
        }
    }
    c.pending.append(rest);
}

// Waits at most timeout_us and reads every client that has bytes.
void pump(Run& run, long timeout_us)
{
    if (run.clients.empty()) {
        std::int64_t until = now_ns() + timeout_us * 1000;
        while (now_ns() < until)
            usleep(1000);
        return;
    }
    std::vector<ClientPoll> entries;
    entries.reserve(run.clients.size());
    for (const Client& c : run.clients)
        entries.push_back(ClientPoll{c.sock, false, false, false});
    int timeout_ms = static_cast<int>((timeout_us + 999) / 1000);
    if (client_poll(entries.data(), entries.size(), timeout_ms) <= 0)
        return;
    for (std::size_t r = 0; r < entries.size(); r++)
        if (entries[r].readable)
            receive(run, static_cast<int>(r));
}

// ---- setting up ---------------------------------------------------------

// Reads exactly the prompt; false when the connection closed or failed, or
// stayed silent for timeout_ms, before it came whole, or it was another.
bool read_prompt(socket_handle sock, std::string_view prompt, int timeout_ms)
{
    std::string got;
    char buffer[16];
    while (got.size() < prompt.size()) {
        int n = client_recv(sock, buffer, prompt.size() - got.size(), timeout_ms);
        if (n <= 0)
            return false;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got == prompt;
}

void expect(socket_handle sock, std::string_view prompt)
{
    if (!read_prompt(sock, prompt, 10000))
        fail(EXIT_SETUP, "no \"" + std::string(prompt) + "\" prompt");
}

// Client i's source address when the clients are spread over o.sources
// loopback addresses (127.1.0.1, 127.1.0.2, ...), or "" for the system's
// choice. Ten thousand clients from one address would be one source to
// the server's bounds on logins, and no real crowd comes from one.
std::string source_address(const Options& o, int i)
{
    if (o.sources == 0)
        return "";
    int k = i % o.sources;
    return "127.1." + std::to_string(k / 250) + "." + std::to_string(k % 250 + 1);
}

// The first connection retries for a while, so that a script can start a
// server and this program together without guessing how long start-up takes.
socket_handle connect_patiently(const Options& o, int i)
{
    std::string source = source_address(o, i);
    const std::size_t server = static_cast<std::size_t>(i) % o.ports.size();
    std::int64_t deadline = now_ns() + (static_cast<std::size_t>(i) == server ? 15'000'000'000LL : 0);
    for (;;) {
        socket_handle sock =
            client_connect_from(source.empty() ? nullptr : source.c_str(), o.host.c_str(), o.ports[server]);
        if (sock != INVALID_SOCKET_HANDLE || now_ns() > deadline)
            return sock;
        usleep(20000);
    }
}

void send_line(socket_handle sock, const std::string& text)
{
    std::string line = text + "\r\n";
    client_send_all(sock, line.data(), line.size());
}

// Answers the login prompt and waits for the password's.
void reach_password_prompt(const Options& o, socket_handle sock)
{
    expect(sock, "login:");
    send_line(sock, o.login);
    expect(sock, "password:");
}

void log_in(const Options& o, socket_handle sock)
{
    reach_password_prompt(o, sock);
    send_line(sock, o.password);
}

// A prompt over WebSocket: one message, read whole; what came after it is
// kept for the stream.
void expect_message(Client& client, std::string_view prompt)
{
    std::string got;
    char buffer[256];
    while (got.size() < prompt.size()) {
        int n = client_recv(client.sock, buffer, sizeof buffer, 10000);
        if (n <= 0)
            fail(EXIT_SETUP, "no \"" + std::string(prompt) + "\" prompt");
        got += ws_payload(client, std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    if (got != prompt)
        fail(EXIT_SETUP, "unexpected prompt \"" + got + "\"");
}

// A browser sends the dialogue's lines as text messages.
void send_text_line(socket_handle sock, const std::string& text)
{
    const std::string line = ws_message(text + "\r\n", WsOpcode::text);
    client_send_all(sock, line.data(), line.size());
}

void log_in(const Options& o, Client& client)
{
    if (!o.ws) {
        log_in(o, client.sock);
        return;
    }
    expect_message(client, "login:");
    send_text_line(client.sock, o.login);
    expect_message(client, "password:");
    send_text_line(client.sock, o.password);
}

// A NATS client's start: CONNECT without echo, since our server never sends
// a frame back to its sender either; a subscription to the client's address
// and one to frames for all; and a PING, whose PONG comes once the server
// has taken the subscriptions. Nothing else can arrive before it.
void nats_connect(socket_handle sock, const std::string& address)
{
    std::string start = "CONNECT {\"verbose\":false,\"pedantic\":false,\"echo\":false}\r\n"
                        "SUB " + NATS_ALL + " 1\r\nSUB " + address + " 2\r\nPING\r\n";
    if (client_send_all(sock, start.data(), start.size()) != 0)
        fail(EXIT_SETUP, "cannot send CONNECT to the NATS server");
    std::string got;
    char buffer[4096];
    while (!got.ends_with("PONG\r\n")) {
        int n = client_recv(sock, buffer, sizeof buffer, 10000);
        if (n <= 0)
            fail(EXIT_SETUP, "no PONG from the NATS server");
        got.append(buffer, static_cast<std::size_t>(n));
        if (std::size_t error = got.find("-ERR"); error != std::string::npos)
            fail(EXIT_SETUP, "the NATS server said " + got.substr(error, got.find('\r', error) - error));
    }
}

void connect_all(Run& run)
{
    bool idle = run.o.workload == Workload::idle;
    for (int i = 0; i < run.o.clients; i++) {
        Client c;
        c.sock = connect_patiently(run.o, i);
        if (c.sock == INVALID_SOCKET_HANDLE)
            fail(EXIT_SETUP, "cannot connect client " + std::to_string(i) + ": " +
                                 sock_error_text(sock_last_error()));
        c.address = address_of(run.o, i);
        // Idle clients hear the two that speak, and keep no streams.
        c.heard.assign(idle ? 2 : static_cast<std::size_t>(run.o.clients), false);
        c.from.resize(streams_per_receiver(run.o));
        if (run.o.ws)
            ws_open(run.o, c.sock, run.o.ports[static_cast<std::size_t>(i) % run.o.ports.size()]);
        if (run.o.nats)
            nats_connect(c.sock, c.address);
        else if (!run.o.raw)
            log_in(run.o, c);
        run.clients.push_back(std::move(c));
    }
}

// How many hellos client r must hear: one of the two idle speakers; in
// pairs one from each client that sends to it, which proves that the relay
// knows r's address and the sender is online; else one from every other.
std::vector<int> hellos_wanted(const Run& run)
{
    int n = static_cast<int>(run.clients.size());
    if (run.o.workload == Workload::idle)
        return std::vector<int>(static_cast<std::size_t>(n), 1);
    if (run.o.workload != Workload::pairs)
        return std::vector<int>(static_cast<std::size_t>(n), n - 1);
    std::vector<int> wanted(static_cast<std::size_t>(n), 0);
    for (int s = 0; s < n; s++)
        for_each_receiver(run, s, [&](int r) { wanted[static_cast<std::size_t>(r)]++; });
    return wanted;
}

// Every client says hello, again and again, until each has heard every
// client that will send to it (every other, but in pairs): then every
// address is known to the server and every client is online, so no data
// frame can miss its receiver. Idle clients need only be online: two speak,
// and each client hears one of them, so a thousand idle clients leave no
// traffic behind in the server's memory.
void synchronise(Run& run)
{
    int n = static_cast<int>(run.clients.size());
    int speakers = run.o.workload == Workload::idle ? 2 : n;
    std::vector<int> wanted = hellos_wanted(run);
    std::int64_t deadline = now_ns() + 20'000'000'000LL;
    auto all_heard = [&] {
        for (std::size_t r = 0; r < run.clients.size(); r++)
            if (run.clients[r].hellos < wanted[r])
                return false;
        return true;
    };
    while (!all_heard()) {
        if (now_ns() > deadline)
            fail(EXIT_SETUP, "the clients could not hear each other (wrong password?)");
        for (int i = 0; i < speakers; i++) {
            const Client& c = run.clients[static_cast<std::size_t>(i)];
            std::string destination = hello_destination(run, i);
            std::string hello = on_the_wire(
                run.o, make_frame("h " + c.address + " \"" + destination + "\" " + std::to_string(i) + " "),
                destination);
            client_send_all(c.sock, hello.data(), hello.size());
        }
        // A round of hellos among a thousand clients is a million deliveries:
        // give each round time to arrive before the next piles on top.
        std::int64_t deliveries = 0;
        for (int w : wanted)
            deliveries += w;
        std::int64_t round_end = now_ns() + std::max<std::int64_t>(50'000'000, deliveries * 1000);
        while (now_ns() < round_end && !all_heard())
            pump(run, 2000);
    }
    // Late hellos still on the way are read and ignored.
    std::int64_t quiet_end = now_ns() + 100'000'000;
    while (now_ns() < quiet_end)
        pump(run, 2000);
}

// ---- the server's cost --------------------------------------------------

// User plus system CPU seconds of a process, from /proc; -1 when unknown.
double cpu_seconds(long pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t close = content.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(content.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A number from /proc/PID/status, such as "VmHWM:" (peak resident memory,
// KiB) or "VmRSS:" (resident now), or -1.
long status_number(long pid, std::string_view key)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);)
        if (line.starts_with(key))
            return std::atol(line.c_str() + key.size());
    return -1;
}

// How often the process's main thread went to sleep and was woken again:
// its context switches, from /proc; -1 when unknown.
long wakeups(long pid)
{
    if (pid <= 0)
        return -1;
    long voluntary = status_number(pid, "voluntary_ctxt_switches:");
    long involuntary = status_number(pid, "nonvoluntary_ctxt_switches:");
    return voluntary < 0 || involuntary < 0 ? -1 : voluntary + involuntary;
}

// ---- the phases ---------------------------------------------------------

std::uint64_t delivered_from(const Run& run, int s)
{
    std::uint64_t least = UINT64_MAX;
    for_each_receiver(run, s, [&](int r) { least = std::min(least, stream_of(run, s, r).unique); });
    return least == UINT64_MAX ? run.clients[static_cast<std::size_t>(s)].sent : least;
}

bool all_delivered(const Run& run)
{
    for (int s = 0; s < static_cast<int>(run.clients.size()); s++)
        if (sends(run, s) && delivered_from(run, s) < run.clients[static_cast<std::size_t>(s)].sent)
            return false;
    return true;
}

// Sends for the set time, each sender keeping at most window frames on the
// way, then waits for the last of them. Returns the seconds it took.
double stream(Run& run)
{
    std::int64_t start = now_ns();
    auto stop_sending = start + static_cast<std::int64_t>(run.o.seconds * 1e9);
    std::int64_t last_delivery = start;
    for (;;) {
        std::int64_t t = now_ns();
        if (t < stop_sending) {
            for (int s = 0; s < static_cast<int>(run.clients.size()); s++) {
                if (!sends(run, s))
                    continue;
                std::uint64_t on_the_way = run.clients[static_cast<std::size_t>(s)].sent - delivered_from(run, s);
                std::string batch;
                for (auto k = on_the_way; k < static_cast<std::uint64_t>(run.o.window); k++)
                    batch += data_frame(run, s);
                if (!batch.empty() &&
                    client_send_all(run.clients[static_cast<std::size_t>(s)].sock, batch.data(), batch.size()) != 0)
                    fail(EXIT_SETUP, "client " + std::to_string(s) + " could not send");
            }
        } else if (all_delivered(run) || t > stop_sending + 5'000'000'000LL) {
            break;
        }
        std::uint64_t before = run.totals.useful;
        pump(run, 1000);
        if (run.totals.useful != before)
            last_delivery = now_ns();
    }
    return static_cast<double>(last_delivery - start) / 1e9;
}

// Bursts of burst_frames frames, each offered in one write; returns the
// median time from the write to the last frame's arrival, in milliseconds.
// The sender does not block on a burst larger than the socket buffers: the
// receiver reads meanwhile, as a real one would (a receiver that stopped
// reading for a whole megabyte would be cut off by the server).
double bursts(Run& run)
{
    socket_handle sender = run.clients[0].sock;
    if (client_set_nonblocking(sender) != 0)
        fail(EXIT_SETUP, "cannot make the sender non-blocking");
    std::vector<double> times;
    for (int b = 0; b < run.o.bursts; b++) {
        std::string batch;
        for (int k = 0; k < run.o.burst_frames; k++)
            batch += data_frame(run, 0);
        std::int64_t start = now_ns();
        std::size_t offered = 0;
        while (offered < batch.size() || !all_delivered(run)) {
            if (now_ns() - start > 5'000'000'000LL)
                fail(EXIT_BAD_DELIVERY, "a burst did not arrive");
            if (offered < batch.size()) {
                int n = client_send_some(sender, batch.data() + offered, batch.size() - offered);
                if (n < 0)
                    fail(EXIT_SETUP, "the sender could not send");
                offered += static_cast<std::size_t>(n);
            }
            pump(run, 1000);
        }
        times.push_back(static_cast<double>(now_ns() - start) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double percentile_us(std::vector<std::int64_t>& v, double p)
{
    if (v.empty())
        return 0;
    auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

void count_lost(Run& run)
{
    for (int s = 0; s < static_cast<int>(run.clients.size()); s++)
        for_each_receiver(run, s, [&](int r) {
            run.totals.lost += run.clients[static_cast<std::size_t>(s)].sent - stream_of(run, s, r).unique;
        });
}

const char* const CSV_HEADER =
    "label,workload,clients,frame_bytes,window,seconds,sent,delivered,deliveries_per_s,"
    "bytes_per_s,p50_us,p99_us,max_us,lost,duplicated,reordered,corrupted,server_cpu_s,"
    "server_cpu_pct,server_peak_kb,burst_ms,server_rss_kb,loadgen_cpu_pct,server_wakeups_per_s";

// Every client writes hold_bytes of frame text without its check byte,
// once, and then stays: the server holds a partial frame for each.
void hold_partial_frames(Run& run)
{
    std::string partial(static_cast<std::size_t>(run.o.hold_bytes), 'p');
    if (run.o.ws)
        partial = ws_message(partial);
    for (Client& c : run.clients)
        client_send_all(c.sock, partial.data(), partial.size());
    // Let the server take them in before the measurement starts.
    std::int64_t settled = now_ns() + 500'000'000;
    while (now_ns() < settled)
        pump(run, 2000);
}

// Every client announces its own address and announce addresses of 255
// bytes of its own (two numbers, then control bytes, which /sessions shows
// as 5 bytes each), all to an address no one holds. Then each says hello
// to the next client, again until heard: a hello arrives only once the
// server has taken every frame its sender sent before it.
void announce_addresses(Run& run)
{
    const std::size_t n = run.clients.size();
    for (std::size_t i = 0; i < n; i++) {
        Client& c = run.clients[i];
        std::string frames = make_frame("a " + c.address + " \"-\" ");
        for (int k = 0; k < run.o.announce; k++) {
            std::string name = std::to_string(i) + "." + std::to_string(k) + ".";
            name.append(ADDRESS_BYTES - name.size(), '\x01');
            frames += make_frame("a " + name + " \"-\" ");
        }
        c.heard.assign(n, false);
        c.hellos = 0;
        client_send_all(c.sock, frames.data(), frames.size());
    }
    std::int64_t deadline = now_ns() + 120'000'000'000LL;
    for (;;) {
        bool all_heard = true;
        for (std::size_t i = 0; i < n; i++) {
            const Client& next = run.clients[(i + 1) % n];
            if (next.heard[i])
                continue;
            all_heard = false;
            std::string hello = make_frame("h " + run.clients[i].address + " \"" + next.address + "\" " +
                                           std::to_string(i) + " ");
            client_send_all(run.clients[i].sock, hello.data(), hello.size());
        }
        if (all_heard)
            return;
        if (now_ns() > deadline)
            fail(EXIT_SETUP, "the announcements were not all taken within 120 s");
        std::int64_t round_end = now_ns() + 200'000'000;
        while (now_ns() < round_end)
            pump(run, 10000);
    }
}

// Tells a script that every client is online (and holds its bytes and its
// addresses): the file appears.
void say_ready(const std::string& path)
{
    std::ofstream file(path);
    if (!(file << "ready\n") || !file.flush())
        fail(EXIT_SETUP, "cannot write the ready file " + path);
}

int run_benchmark(Run& run)
{
    if (run.o.clients == 0) {
        // Nobody to connect, but the server must be past its start-up: one
        // connection that leaves at once proves it listens.
        socket_handle probe = connect_patiently(run.o, 0);
        if (probe == INVALID_SOCKET_HANDLE)
            fail(EXIT_SETUP, "cannot connect");
        client_close(probe);
        usleep(200000);
    }
    connect_all(run);
    if (run.clients.size() > 1)
        synchronise(run);
    if (run.o.hold_bytes > 0)
        hold_partial_frames(run);
    if (run.o.announce > 0)
        announce_addresses(run);
    if (!run.o.ready_file.empty())
        say_ready(run.o.ready_file);
    run.totals = Totals{};
    run.measuring = true;
    long wakeups_before = wakeups(run.o.server_pid);
    double cpu_before = cpu_seconds(run.o.server_pid);
    double own_cpu_before = cpu_seconds(static_cast<long>(getpid()));
    std::int64_t start = now_ns();
    double seconds = 0;
    double burst_ms = 0;
    if (run.o.workload == Workload::burst) {
        burst_ms = bursts(run);
    } else if (run.o.workload == Workload::idle) {
        // One wait for the whole stay, unless something arrives: ten
        // thousand idle clients polled a hundred times a second took loadgen
        // a tenth of a core, beside a server that needs the cores.
        std::int64_t end = start + static_cast<std::int64_t>(run.o.seconds * 1e9);
        for (std::int64_t t; (t = now_ns()) < end;)
            pump(run, static_cast<long>((end - t) / 1000 + 1));
    } else {
        seconds = stream(run);
    }
    double wall = static_cast<double>(now_ns() - start) / 1e9;
    double cpu = cpu_before < 0 ? -1 : cpu_seconds(run.o.server_pid) - cpu_before;
    double own_cpu = cpu_seconds(static_cast<long>(getpid())) - own_cpu_before;
    long woken = wakeups_before < 0 ? -1 : wakeups(run.o.server_pid) - wakeups_before;
    long peak = run.o.server_pid > 0 ? status_number(run.o.server_pid, "VmHWM:") : -1;
    long resident = run.o.server_pid > 0 ? status_number(run.o.server_pid, "VmRSS:") : -1;
    count_lost(run);

    std::uint64_t sent = 0;
    for (const Client& c : run.clients)
        sent += c.sent;
    Totals& t = run.totals;
    double p50 = percentile_us(t.latencies_ns, 0.50);
    double p99 = percentile_us(t.latencies_ns, 0.99);
    double max = t.latencies_ns.empty() ? 0 : static_cast<double>(*std::max_element(t.latencies_ns.begin(), t.latencies_ns.end())) / 1000.0;
    double per_s = seconds > 0 ? static_cast<double>(t.useful) / seconds : 0;
    double bytes_per_s = seconds > 0 ? static_cast<double>(t.useful_bytes) / seconds : 0;
    if (run.o.header)
        std::printf("%s\n", CSV_HEADER);
    std::printf("%s,%s,%d,%d,%d,%.3f,%llu,%llu,%.0f,%.0f,%.1f,%.1f,%.1f,%llu,%llu,%llu,%llu,%.3f,%.1f,%ld,%.3f,%ld,%.1f,%.1f\n",
                run.o.label.c_str(), run.o.workload_name.c_str(), run.o.clients, run.o.frame_bytes,
                run.o.window, seconds, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(t.useful), per_s, bytes_per_s, p50, p99, max,
                static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.duplicated),
                static_cast<unsigned long long>(t.reordered), static_cast<unsigned long long>(t.corrupted),
                cpu, cpu >= 0 && wall > 0 ? 100.0 * cpu / wall : -1.0, peak, burst_ms, resident,
                wall > 0 ? 100.0 * own_cpu / wall : -1.0,
                woken >= 0 && wall > 0 ? static_cast<double>(woken) / wall : -1.0);
    std::fflush(stdout);
    for (Client& c : run.clients)
        client_close(c.sock);
    bool clean = t.lost == 0 && t.duplicated == 0 && t.reordered == 0 && t.corrupted == 0;
    return clean ? EXIT_OK : EXIT_BAD_DELIVERY;
}

// ---- the logins workload ------------------------------------------------
//
// Honest logins, one at a time, beside wrong passwords from flood_sources
// addresses (127.0.0.2 and on): how long an honest login takes from its
// connect to the arrival of a frame sent right behind its password, at a
// client already logged in. Each source sends one wrong password at a time and
// waits for the server to close it; all together at most flood_rate a
// second (0: as fast as the server answers).

struct Flood {
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
};

// Until the server closes the connection, or the flood stops.
void wait_closed(socket_handle sock, const Flood& flood)
{
    char buffer[64];
    while (!flood.stop) {
        int n = client_recv(sock, buffer, sizeof buffer, 200);
        if (n == 0 || n == -1)
            return;
    }
}

void flood_from(const Options& o, int index, Flood& flood)
{
    const std::string source = "127.0.0." + std::to_string(index + 2);
    const std::int64_t interval_ns =
        o.flood_rate > 0 ? static_cast<std::int64_t>(1e9 * o.flood_sources / o.flood_rate) : 0;
    std::int64_t next = now_ns() + interval_ns * index / std::max(o.flood_sources, 1);
    while (!flood.stop) {
        while (interval_ns > 0 && now_ns() < next && !flood.stop)
            usleep(10000);
        next += interval_ns;
        socket_handle sock = client_connect_from(source.c_str(), o.host.c_str(), o.ports.front());
        if (sock == INVALID_SOCKET_HANDLE) {
            usleep(100000);
            continue;
        }
        // A source shut out for its refusals is closed before the prompt;
        // the prompts of one that is not may wait behind the flood's checks.
        if (read_prompt(sock, "login:", 30000)) {
            send_line(sock, o.login);
            if (read_prompt(sock, "password:", 30000)) {
                send_line(sock, "wrong " + o.password);
                flood.sent++;
                wait_closed(sock, flood);
            }
        }
        client_close(sock);
    }
}

// One honest login; its time in nanoseconds from the connect to its
// frame's arrival at the receiver: the prompts, the password check and a
// served slot, as a client waits for them.
std::int64_t honest_login(const Options& o, socket_handle receiver, int number)
{
    std::int64_t start = now_ns();
    socket_handle sock = connect_patiently(o, 1);
    if (sock == INVALID_SOCKET_HANDLE)
        fail(EXIT_SETUP, "cannot connect an honest client");
    reach_password_prompt(o, sock);
    const std::string frame = make_frame("p honest \"\" " + std::to_string(number));
    std::string line = o.password + "\r\n" + frame;
    client_send_all(sock, line.data(), line.size());
    std::string got;
    char buffer[4096];
    while (got.find(frame) == std::string::npos) {
        int n = client_recv(receiver, buffer, sizeof buffer, 30000);
        if (n <= 0)
            fail(EXIT_SETUP, "an honest login's frame did not arrive (wrong password?)");
        got.append(buffer, static_cast<std::size_t>(n));
    }
    std::int64_t took = now_ns() - start;
    client_close(sock);
    return took;
}

int run_logins(const Options& o)
{
    socket_handle receiver = connect_patiently(o, 0);
    if (receiver == INVALID_SOCKET_HANDLE)
        fail(EXIT_SETUP, "cannot connect");
    log_in(o, receiver);
    Flood flood;
    std::vector<std::thread> sources;
    for (int i = 0; i < o.flood_sources; i++)
        sources.emplace_back(flood_from, std::cref(o), i, std::ref(flood));
    double cpu_before = cpu_seconds(o.server_pid);
    std::vector<std::int64_t> latencies;
    std::int64_t start = now_ns();
    const auto end = start + static_cast<std::int64_t>(o.seconds * 1e9);
    for (int number = 0; now_ns() < end; number++) {
        latencies.push_back(honest_login(o, receiver, number));
        usleep(50000);
    }
    double wall = static_cast<double>(now_ns() - start) / 1e9;
    std::uint64_t wrong = flood.sent;
    double cpu = cpu_before < 0 ? -1 : cpu_seconds(o.server_pid) - cpu_before;
    flood.stop = true;
    for (std::thread& source : sources)
        source.join();
    client_close(receiver);
    std::size_t honest = latencies.size();
    double p50 = percentile_us(latencies, 0.50);
    double p99 = percentile_us(latencies, 0.99);
    double max = static_cast<double>(*std::max_element(latencies.begin(), latencies.end())) / 1000.0;
    if (o.header)
        std::printf("%s\n", CSV_HEADER);
    // sent: the flood's wrong passwords; delivered: the honest logins.
    std::printf("%s,logins,%d,0,1,%.3f,%llu,%zu,%.1f,0,%.1f,%.1f,%.1f,0,0,0,0,%.3f,%.1f,-1,0,-1,-1,-1\n",
                o.label.c_str(), o.flood_sources, wall, static_cast<unsigned long long>(wrong), honest,
                static_cast<double>(honest) / wall, p50, p99, max, cpu,
                cpu >= 0 && wall > 0 ? 100.0 * cpu / wall : -1.0);
    std::fflush(stdout);
    return EXIT_OK;
}

const char* const USAGE =
    "usage: loadgen --port P [options]\n"
    "  --host H            server address (default 127.0.0.1)\n"
    "  --ports P1,P2,...   client i connects to the (i mod K)-th port: the switches\n"
    "                      of one cluster, a pair's partners on different ones\n"
    "  --clients N         2 to 100000 (default 2); 0 is allowed with --workload idle\n"
    "  --workload W        broadcast | pairs | fanout | burst | idle | logins\n"
    "  --raw               no login (for a relay that forwards every byte)\n"
    "  --nats              speak NATS: a subject per address, frames as payloads\n"
    "  --ws                speak WebSocket to the server's --ws-port: each frame one\n"
    "                      masked binary message\n"
    "  --sources K         connect from K loopback addresses, 127.1.0.1 on (default:\n"
    "                      the system's choice)\n"
    "  --ready-file PATH   write PATH once every client is online (and holds what\n"
    "                      --hold-bytes and --announce give it)\n"
    "  --seconds S         how long to send, or to stay idle (default 3)\n"
    "  --frame-bytes B     frame size, check byte included (default 64)\n"
    "  --window W          frames each sender keeps on the way (default 16)\n"
    "  --bursts K          burst workload: bursts to time (default 20)\n"
    "  --burst-frames F    frames per burst, sent in one write (default 100)\n"
    "  --hold-bytes B      idle workload: each client then writes B bytes of a frame\n"
    "                      without its check byte, and holds them (at most 9999)\n"
    "  --announce K        idle workload, 2 clients or more: each client announces K\n"
    "                      addresses of 255 bytes, and holds them\n"
    "  --flood-sources N   logins workload: addresses 127.0.0.2 and on that send\n"
    "                      wrong passwords beside the honest logins (default 0)\n"
    "  --flood-rate R      their wrong passwords a second, all together (default 0:\n"
    "                      each as soon as the last one was answered)\n"
    "  --login L --password P   credentials (default bench / bench)\n"
    "  --server-pid PID    read the server's CPU time and memory (peak, now) from /proc\n"
    "  --label NAME        first CSV column (default server)\n"
    "  --header            print the CSV header first\n"
    "loadgen --free-port prints a loopback port that is free now;\n"
    "loadgen --csv-header prints the header of the CSV line.\n"
    "Exit: 0 clean, 1 a frame lost/duplicated/reordered/corrupted, 2 usage, 3 set-up.\n";

// "P1,P2,...": each from 1 to 65535; a 0 stands for a port that did not read.
std::vector<std::uint16_t> port_list(std::string_view text)
{
    std::vector<std::uint16_t> ports;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        const long port = std::atol(std::string(text.substr(0, comma)).c_str());
        ports.push_back(port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0);
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return ports;
}

Options parse(int argc, char** argv)
{
    Options o;
    auto number = [&](int& i) {
        if (i + 1 >= argc)
            fail(EXIT_USAGE, std::string(argv[i]) + " wants a value\n" + USAGE);
        return std::atof(argv[++i]);
    };
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--host" && i + 1 < argc) o.host = argv[++i];
        else if (a == "--port") o.ports = {static_cast<std::uint16_t>(number(i))};
        else if (a == "--ports" && i + 1 < argc) o.ports = port_list(argv[++i]);
        else if (a == "--clients") o.clients = static_cast<int>(number(i));
        else if (a == "--workload" && i + 1 < argc) o.workload_name = argv[++i];
        else if (a == "--raw") o.raw = true;
        else if (a == "--nats") o.nats = true;
        else if (a == "--ws") o.ws = true;
        else if (a == "--sources") o.sources = static_cast<int>(number(i));
        else if (a == "--ready-file" && i + 1 < argc) o.ready_file = argv[++i];
        else if (a == "--seconds") o.seconds = number(i);
        else if (a == "--frame-bytes") o.frame_bytes = static_cast<int>(number(i));
        else if (a == "--window") o.window = static_cast<int>(number(i));
        else if (a == "--bursts") o.bursts = static_cast<int>(number(i));
        else if (a == "--burst-frames") o.burst_frames = static_cast<int>(number(i));
        else if (a == "--hold-bytes") o.hold_bytes = static_cast<int>(number(i));
        else if (a == "--announce") o.announce = static_cast<int>(number(i));
        else if (a == "--flood-sources") o.flood_sources = static_cast<int>(number(i));
        else if (a == "--flood-rate") o.flood_rate = number(i);
        else if (a == "--login" && i + 1 < argc) o.login = argv[++i];
        else if (a == "--password" && i + 1 < argc) o.password = argv[++i];
        else if (a == "--server-pid") o.server_pid = static_cast<long>(number(i));
        else if (a == "--label" && i + 1 < argc) o.label = argv[++i];
        else if (a == "--header") o.header = true;
        else if (a == "--csv-header") {
            std::printf("%s\n", CSV_HEADER);
            std::exit(EXIT_OK);
        }
        else if (a == "--free-port") {
            std::printf("%u\n", static_cast<unsigned>(client_free_port()));
            std::exit(EXIT_OK);
        }
        else fail(EXIT_USAGE, "unknown argument " + std::string(a) + "\n" + USAGE);
    }
    const std::pair<const char*, Workload> names[] = {
        {"broadcast", Workload::broadcast}, {"pairs", Workload::pairs}, {"fanout", Workload::fanout},
        {"burst", Workload::burst}, {"idle", Workload::idle}, {"logins", Workload::logins}};
    bool known = false;
    for (const auto& [name, w] : names)
        if (o.workload_name == name) {
            o.workload = w;
            known = true;
        }
    if (!known)
        fail(EXIT_USAGE, "unknown workload " + o.workload_name + "\n" + USAGE);
    if (o.ports.empty() || std::count(o.ports.begin(), o.ports.end(), 0) > 0)
        fail(EXIT_USAGE, std::string("--port or --ports is needed\n") + USAGE);
    if (o.flood_sources < 0 || o.flood_sources > 250 || o.flood_rate < 0 ||
        (o.flood_sources > 0 && o.workload != Workload::logins))
        fail(EXIT_USAGE, "--flood-sources must be 0 to 250, --flood-rate at least 0, and only with --workload logins");
    if (o.workload == Workload::logins && o.ws)
        fail(EXIT_USAGE, "--workload logins speaks plain TCP: leave out --ws");
    if (o.workload == Workload::logins)
        return o;
    int least = o.workload == Workload::idle ? 0 : 2;
    if (o.workload == Workload::burst)
        o.clients = 2;
    if (o.clients < least || o.clients > MOST_CLIENTS)
        fail(EXIT_USAGE, "--clients must be 2 to 100000 (0 to 100000 when idle)");
    if (o.sources < 0 || o.sources > 250 * 256)
        fail(EXIT_USAGE, "--sources must be 0 to 64000");
    if (o.raw + o.nats + o.ws > 1)
        fail(EXIT_USAGE, "--raw, --nats and --ws exclude each other");
    if (o.frame_bytes < 48 || o.frame_bytes > 4095)
        fail(EXIT_USAGE, "--frame-bytes must be 48 to 4095");
    if (o.hold_bytes < 0 || o.hold_bytes > 9999 || (o.hold_bytes > 0 && o.workload != Workload::idle))
        fail(EXIT_USAGE, "--hold-bytes must be 0 to 9999, and only with --workload idle");
    if (o.announce < 0 || (o.announce > 0 && (o.workload != Workload::idle || o.clients < 2 || o.nats)))
        fail(EXIT_USAGE, "--announce must be 0 or more, and only with --workload idle, 2 clients or more and no --nats");
    if (o.window < 1 || o.bursts < 1 || o.burst_frames < 1)
        fail(EXIT_USAGE, "--window, --bursts and --burst-frames must be at least 1");
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    // A thousand clients need a thousand descriptors.
    raise_descriptor_limit();
    if (client_startup() != 0)
        fail(EXIT_SETUP, "the socket library did not start");
    Run run;
    run.o = parse(argc, argv);
    if (run.o.workload == Workload::logins)
        return run_logins(run.o);
    return run_benchmark(run);
}
