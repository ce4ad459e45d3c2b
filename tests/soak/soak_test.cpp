// The real server over loopback, under load and abuse, from one thread.
//
// Forty well-behaved clients connect first, so they stay among the 63 that
// the server polls, and exchange addressed frames and frames to all, each
// carrying its sender and a sequence number. Meanwhile other connections
// misbehave in every way the server must survive. Every frame meant for a
// well-behaved client must arrive exactly once, in its sender's order and
// byte for byte; the server must never exit; its memory must stay under a
// bound; and every line of its event log must parse.
#include "platform/client.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int GOOD_CLIENTS = 40;
constexpr int CHAOS_AT_ONCE = 12;
constexpr int BURST_SIZE = 30; // 40 + 12 + 30 is well past the 63 polled
const std::string LOGIN = "alice";
const std::string PASSWORD = "s3cret";

// The server's high-water mark of resident memory may not pass this. Each
// receiver may hold 1 MiB of queued output; a dozen misbehaving ones at once
// stay well inside it.
#ifdef QM_SOAK_SANITIZED_SERVER
constexpr long MEMORY_BOUND_KB = 1024 * 1024;
#else
constexpr long MEMORY_BOUND_KB = 64 * 1024;
#endif

int soak_seconds()
{
    const char* value = std::getenv("QM_SOAK_SECONDS");
    int seconds = value ? std::atoi(value) : 0;
    return seconds > 0 ? seconds : 15;
}

bool high_bit(char c)
{
    return (static_cast<unsigned char>(c) & 0x80) != 0;
}

// A connection driven without blocking: bytes wait in `out` until the socket
// takes them, and whatever arrives is appended to `in`.
struct Connection {
    socket_handle sock = INVALID_SOCKET_HANDLE;
    std::string out;
    std::string in;
    bool peer_closed = false; // end of stream or an error
    bool reading = true;

    bool open() const { return sock != INVALID_SOCKET_HANDLE; }
    void close(bool hard)
    {
        if (!open())
            return;
        hard ? client_abort(sock) : client_close(sock);
        sock = INVALID_SOCKET_HANDLE;
    }

    void pump_out()
    {
        if (!open() || out.empty())
            return;
        int n = client_send_some(sock, out.data(), out.size());
        if (n > 0)
            out.erase(0, static_cast<std::size_t>(n));
        else if (n < 0)
            peer_closed = true;
    }

    // Reads at most limit bytes of what waits.
    void pump_in(std::size_t limit)
    {
        char buffer[65536];
        while (open() && !peer_closed && limit > 0) {
            int n = client_recv(sock, buffer, std::min(limit, sizeof buffer), 0);
            if (n == CLIENT_TIMED_OUT)
                return;
            if (n <= 0) {
                peer_closed = true;
                return;
            }
            in.append(buffer, static_cast<std::size_t>(n));
            limit -= static_cast<std::size_t>(n);
        }
    }
};

enum Misbehaviour {
    WRONG_PASSWORD,
    WRONG_LOGIN,
    GARBAGE_BEFORE_LOGIN,
    LONG_LINE,
    INVALID_FRAMES,
    OVERSIZED_FRAMES,
    RANDOM_QUOTES,
    DROP_MID_FRAME,
    SLOW_READER,
    STOPPED_READER,
    CLOSE_MID_BROADCAST,
    MISBEHAVIOUR_KINDS
};

const char* const MISBEHAVIOUR_NAMES[] = {
    "wrong password",    "wrong login",      "garbage before login",  "line over 10000 bytes",
    "invalid frames",    "oversized frames", "random quotes/escapes", "dropped mid-frame",
    "slow reader",       "stopped reader",   "closed mid-broadcast",
};

struct Chaos {
    Misbehaviour kind;
    Connection link;
    // A stopped reader has a partner that floods it with frames addressed to
    // it, so that its socket fills and the server has to give up on it.
    Connection feeder;
    int number = 0;
    Clock::time_point feed_from;
    Clock::time_point until;   // when it gives up and closes
    Clock::time_point next_read;
    bool hard_close = false;
};

class Soak {
public:
    Soak() : server({std::to_string(port), LOGIN, PASSWORD}) {}

