// qmclient: the companion client. Logs in, then relays between the terminal
// and the server (one typed line is one frame), or, for scripts, sends a few
// frames (--send) or announces an address and prints what arrives (--listen).
#include "platform/client.h"
#include "platform/line_reader.h"
#include "platform/tls.h"
#include "protocol/frame.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Exit codes a script can rely on; each comes with one line on stderr.
enum ExitCode : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 2,        // bad arguments or a text that cannot be a frame
    EXIT_UNREACHABLE = 3,  // the name did not resolve or the connection was refused
    EXIT_REFUSED = 4,      // the server closed the connection at login
    EXIT_LOST = 5,         // the connection closed or failed after login
    EXIT_TIMED_OUT = 6,    // --listen: the --count frames did not come in time
};

// A server holding every --max-clients slot greets a newcomer only when one
// frees: the default wait for each prompt, --prompt-wait.
constexpr long DEFAULT_PROMPT_WAIT_S = 10;
// A plain port greets within a second, when its look-up of the client's
// name gives up; a TLS port says nothing until the client's hello. So
// without --tls, a silence this long is worth one TLS handshake on a new
// connection, given as long again.
constexpr int TLS_PROBE_AFTER_MS = 2000;
constexpr std::string_view PLAIN_GREETING = "login:";
constexpr int KEEP_ALIVE_MS = 20000;              // well inside the server's 60 s
constexpr std::string_view KEEP_ALIVE_TEXT = "-"; // one field: dropped, but it is input
using Clock = std::chrono::steady_clock;

const char* const USAGE =
    "usage: qmclient [options] HOST PORT\n"
    "  --login NAME      login name (default: $QM_LOGIN)\n"
    "  --password WORD   password (default: $QM_PASSWORD, which keeps it off the\n"
    "                    process list)\n"
    "  --as ADDRESS      speak for ADDRESS: announce it, and send each typed line\n"
    "                    as the frame: say ADDRESS \"TO\" line\n"
    "  --to ADDRESS      TO for --as (default: empty, which reaches everyone)\n"
    "  --send TEXT       send TEXT as one frame, then exit (repeatable)\n"
    "  --listen ADDRESS  announce ADDRESS and print every frame that arrives\n"
    "  --count N         with --listen: exit after N frames\n"
    "  --timeout SEC     with --listen: give up after SEC seconds (exit 6 when\n"
    "                    --count frames have not come)\n"
    "  --hex             print frames as hex bytes, check byte included\n"
    "  --settle MS       how long to watch for a refused login (default 300)\n"
    "  --prompt-wait SEC how long to wait for each prompt (default 10); a server\n"
    "                    whose client slots are all taken greets only when one frees\n"
    "  --tls             talk TLS; the server's certificate must name HOST and\n"
    "                    chain to the system's CAs\n"
    "  --ca PEM          with --tls: trust the CA certificates in PEM instead\n"
    "  --insecure        with --tls: do not check the server's certificate\n"
    "Frames received are printed one per line; a frame whose check byte is\n"
    "wrong is printed after the mark \"[bad check byte] \".\n"
    "Exit codes: 0 done, 2 usage, 3 server unreachable, 4 login refused,\n"
    "5 connection lost, 6 timed out.\n";

struct Options {
    std::string host;
    std::uint16_t port = 0;
    std::string login;
    std::string password;
    std::string own_address;   // --as
    std::string to_address;    // --to
    std::vector<std::string> sends;
    std::string listen_address;
    long count = 0;
    long timeout_s = 0;
    bool hex = false;
    int settle_ms = 300;
    long prompt_wait_s = DEFAULT_PROMPT_WAIT_S;
    bool tls = false;
    std::string ca;  // --ca
    bool insecure = false;
};

[[noreturn]] void finish(int code, const std::string& message = {})
{
    std::fflush(stdout);
    if (!message.empty())
        std::fprintf(stderr, "qmclient: %s\n", message.c_str());
    std::fflush(stderr);
    // _Exit: on Windows a thread may still be blocked reading the console.
    std::_Exit(code);
}

[[noreturn]] void usage_error(const std::string& message)
{
    finish(EXIT_USAGE, message + "; see qmclient --help");
}

// Empty when text can travel as a frame's payload; otherwise the reason.
std::string frame_text_problem(std::string_view text)
{
    if (text.size() > FRAME_MAX - 1)
        return "text longer than " + std::to_string(FRAME_MAX - 1) + " bytes";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == 0 || byte >= 0x80)
            return "only 7-bit text without zero bytes can travel in a frame";
    }
    return {};
}

// A field the server reads back as exactly name.
std::string quoted(std::string_view name)
{
    std::string out = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// The connection to the server: a plain socket, or TLS over it.
struct Connection {
    // As client_recv.
    int recv(void* buffer, std::size_t size, int timeout_ms) const
    {
        return tls ? client_tls_recv(sock, tls, buffer, size, timeout_ms)
                   : client_recv(sock, buffer, size, timeout_ms);
    }
    bool send_all(const void* data, std::size_t size) const
    {
        return (tls ? client_tls_send_all(sock, tls, data, size) : client_send_all(sock, data, size)) == 0;
    }
    void close()
    {
        tls_connection_free(tls);
        tls = nullptr;
        client_close(sock);
    }
    socket_handle sock = INVALID_SOCKET_HANDLE;
    TlsConnection* tls = nullptr;
};

// The connection, and when it last carried a frame from us.
struct Link {
    explicit Link(const Connection& connection) : connection(connection) {}
    bool send_frame(std::string_view text)
    {
        std::string frame = make_frame(text);
        last_send = Clock::now();
        return connection.send_all(frame.data(), frame.size());
    }
    bool keep_alive_due() const
    {
        return Clock::now() - last_send > std::chrono::milliseconds(KEEP_ALIVE_MS);
    }
    const Connection& connection;
    Clock::time_point last_send = Clock::now();
};

long parse_number(const char* option, const char* text)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0)
        usage_error(std::string(option) + " wants a number, not '" + text + "'");
    return value;
}

Options parse_options(int argc, char** argv)
{
    Options o;
    // An empty login or password may be the real one, so what counts is
    // whether one was given at all.
    const char* login = std::getenv("QM_LOGIN");
    const char* password = std::getenv("QM_PASSWORD");
    if (login)
        o.login = login;
    if (password)
        o.password = password;
    bool have_login = login != nullptr;
    bool have_password = password != nullptr;
    bool to_given = false, count_given = false, timeout_given = false, ca_given = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            finish(EXIT_DONE);
        }
        if (arg == "--hex" || arg == "--tls" || arg == "--insecure") {
            (arg == "--hex" ? o.hex : arg == "--tls" ? o.tls : o.insecure) = true;
            continue;
        }
        if (arg.substr(0, 2) != "--" || arg.size() == 2) {
            positional.emplace_back(arg);
            continue;
        }
        if (i + 1 >= argc)
            usage_error(std::string(arg) + " wants a value");
        const char* value = argv[++i];
        if (arg == "--login") {
            o.login = value;
            have_login = true;
        } else if (arg == "--password") {
            o.password = value;
            have_password = true;
        } else if (arg == "--as") {
            o.own_address = value;
        } else if (arg == "--to") {
            o.to_address = value;
            to_given = true;
        } else if (arg == "--send") {
            o.sends.emplace_back(value);
        } else if (arg == "--listen") {
            o.listen_address = value;
        } else if (arg == "--count") {
            o.count = parse_number("--count", value);
            count_given = true;
        } else if (arg == "--timeout") {
            o.timeout_s = parse_number("--timeout", value);
            timeout_given = true;
        } else if (arg == "--prompt-wait") {
            o.prompt_wait_s = parse_number("--prompt-wait", value);
            if (o.prompt_wait_s < 1 || o.prompt_wait_s > 86400)
                usage_error("--prompt-wait takes 1 to 86400 seconds");
        } else if (arg == "--settle") {
            o.settle_ms = static_cast<int>(parse_number("--settle", value));
        } else if (arg == "--ca") {
            o.ca = value;
            ca_given = true;
        } else {
            usage_error("unknown option " + std::string(arg));
        }
    }
    if (positional.size() < 2)
        usage_error("HOST and PORT are needed");
    if (positional.size() > 2) {
        // Most often a --send text with blanks that was not quoted.
        std::string given;
        for (const std::string& word : positional)
            given += " " + word;
        usage_error("expected HOST and PORT, got " + std::to_string(positional.size()) + " arguments:" + given);
    }
    o.host = positional[0];
    // An IPv6 address may come bracketed, as in a URL.
    if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
        o.host = o.host.substr(1, o.host.size() - 2);
    long port = parse_number("PORT", positional[1].c_str());
    if (port < 1 || port > 65535)
        usage_error("PORT must be 1 to 65535");
    o.port = static_cast<std::uint16_t>(port);
    if (!o.sends.empty() && !o.listen_address.empty())
        usage_error("--send and --listen do not go together");
    if (!o.listen_address.empty() && !o.own_address.empty())
        usage_error("--listen and --as do not go together");
    if (to_given && o.own_address.empty())
        usage_error("--to works only with --as");
    if (count_given && o.listen_address.empty())
        usage_error("--count works only with --listen");
    if (timeout_given && o.listen_address.empty())
        usage_error("--timeout works only with --listen");
    if ((ca_given || o.insecure) && !o.tls)
        usage_error(std::string(ca_given ? "--ca" : "--insecure") + " works only with --tls");
    if (ca_given && o.insecure)
        usage_error("--ca and --insecure do not go together");
    if (o.tls && !tls_available())
        finish(EXIT_USAGE, std::string("--tls: ") + tls_unavailable_reason());
    if (!have_login)
        usage_error("no login: set QM_LOGIN or give --login");
    if (!have_password)
        usage_error("no password: set QM_PASSWORD or give --password");
    for (const std::string& text : o.sends)
        if (std::string problem = frame_text_problem(text); !problem.empty())
            usage_error("cannot send '" + text + "': " + problem);
    for (const std::string* name : {&o.own_address, &o.listen_address, &o.to_address})
        if (std::string problem = frame_text_problem(*name); !problem.empty())
            usage_error("address '" + *name + "': " + problem);
    for (const std::string* line : {&o.login, &o.password})
        if (line->find_first_of("\r\n") != std::string::npos)
            usage_error("the login and the password are single lines");
    return o;
}