    void run()
    {
        connect_good_clients();
        if (good.size() != GOOD_CLIENTS)
            return;
        announce_all();
        auto end = Clock::now() + std::chrono::seconds(soak_seconds());
        auto next_burst = Clock::now() + milliseconds(2000);
        while (Clock::now() < end && !failed()) {
            send_good_frames();
            keep_chaos_going();
            if (Clock::now() > next_burst) {
                burst();
                next_burst = Clock::now() + milliseconds(4000);
            }
            turn(5);
        }
        drain();
        for (Chaos& c : chaos)
            c.link.close(false);
        for (Connection& b : burst_links)
            b.close(false);
        watch_server(true);
    }

    void report_and_check()
    {
        std::printf("soak: %d s, %ld connections (%d well-behaved, %ld misbehaving, %ld in bursts)\n",
                    soak_seconds(), GOOD_CLIENTS + chaos_started + burst_started, GOOD_CLIENTS,
                    chaos_started, burst_started);
        std::printf("soak: %ld frames sent by well-behaved clients (%ld to all), %ld deliveries "
                    "checked byte for byte, %ld still missing, %ld frames from misbehaving clients "
                    "received\n",
                    frames_sent, broadcasts_sent, deliveries, missing(), foreign_frames);
        for (int k = 0; k < MISBEHAVIOUR_KINDS; k++)
            std::printf("soak: misbehaviour %-22s tried %4ld times, %4ld closed by the server\n",
                        MISBEHAVIOUR_NAMES[k], tried[k], closed_by_server[k]);
        std::printf("soak: server memory VmHWM %ld kB, last VmRSS %ld kB (bound %ld kB)\n", vm_hwm,
                    vm_rss, MEMORY_BOUND_KB);
        for (const std::string& f : failures)
            ADD_FAILURE() << f;
        EXPECT_EQ(missing(), 0);
        EXPECT_GT(deliveries, 0);
        if (vm_hwm > 0) {
            EXPECT_LE(vm_hwm, MEMORY_BOUND_KB);
        }
        check_log();
    }

private:
    bool failed() const { return !failures.empty(); }
    void fail(const std::string& what)
    {
        if (failures.size() < 20)
            failures.push_back(what);
    }

    // ---- the well-behaved clients

    void connect_good_clients()
    {
        for (int i = 0; i < GOOD_CLIENTS; i++) {
            auto client = std::make_unique<TestClient>(port);
            ASSERT_TRUE(client->connected());
            ASSERT_TRUE(client->login(LOGIN, PASSWORD)) << "client " << i;
            client_set_nonblocking(client->handle());
            Connection link;
            link.sock = client->handle();
            good.push_back(link);
            owners.push_back(std::move(client));
        }
        ASSERT_TRUE(server.wait_for_log("logged in", GOOD_CLIENTS, 30000));
        expected.assign(GOOD_CLIENTS, std::vector<std::deque<std::string>>(GOOD_CLIENTS));
        next_seq.assign(GOOD_CLIENTS, 0);
        registered.assign(GOOD_CLIENTS, false);
        next_send.assign(GOOD_CLIENTS, Clock::now());
    }

    // A frame to all from each client records its address; once another
    // client has it, frames addressed to it may follow.
    void announce_all()
    {
        for (int i = 0; i < GOOD_CLIENTS; i++)
            queue_good_frame(i, -1);
        auto deadline = Clock::now() + milliseconds(30000);
        while (Clock::now() < deadline && !failed() &&
               std::find(registered.begin(), registered.end(), false) != registered.end())
            turn(5);
        if (std::find(registered.begin(), registered.end(), false) != registered.end())
            fail("not every client's announcement came round");
    }

    // Writes name quoted, each byte plain or escaped in one of the ways that
    // decode back to it; a numeric escape is used only where the next byte
    // cannot be read as one of its digits.
    std::string quoted(const std::string& name)
    {
        std::string text = "\"";
        for (std::size_t i = 0; i < name.size(); i++) {
            char c = name[i];
            char next = i + 1 < name.size() ? name[i + 1] : '"';
            bool next_octal = next >= '0' && next <= '7';
            bool next_hex = std::isxdigit(static_cast<unsigned char>(next)) != 0;
            char number[8];
            switch (random() % 4) {
            case 1:
                if (!next_hex) {
                    std::snprintf(number, sizeof number, "\\x%x", static_cast<unsigned>(c));
                    text += number;
                    continue;
                }
                break;
            case 2:
                if (!next_octal) {
                    std::snprintf(number, sizeof number, "\\%o", static_cast<unsigned>(c));
                    text += number;
                    continue;
                }
                break;
            case 3:
                if (!std::isdigit(static_cast<unsigned char>(c)) && std::string("abfnrtvx").find(c) == std::string::npos) {
                    text += '\\';
                    text += c;
                    continue;
                }
                break;
            }
            text += c;
        }
        return text + "\"";
    }