// Whether a TLS handshake with the port succeeds on a new connection. Only
// that is asked: the certificate is not checked, nothing is sent after.
bool port_speaks_tls(const Options& o)
{
    if (!tls_available())
        return false;
    socket_handle sock = client_connect(o.host.c_str(), o.port);
    if (sock == INVALID_SOCKET_HANDLE)
        return false;
    std::string error;
    TlsContext* context = tls_client_context("", false, &error);
    TlsConnection* tls = context ? client_tls_start(context, sock, o.host, TLS_PROBE_AFTER_MS, &error) : nullptr;
    tls_context_release(context);
    bool speaks = tls != nullptr;
    tls_connection_free(tls);
    client_close(sock);
    return speaks;
}

// Reads exactly the prompt; anything else, or a close, ends the run.
void expect_prompt(const Options& o, const Connection& connection, std::string_view prompt,
                   bool after_login_line)
{
    std::string got;
    char buffer[64];
    auto deadline = Clock::now() + std::chrono::seconds(o.prompt_wait_s);
    bool may_speak_tls = !o.tls && !after_login_line;
    auto probe_at = Clock::now() + std::chrono::milliseconds(TLS_PROBE_AFTER_MS);
    while (got.size() < prompt.size()) {
        auto until = may_speak_tls ? std::min(deadline, probe_at) : deadline;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 && may_speak_tls) {
            may_speak_tls = false;
            if (got.empty() && port_speaks_tls(o))
                finish(EXIT_UNREACHABLE, "the port speaks TLS: add --tls");
            continue;
        }
        if (left.count() <= 0)
            finish(EXIT_LOST, "no \"" + std::string(prompt) + "\" prompt from the server within " +
                                  std::to_string(o.prompt_wait_s) +
                                  " s: it may be full (a client beyond its slots is greeted but not"
                                  " read until one frees); try later, or wait longer with --prompt-wait");
        int n = connection.recv(buffer, prompt.size() - got.size(), static_cast<int>(left.count()));
        if (n == 0 || n == -1)
            finish(after_login_line ? EXIT_REFUSED : EXIT_LOST,
                   after_login_line ? "login refused" : "connection lost before the login prompt");
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
    }
    if (got != prompt)
        finish(EXIT_LOST, "the server did not greet with \"" + std::string(prompt) + "\"");
}