    // Any 7-bit bytes but zero, quotes and backslashes included: fields past
    // the third are never looked at.
    std::string padding(std::size_t size)
    {
        std::string text;
        for (std::size_t i = 0; i < size; i++)
            text += static_cast<char>(1 + random() % 127);
        return text;
    }

    std::size_t frame_size()
    {
        auto r = random() % 100;
        return r < 80 ? 20 + random() % 200 : r < 97 ? 200 + random() % 1500 : 3000 + random() % 1000;
    }

    // to is a client index, or -1 for all.
    void queue_good_frame(int from, int to)
    {
        std::string payload = "S" + std::to_string(from) + ":" + std::to_string(next_seq[from]++) +
                              " " + quoted("g" + std::to_string(from)) + " " +
                              quoted(to < 0 ? "" : "g" + std::to_string(to)) + " ";
        std::size_t size = frame_size();
        if (payload.size() < size)
            payload += padding(std::min<std::size_t>(size - payload.size(), 4094 - payload.size()));
        std::string frame = make_frame(payload);
        good[static_cast<std::size_t>(from)].out += frame;
        for (int r = 0; r < GOOD_CLIENTS; r++)
            if (r != from && (to < 0 || to == r))
                expected[static_cast<std::size_t>(r)][static_cast<std::size_t>(from)].push_back(frame);
        frames_sent++;
        if (to < 0)
            broadcasts_sent++;
    }

    void send_good_frames()
    {
        auto now = Clock::now();
        for (int i = 0; i < GOOD_CLIENTS; i++) {
            if (now < next_send[static_cast<std::size_t>(i)] || good[static_cast<std::size_t>(i)].out.size() > 16384)
                continue;
            next_send[static_cast<std::size_t>(i)] = now + milliseconds(15 + random() % 40);
            int to = -1;
            if (random() % 100 >= 12) {
                to = static_cast<int>(random() % GOOD_CLIENTS);
                if (to == i || !registered[static_cast<std::size_t>(to)])
                    continue;
            }
            queue_good_frame(i, to);
        }
    }

    // Cuts what a client got into frames and holds each against what its
    // sender meant for it.
    void check_received(int r)
    {
        std::string& in = good[static_cast<std::size_t>(r)].in;
        std::size_t start = 0;
        for (std::size_t i = 0; i < in.size(); i++) {
            if (!high_bit(in[i]))
                continue;
            std::string frame = in.substr(start, i + 1 - start);
            start = i + 1;
            if (frame[0] != 'S') {
                foreign_frames++;
                continue;
            }
            int from = std::atoi(frame.c_str() + 1);
            if (from < 0 || from >= GOOD_CLIENTS) {
                fail("client " + std::to_string(r) + " got a frame from no known sender");
                continue;
            }
            auto& queue = expected[static_cast<std::size_t>(r)][static_cast<std::size_t>(from)];
            if (queue.empty() || queue.front() != frame) {
                fail("client " + std::to_string(r) + " got a frame from " + std::to_string(from) +
                     " that is not the next one meant for it: " + frame.substr(0, 40));
                continue;
            }
            queue.pop_front();
            deliveries++;
            // Its first frame, the announcement, came before this one.
            registered[static_cast<std::size_t>(from)] = true;
        }
        in.erase(0, start);
    }

    long missing() const
    {
        long count = 0;
        for (const auto& per_receiver : expected)
            for (const auto& queue : per_receiver)
                count += static_cast<long>(queue.size());
        return count;
    }

    void drain()
    {
        auto deadline = Clock::now() + milliseconds(20000);
        while (missing() > 0 && Clock::now() < deadline && !failed())
            turn(5);
    }

    // ---- the misbehaving connections