// Prints one received frame as a line: its text, or its bytes in hex.
void print_frame(std::string_view frame, bool hex)
{
    std::string line;
    std::string_view text = frame.substr(0, frame.size() - 1);
    bool good = frame_check_byte(text) == static_cast<unsigned char>(frame.back());
    if (!good)
        line = "[bad check byte] ";
    char code[8];
    if (hex) {
        for (std::size_t i = 0; i < frame.size(); i++) {
            std::snprintf(code, sizeof code, i ? " %02x" : "%02x", static_cast<unsigned char>(frame[i]));
            line += code;
        }
    } else {
        // One frame, one line: control bytes are shown escaped.
        for (char c : text) {
            if (c == '\\') {
                line += "\\\\";
            } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
                line += code;
            } else {
                line.push_back(c);
            }
        }
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Cuts the received stream into frames: each ends at the first byte with its
// high bit set. A run too long to be a frame is printed as it stands.
class FrameSplitter {
public:
    template <typename Emit>
    void feed(const char* bytes, std::size_t n, Emit emit)
    {
        for (std::size_t i = 0; i < n; i++) {
            pending.push_back(bytes[i]);
            if (is_check_byte(bytes[i]) || pending.size() > FRAME_MAX) {
                emit(std::string_view(pending));
                pending.clear();
            }
        }
    }

private:
    std::string pending;
};

// Waits settle_ms for the close that refuses a login; bytes that arrive
// meanwhile are frames for us and are kept for the caller.
void watch_for_refusal(const Connection& connection, int settle_ms, std::string* early)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(settle_ms);
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return;
        int n = connection.recv(buffer, sizeof buffer, static_cast<int>(left.count()));
        if (n == 0 || n == -1)
            finish(EXIT_REFUSED, "login refused");
        if (n > 0)
            early->append(buffer, static_cast<std::size_t>(n));
    }
}

std::string where(const Options& o)
{
    bool ipv6 = o.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + o.host + "]" : o.host) + ":" + std::to_string(o.port);
}

// The TLS handshake, within the time a prompt may take.
TlsConnection* start_tls(const Options& o, socket_handle sock)
{
    if (o.insecure)
        std::fprintf(stderr, "qmclient: --insecure: the server's certificate is not checked\n");
    std::string error;
    std::string reply;
    TlsContext* context = tls_client_context(o.ca, !o.insecure, &error);
    TlsConnection* tls = context ? client_tls_start(context, sock, o.host, static_cast<int>(o.prompt_wait_s * 1000),
                                                    &error, &reply)
                                 : nullptr;
    tls_context_release(context);
    if (!tls && reply.starts_with(PLAIN_GREETING))
        finish(EXIT_UNREACHABLE, "the port speaks plain TCP: leave out --tls");
    if (!tls)
        finish(EXIT_UNREACHABLE, "cannot reach " + where(o) + ": " + error);
    return tls;
}

Connection connect_and_log_in(const Options& o)
{
    if (client_startup() != 0)
        finish(EXIT_UNREACHABLE, "the socket library did not start");
    Connection connection;
    std::string resolve_problem;
    connection.sock = client_connect(o.host.c_str(), o.port, &resolve_problem);
    if (!resolve_problem.empty())
        finish(EXIT_UNREACHABLE, "cannot resolve " + o.host + ": " + resolve_problem);
    if (connection.sock == INVALID_SOCKET_HANDLE)
        finish(EXIT_UNREACHABLE, "cannot reach " + where(o) + ": " + sock_error_text(sock_last_error()));
    if (o.tls)
        connection.tls = start_tls(o, connection.sock);
    expect_prompt(o, connection, PLAIN_GREETING, false);
    std::string line = o.login + "\r\n";
    connection.send_all(line.data(), line.size());
    expect_prompt(o, connection, "password:", true);
    line = o.password + "\r\n";
    connection.send_all(line.data(), line.size());
    return connection;
}

// Frames sent just before a close could be lost: the server drops what it
// has not relayed when it sees the end of the stream. So the connection
// stays open for settle_ms, and a close seen meanwhile means the login was
// refused.
int run_send(const Options& o, Connection& connection)
{
    Link link(connection);
    for (const std::string& text : o.sends)
        if (!link.send_frame(text))
            finish(EXIT_LOST, "connection lost");
    std::string ignored;
    watch_for_refusal(connection, o.settle_ms + static_cast<int>(o.sends.size()), &ignored);
    connection.close();
    return EXIT_DONE;
}