    std::string garbage(std::size_t size, bool line_feeds)
    {
        std::string text;
        for (std::size_t i = 0; i < size; i++) {
            char c = static_cast<char>(random() % 256);
            if (c == 'S' || (!line_feeds && c == '\n'))
                c = 'T';
            text += c;
        }
        return text;
    }

    // 7-bit text without 'S', so that nothing a misbehaving client gets
    // relayed can pass for a well-behaved client's frame.
    std::string text_without_marker(std::size_t size)
    {
        std::string text = "x";
        while (text.size() < size) {
            char c = static_cast<char>(1 + random() % 127);
            text += c == 'S' ? 'T' : c;
        }
        return text;
    }

    std::string destination_at_random()
    {
        switch (random() % 4) {
        case 0: return "\"\"";
        case 1: return quoted("g" + std::to_string(random() % GOOD_CLIENTS));
        case 2: return "nowhere";
        default: return text_without_marker(1 + random() % 10);
        }
    }

    std::string chaos_script(Chaos& c)
    {
        const std::string login = LOGIN + "\n" + PASSWORD + "\n";
        std::string script;
        switch (c.kind) {
        case WRONG_PASSWORD: return LOGIN + "\n" + PASSWORD + "x\n";
        case WRONG_LOGIN: return "Alice\n" + PASSWORD + "\n";
        case GARBAGE_BEFORE_LOGIN: return garbage(20 + random() % 3000, true) + "\n" + login;
        case LONG_LINE: return garbage(10001 + random() % 5000, false);
        case INVALID_FRAMES:
            script = login;
            for (int i = 0; i < 20; i++) {
                std::string frame = make_frame(text_without_marker(5 + random() % 300));
                switch (i % 4) {
                case 0: frame.back() = static_cast<char>(frame.back() ^ 1); break; // wrong check byte
                case 1: frame[frame.size() / 2] = '\0'; break;                     // a zero inside
                case 2: frame = make_frame("x y"); break;                          // two fields
                default: frame = make_frame("x"); break;                           // one field
                }
                script += frame;
            }
            return script;
        case OVERSIZED_FRAMES:
            script = login;
            for (int i = 0; i < 3; i++)
                script += make_frame(text_without_marker(4095 + random() % 5000));
            return script;
        case RANDOM_QUOTES:
            script = login;
            for (int i = 0; i < 20; i++)
                script += make_frame(text_without_marker(1 + random() % 8) + " " +
                                     quoted(text_without_marker(1 + random() % 8)) + " " +
                                     destination_at_random() + " " + text_without_marker(random() % 200));
            return script;
        case DROP_MID_FRAME:
            return login + make_frame("x \"src\" \"\" " + text_without_marker(2000)).substr(0, 1000);
        case SLOW_READER:
            return login + make_frame("x \"slow\" nowhere ");
        case STOPPED_READER:
            return login + make_frame("x \"stop" + std::to_string(c.number) + "\" nowhere ");
        case CLOSE_MID_BROADCAST:
            // Speaks for a well-behaved client's address too, so that frames
            // addressed there reach it as well as that client.
            return login + make_frame("x " + quoted("g" + std::to_string(random() % GOOD_CLIENTS)) +
                                      " nowhere ");
        default: return script;
        }
    }

    void start_chaos()
    {
        Chaos c;
        c.kind = static_cast<Misbehaviour>(random() % MISBEHAVIOUR_KINDS);
        c.number = static_cast<int>(chaos_started);
        c.link.sock = client_connect_start("127.0.0.1", port);
        if (!c.link.open())
            return;
        if (c.kind == STOPPED_READER || c.kind == SLOW_READER)
            client_set_receive_buffer(c.link.sock, 4096);
        c.link.out = chaos_script(c);
        c.link.reading = c.kind != STOPPED_READER;
        c.until = Clock::now() + milliseconds(1000 + random() % 4000);
        c.feed_from = Clock::now() + milliseconds(300);
        if (c.kind == STOPPED_READER)
            c.until += milliseconds(10000);
        c.next_read = Clock::now();
        c.hard_close = random() % 2 == 0;
        tried[c.kind]++;
        chaos_started++;
        chaos.push_back(std::move(c));
    }

    bool chaos_done(Chaos& c)
    {
        // A stopped reader looks only at the end whether the server gave up
        // on it: what was delivered before the close is read away first.
        if (c.kind == STOPPED_READER && Clock::now() > c.until) {
            c.link.pump_in(SIZE_MAX);
            c.link.in.clear();
        }
        if (c.link.peer_closed) {
            closed_by_server[c.kind]++;
            return true;
        }
        if (c.kind == DROP_MID_FRAME && c.link.out.empty())
            return true;
        // Closes while a frame is coming in: the last byte read is not a
        // check byte.
        if (c.kind == CLOSE_MID_BROADCAST && !c.link.in.empty() && !high_bit(c.link.in.back()))
            return true;
        return Clock::now() > c.until;
    }

    void keep_chaos_going()
    {
        for (auto it = chaos.begin(); it != chaos.end();) {
            if (it->kind == STOPPED_READER && !it->feeder.open() && Clock::now() > it->feed_from)
                start_feeder(*it);
            if (chaos_done(*it)) {
                it->link.close(it->hard_close || it->kind == DROP_MID_FRAME);
                it->feeder.close(false);
                it = chaos.erase(it);
            } else {
                ++it;
            }
        }
        while (chaos.size() < CHAOS_AT_ONCE)
            start_chaos();
        for (auto it = burst_links.begin(); it != burst_links.end() && Clock::now() > burst_until;) {
            it->close(random() % 2 == 0);
            it = burst_links.erase(it);
        }
    }

    void start_feeder(Chaos& c)
    {
        c.feeder.sock = client_connect_start("127.0.0.1", port);
        c.feeder.out = LOGIN + "\n" + PASSWORD + "\n";
        const std::string to = " \"stop" + std::to_string(c.number) + "\" ";
        for (int i = 0; i < 400; i++)
            c.feeder.out += make_frame("x feed" + to + text_without_marker(4000));
    }

    void burst()
    {
        for (int i = 0; i < BURST_SIZE; i++) {
            Connection link;
            link.sock = client_connect_start("127.0.0.1", port);
            if (!link.open())
                continue;
            if (i % 2)
                link.out = LOGIN + "\n" + PASSWORD + "\n";
            burst_links.push_back(std::move(link));
            burst_started++;
        }
        burst_until = Clock::now() + milliseconds(1500);
    }

    // ---- one turn of the client loop

    void turn(int timeout_ms)
    {
        std::vector<ClientPoll> entries;
        std::vector<Connection*> links;
        auto add = [&](Connection& link) {
            if (!link.open() || link.peer_closed)
                return;
            entries.push_back({link.sock, !link.out.empty(), false, false});
            links.push_back(&link);
        };
        for (Connection& g : good)
            add(g);
        auto now = Clock::now();
        for (Chaos& c : chaos) {
            // Readers that are not reading now are not asked about data, or
            // every wait would end at once.
            bool idle_reader = c.kind == STOPPED_READER || (c.kind == SLOW_READER && now < c.next_read);
            if (!idle_reader || !c.link.out.empty())
                add(c.link);
            add(c.feeder);
        }
        for (Connection& b : burst_links)
            add(b);
        client_poll(entries.data(), entries.size(), timeout_ms);
        now = Clock::now();
        for (std::size_t i = 0; i < entries.size(); i++) {
            if (entries[i].writable)
                links[i]->pump_out();
            if (entries[i].readable)
                read_link(*links[i], now);
        }
        for (int r = 0; r < GOOD_CLIENTS; r++) {
            if (good[static_cast<std::size_t>(r)].peer_closed)
                fail("the server closed well-behaved client " + std::to_string(r));
            check_received(r);
        }
        watch_server(false);
    }

    void read_link(Connection& link, Clock::time_point now)
    {
        for (Chaos& c : chaos) {
            if (&c.feeder == &link) {
                link.pump_in(SIZE_MAX);
                link.in.clear();
                return;
            }
            if (&c.link != &link)
                continue;
            if (c.kind == STOPPED_READER)
                return;
            if (c.kind == SLOW_READER) {
                if (now < c.next_read)
                    return;
                c.next_read = now + milliseconds(20);
                link.pump_in(512);
                link.in.clear();
                return;
            }
            link.pump_in(c.kind == CLOSE_MID_BROADCAST ? 700 : SIZE_MAX);
            if (c.kind != CLOSE_MID_BROADCAST)
                link.in.clear();
            return;
        }
        link.pump_in(SIZE_MAX);
        bool is_good = false;
        for (Connection& g : good)
            is_good = is_good || &g == &link;
        if (!is_good)
            link.in.clear();
    }