// The announcement: a frame from the address to the address itself, which
// only others that speak for the same address receive.
std::string announcement(const std::string& address)
{
    return "hello " + quoted(address) + " " + quoted(address) + " ";
}

// Receives and prints frames until the connection ends or stop() says so.
// stop() is asked at least every poll_ms. Returns the code to exit with.
template <typename Stop>
int receive_loop(const Options& o, Link& link, std::string_view early, long* frames, int poll_ms,
                 Stop stop)
{
    FrameSplitter splitter;
    auto emit = [&](std::string_view frame) {
        print_frame(frame, o.hex);
        ++*frames;
    };
    splitter.feed(early.data(), early.size(), emit);
    char buffer[4096];
    while (!stop()) {
        int n = link.connection.recv(buffer, sizeof buffer, poll_ms);
        if (n == 0 || n == -1)
            finish(EXIT_LOST, "connection lost");
        if (n > 0)
            splitter.feed(buffer, static_cast<std::size_t>(n), emit);
        if (link.keep_alive_due() && !link.send_frame(KEEP_ALIVE_TEXT))
            finish(EXIT_LOST, "connection lost");
    }
    return EXIT_DONE;
}

int run_listen(const Options& o, Connection& connection)
{
    Link link(connection);
    std::string early;
    watch_for_refusal(connection, o.settle_ms, &early);
    if (!link.send_frame(announcement(o.listen_address)))
        finish(EXIT_LOST, "connection lost");
    // A script that starts a listener and then a sender waits for this line
    // instead of sleeping.
    std::fprintf(stderr, "qmclient: listening as %s\n", o.listen_address.c_str());
    std::fflush(stderr);
    long frames = 0;
    auto deadline = Clock::now() + std::chrono::seconds(o.timeout_s);
    bool timed_out = false;
    receive_loop(o, link, early, &frames, 100, [&] {
        if (o.count > 0 && frames >= o.count)
            return true;
        timed_out = o.timeout_s > 0 && Clock::now() >= deadline;
        return timed_out;
    });
    connection.close();
    if (timed_out && o.count > 0)
        finish(EXIT_TIMED_OUT, "timed out after " + std::to_string(frames) + " of " +
                                   std::to_string(o.count) + " frames");
    return EXIT_DONE;
}

// Sends one typed line; a line that cannot be a frame is reported and skipped.
void send_line(const Options& o, Link& link, std::string text)
{
    if (text.empty())
        return;
    if (!o.own_address.empty())
        text = "say " + quoted(o.own_address) + " " + quoted(o.to_address) + " " + text;
    if (std::string problem = frame_text_problem(text); !problem.empty()) {
        std::fprintf(stderr, "qmclient: line not sent: %s\n", problem.c_str());
        return;
    }
    if (!link.send_frame(text))
        finish(EXIT_LOST, "connection lost");
}

// The terminal side: typed lines go out as frames while received frames are
// printed. When input ends, the connection stays open for settle_ms so that
// the server relays the last lines before it sees the close.
int run_terminal(const Options& o, Connection& connection)
{
    Link link(connection);
    std::string early;
    watch_for_refusal(connection, o.settle_ms, &early);
    // The server never confirms a login; someone at a terminal should not
    // have to guess whether it went through.
    std::fprintf(stderr, "qmclient: logged in to %s\n", where(o).c_str());
    if (!o.own_address.empty() && !link.send_frame(announcement(o.own_address)))
        finish(EXIT_LOST, "connection lost");
    line_reader_start();
    long frames = 0;
    bool input_ended = false;
    Clock::time_point ended{};
    receive_loop(o, link, early, &frames, 20, [&] {
        std::string line;
        int got;
        while (!input_ended && (got = line_reader_next(&line)) != 0) {
            if (got < 0) {
                input_ended = true;
                ended = Clock::now();
            } else {
                send_line(o, link, line);
            }
        }
        return input_ended && Clock::now() - ended > std::chrono::milliseconds(o.settle_ms);
    });
    connection.close();
    return EXIT_DONE;
}

} // namespace

int main(int argc, char** argv)
{
    Options o = parse_options(argc, argv);
    Connection connection = connect_and_log_in(o);
    if (!o.sends.empty())
        finish(run_send(o, connection));
    if (!o.listen_address.empty())
        finish(run_listen(o, connection));
    finish(run_terminal(o, connection));
}