    // ---- the server itself

    static long status_field(const std::string& status, const std::string& name)
    {
        auto at = status.find(name + ":");
        return at == std::string::npos ? -1 : std::atol(status.c_str() + at + name.size() + 1);
    }

    void watch_server(bool now)
    {
        if (!now && Clock::now() < next_watch)
            return;
        next_watch = Clock::now() + milliseconds(250);
        if (!server.running()) {
            fail("the server exited");
            return;
        }
        if (server_runs_under_wine())
            return;
        std::ifstream file("/proc/" + std::to_string(server.process_id()) + "/status");
        std::string status((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        vm_rss = status_field(status, "VmRSS");
        vm_hwm = std::max(vm_hwm, status_field(status, "VmHWM"));
    }

    // Every line of the log begins an event with a time stamp, or continues
    // the event before it (received data and two texts hold line breaks).
    void check_log()
    {
        const std::string log = server.log_text();
        static const std::regex stamp(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d{4} )");
        static const std::string peer = R"((\S.* )?\[127\.0\.0\.1\])";
        static const std::regex event(
            "srv: starting server|srv: socket exception|SOCKET ERROR in SWITCH_wait: select\n|"
            "(Connected to|logged in|login refused|logged out|disconnected \\(timeout\\)|"
            "disconnected \\(error \\d+ on (recv|send)\\)|disconnected \\(RX buffer overflow!\n\\)|"
            "Socket error #\\d+ in send_to_all): " + peer);
        std::vector<std::string> records;
        std::size_t at = 0;
        while (at < log.size()) {
            std::size_t end = log.find('\n', at);
            if (end == std::string::npos)
                end = log.size();
            std::string line = log.substr(at, end - at);
            at = end + 1;
            if (line.size() >= 20 && std::regex_match(line.substr(0, 20), stamp))
                records.push_back(line.substr(20));
            else if (!records.empty())
                records.back() += "\n" + line;
            else
                fail("the log begins with a line that is no event: " + line.substr(0, 60));
        }
        std::map<std::string, long> counts;
        static const std::regex from("from " + peer + ": ");
        for (const std::string& record : records) {
            std::smatch m;
            auto colon = record.find("]: ");
            if (record.starts_with("from ") && colon != std::string::npos &&
                std::regex_match(record.substr(0, colon + 3), from)) {
                counts["from"]++;
            } else if (std::regex_match(record, event)) {
                counts[record.substr(0, record.find(':'))]++;
            } else {
                ADD_FAILURE() << "a log event that does not parse: " << record.substr(0, 80);
            }
        }
        std::printf("soak: %zu log events parsed:", records.size());
        for (const auto& [name, count] : counts)
            std::printf(" [%s] %ld", name.c_str(), count);
        std::printf("\n");
        EXPECT_GE(counts["logged in"], GOOD_CLIENTS);
    }

    std::uint32_t random() { return static_cast<std::uint32_t>(generator()); }

    std::uint16_t port = client_free_port();
    ServerProcess server;
    std::mt19937 generator{20121206};
    std::vector<std::unique_ptr<TestClient>> owners;
    std::vector<Connection> good;
    std::vector<std::vector<std::deque<std::string>>> expected; // [receiver][sender]
    std::vector<long> next_seq;
    std::vector<bool> registered;
    std::vector<Clock::time_point> next_send;
    std::deque<Chaos> chaos;
    std::deque<Connection> burst_links;
    Clock::time_point burst_until;
    Clock::time_point next_watch;
    long frames_sent = 0;
    long broadcasts_sent = 0;
    long deliveries = 0;
    long foreign_frames = 0;
    long chaos_started = 0;
    long burst_started = 0;
    long tried[MISBEHAVIOUR_KINDS] = {};
    long closed_by_server[MISBEHAVIOUR_KINDS] = {};
    long vm_hwm = 0;
    long vm_rss = 0;
    std::vector<std::string> failures;
};

TEST(Soak, ManyClientsAndMisbehavingConnectionsLoseNothing)
{
    Soak soak;
    soak.run();
    soak.report_and_check();
}

} // namespace
