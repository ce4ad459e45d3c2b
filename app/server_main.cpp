#include "app/server_main.h"

#include "app/check_config.h"
#include "app/command_line.h"
#include "app/reload.h"
#include "app/service_status.h"
#include "app/setting_files.h"
#include "app/settings.h"
#include "platform/cluster_link.h"
#include "platform/log_file.h"
#include "platform/text_file.h"
#include "platform/tls.h"
#include "platform/password_hash.h"
#include "platform/signals.h"
#include "switch/server.h"
#include "switch/tls_transport.h"
#include "switch/websocket_transport.h"
#include "switch/output_pass.h"
#include "switch/turn.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The version is the project's, as CMake declares it.
constexpr const char* BANNER = "QuillmarshServer version " QM_VERSION "\n";
constexpr const char* USAGE = "Usage: QuillmarshSrv <port_number> <login> <password>\n\n";
constexpr unsigned STARTUP_PAUSE_MS = 1000;
constexpr std::uint16_t SOCKET_LIBRARY_VERSION = 2; // 2.0: major in the low byte

[[noreturn]] void fail_socket_library(const char* text)
{
    debug_output(text);
    sock_cleanup();
    std::exit(1);
}

void start_socket_library()
{
    std::uint16_t granted = 0;
    if (sock_startup(SOCKET_LIBRARY_VERSION, &granted) != 0)
        fail_socket_library("NO WINSOCK LIBRARY!\n");
    if (granted != SOCKET_LIBRARY_VERSION)
        fail_socket_library("WinSock version not supported");
}

// "192.0.2.7:8023", "[::1]:8023": where a listener was to be opened.
std::string listen_address_text(std::string address, std::uint16_t port)
{
    if (address.starts_with('['))
        address = address.substr(1, address.size() - 2);
    if (address.find(':') != std::string::npos)
        address = "[" + address + "]";
    return address + ":" + std::to_string(port);
}

// How a failed step of opening a listener is named in the log, and the
// classic text perror gives it on standard error.
struct ListenStep {
    const char* name;
    const char* perror_text;
};

ListenStep listen_step(ListenFailure failure)
{
    switch (failure) {
    case ListenFailure::socket:
        return {"socket", "socket"};
    case ListenFailure::reuse_address:
        return {"setsockopt SO_REUSEADDR", "opn_tcp : setsockopt SO_REUSEADDR"};
    case ListenFailure::ipv6_only:
        return {"setsockopt IPV6_V6ONLY", "opn_tcp : setsockopt IPV6_V6ONLY"};
    case ListenFailure::bind:
        return {"bind", "bind"};
    case ListenFailure::listen:
    case ListenFailure::address:
    case ListenFailure::none:
        break;
    }
    return {"listen", "listen"};
}

// Said in the log before a failed start ends: where, why, and that the
// server stops.
void log_listen_failure(Server& server, ListenFailure failure, const std::string& where)
{
    const std::string subject = "cannot listen: " + std::string(listen_step(failure).name) + " " + where +
                                ": " + sock_error_text(sock_last_error());
    log_event(server.log, platform.now(), "srv", subject.c_str());
    log_event(server.log, platform.now(), "srv", "stopping server");
    log_close(server.log);
}

// A listener that cannot be opened ends the start with exit code 1, and
// standard error has the classic perror text.
[[noreturn]] void fail_listener(Server& server, ListenFailure failure, const std::string& where,
                                socket_handle listener)
{
    const int posix_errno = errno;
    log_listen_failure(server, failure, where);
    errno = posix_errno;
    std::perror(listen_step(failure).perror_text);
    if (listener != INVALID_SOCKET_HANDLE)
        platform.close(listener);
    std::exit(1);
}

// Help and version are for people at a terminal: they come at once, without
// the banner's pause. So does every mistake on the command line.
void answer_at_once(const CommandLine& line)
{
    switch (line.action) {
    case CommandAction::help:
        std::fputs(full_usage().c_str(), stdout);
        std::exit(0);
    case CommandAction::version:
        std::fputs(BANNER, stdout);
        std::exit(0);
    case CommandAction::error:
        std::fprintf(stderr, "QuillmarshSrv: %s\n%s", line.error.c_str(), full_usage().c_str());
        std::exit(2);
    case CommandAction::serve:
    case CommandAction::classic_usage:
        break;
    }
}

[[noreturn]] void fail_start(const std::string& reason)
{
    std::fprintf(stderr, "QuillmarshSrv: %s\n", reason.c_str());
    std::exit(2);
}

// The file and the command line together; a mistake in either ends the
// start with the reason, the command line's own with the usage too.
Configuration configure(const CommandLine& line)
{
    Configuration configuration;
    configuration.line = line;
    std::string error;
    if (line.action != CommandAction::serve)
        return configuration;
    configuration.from_file = !line.config_path.empty();
    if (configuration.from_file) {
        if (!read_config_file(line.config_path, configuration.file, error))
            fail_start(error);
        configuration.file_stamp = text_file_stamp(line.config_path.c_str());
    }
    if (settle_settings(line, configuration.from_file ? &configuration.file : nullptr, configuration.settings,
                        error))
        return configuration;
    if (configuration.from_file)
        fail_start(error);
    std::fprintf(stderr, "QuillmarshSrv: %s\n%s", error.c_str(), full_usage().c_str());
    std::exit(2);
}

// Copies the password, from its file or from the command line; the
// argument's bytes are then blanked, so the process list no longer shows it.
std::string take_password(const Configuration& configuration)
{
    std::string password;
    std::string error;
    if (!read_password(configuration.line, configuration.settings, password, error))
        fail_start(error);
    if (char* argument = password_argument(configuration.line))
        std::memset(argument, 0, password.size());
    return password;
}

// Who may log in, and the TLS port's certificate: read before anything is
// said, so that a mistake ends the start at once.
void load_credentials_and_tls(Server& server, const Configuration& configuration)
{
    const Settings& settings = configuration.settings;
    std::string error;
    if (settings.users_file.empty())
        set_credentials(server, settings.login->c_str(), take_password(configuration).c_str());
    server.tls_context = load_tls(settings, error);
    if (!error.empty())
        fail_start(error);
    if (!settings.users_file.empty() && !load_logins(server.logins, settings, error))
        fail_start(error);
    if (!check_cluster(settings, error))
        fail_start(error);
    if (!load_web_rules(server.web_rules, settings, error))
        fail_start(error);
}

// The banner's pause, cut short by a stop: the operator who stops the
// server in its first second gets a clean exit, not a kill.
void pause_unless_stopped(unsigned milliseconds)
{
    constexpr unsigned STEP_MS = 10;
    const std::int64_t deadline = platform.monotonic_ms() + milliseconds;
    while (!stop_requested()) {
        const std::int64_t left = deadline - platform.monotonic_ms();
        if (left <= 0)
            return;
        sleep_ms(static_cast<unsigned>(std::min<std::int64_t>(left, STEP_MS)));
    }
    std::exit(0);
}

// The listening socket on every IPv4 address, as the classic server opens it.
socket_handle open_listener(Server& server, std::uint16_t port)
{
    const std::string where = listen_address_text("0.0.0.0", port);
    socket_handle listener = sock_open_stream();
    if (listener == INVALID_SOCKET_HANDLE)
        fail_listener(server, ListenFailure::socket, where, listener);
    if (sock_reuse_address(listener) != 0)
        fail_listener(server, ListenFailure::reuse_address, where, INVALID_SOCKET_HANDLE);
    if (sock_bind_any(listener, port) != 0)
        fail_listener(server, ListenFailure::bind, where, listener);
    if (sock_listen(listener) != 0)
        fail_listener(server, ListenFailure::listen, where, listener);
    return listener;
}

// One --bind address; a failure ends the start-up as the classic listener's
// does, with the failed step's text and exit code 1.
socket_handle open_listener_at(Server& server, const std::string& address, std::uint16_t port)
{
    ListenFailure failure;
    socket_handle listener = sock_listen_at(address.c_str(), port, &failure);
    if (failure == ListenFailure::none)
        return listener;
    if (failure == ListenFailure::address) {
        std::fprintf(stderr, "QuillmarshSrv: --bind: '%s' is not an IPv4 or IPv6 address\n",
                     address.c_str());
        std::exit(2);
    }
    fail_listener(server, failure, listen_address_text(address, port), INVALID_SOCKET_HANDLE);
}

// The listeners of one port, kind and transport: on each --bind address, or
// on every IPv4 address as the classic server listens.
void listen_on(Server& server, const Settings& settings, std::uint16_t port, ListenerKind kind,
               const Transport& transport)
{
    if (settings.bind_addresses.empty()) {
        add_listener(server, open_listener(server, port), kind, &transport);
        return;
    }
    // Cannot fail: --bind is given at most MAX_BIND_ADDRESSES times.
    static_assert(4 * MAX_BIND_ADDRESSES + 1 <= MAX_LISTENERS,
                  "a plain, a TLS and two WebSocket listeners per address, and the metrics port");
    for (const std::string& address : settings.bind_addresses)
        add_listener(server, open_listener_at(server, address, port), kind, &transport);
}

// The operator's HTTP port, on one IPv4 or IPv6 address. A port that cannot
// be had ends the start-up: the operator asked for it.
socket_handle open_metrics_listener(Server& server, const HostPort& address)
{
    ListenFailure failure;
    socket_handle listener = sock_listen_at(address.host.c_str(), address.port, &failure);
    if (listener != INVALID_SOCKET_HANDLE && platform.set_nonblocking(listener) == 0)
        return listener;
    log_listen_failure(server, failure, listen_address_text(address.host, address.port));
    std::fprintf(stderr, "QuillmarshSrv: cannot listen for metrics on %s port %u (error %d)\n",
                 address.host.c_str(), static_cast<unsigned>(address.port), sock_last_error());
    std::exit(1);
}

// Starts connecting to the cluster's NATS servers; the loop is woken for
// what the link has to say, through the wake-up of the server's own.
void join_cluster(Server& server, const Settings& options)
{
    if (options.cluster_servers.empty())
        return;
    ClusterLinkSettings settings;
    settings.servers = options.cluster_servers;
    settings.credentials_file = options.cluster_credentials;
    settings.ca_file = options.cluster_ca;
    settings.node_name = options.node_name.empty() ? cluster_host_name() : options.node_name;
    if (settings.node_name.empty())
        settings.node_name = "switch";
    settings.buffer_bytes = options.cluster_buffer;
    const socket_handle wakeup = server.wakeup.socket;
    settings.wake = [wakeup] { wakeup_signal(wakeup); };
    std::string error;
    std::unique_ptr<ClusterLink> link = cluster_link_open(settings, &error);
    if (!link) {
        std::fprintf(stderr, "QuillmarshSrv: --cluster: %s\n", error.c_str());
        std::exit(2);
    }
    log_event(server.log, platform.now(), "srv", "joining cluster " + options.cluster_name + " as " + settings.node_name);
    cluster_start(server, options.cluster_name, std::move(link), options.cluster_buffer);
}

// The earlier of two moments the loop must wake by for the app's own
// timers (0: none): the service manager's status line, and where no signal
// asks for reloads the next look at the configuration and users files.
std::int64_t earliest_due(std::int64_t a_ms, std::int64_t b_ms)
{
    if (a_ms == 0 || b_ms == 0)
        return a_ms + b_ms;
    return std::min(a_ms, b_ms);
}

} // namespace

void server_main(int argc, char** argv)
{
    // First of all: no signal may kill the server without a word, and a
    // console reader that has gone, even before the banner, must not take it
    // with it.
    install_signal_handlers();
    const CommandLine line = parse_command_line(argc, argv);
    answer_at_once(line);
    Configuration configuration = configure(line);
    const Settings& settings = configuration.settings;
    if (line.check_only)
        check_configuration(configuration);
    Server server;
    if (line.action == CommandAction::serve)
        load_credentials_and_tls(server, configuration);
    std::fputs(BANNER, stdout);
    std::fflush(stdout);
    pause_unless_stopped(STARTUP_PAUSE_MS);
    if (line.action == CommandAction::classic_usage) {
        std::fputs(USAGE, stdout);
        // Standard output keeps the classic text byte for byte; the way to
        // the options goes to standard error.
        std::fputs("Try 'QuillmarshSrv --help' for the options.\n", stderr);
        std::exit(0);
    }
    std::int32_t port = parse_port_argument(settings.port->c_str());
    server.max_clients = settings.max_clients;
    server.log_identity = settings.log_identity;
    apply_live_settings(server, settings);
    log_init(server.log, settings.log_path, !settings.quiet);
    // Only the low 16 bits name the port, and port 0 would be any free one.
    if (static_cast<std::uint16_t>(port) == 0) {
        std::fputs("port cannot be null!\n", stdout);
        std::exit(1);
    }
    log_event(server.log, platform.now(), "srv", "starting server");
    if (server.logins.users_given && server.logins.users.empty())
        log_event(server.log, platform.now(), "srv",
                  "no users in " + settings.users_file + ": nobody can log in until qmpasswd adds one");
    // Said before any start-up failure below, as a line written at once.
    log_flush(server.log, platform.now());
    start_socket_library();
    raise_descriptor_limit();
    keep_freed_memory_for_reuse();
    listen_on(server, settings, static_cast<std::uint16_t>(port), ListenerKind::switch_clients, plain_transport());
    if (settings.tls_port != 0)
        listen_on(server, settings, settings.tls_port, ListenerKind::switch_clients, tls_transport());
    if (settings.ws_port != 0)
        listen_on(server, settings, settings.ws_port, ListenerKind::web, websocket_transport());
    if (settings.wss_port != 0)
        listen_on(server, settings, settings.wss_port, ListenerKind::secure_web, secure_websocket_transport());
    // Cannot fail: the plain and TLS listeners leave room for it.
    if (!settings.metrics.host.empty())
        add_listener(server, open_metrics_listener(server, settings.metrics), ListenerKind::metrics_http,
                     &plain_transport());
    server.http.version = QM_VERSION;
    server.metrics.start_time_seconds = platform.now();
    if (!open_loop(server)) {
        std::perror("poller");
        std::exit(1);
    }
    // A signal now ends the loop's wait at once, however long it sleeps.
    wake_on_signal(server.wakeup.socket);
    join_cluster(server, settings);
    ServiceStatus service;
    service_ready(service, server);
    while (!stop_requested()) {
        const std::int64_t now_ms = platform.monotonic_ms();
        if (reload_requested() || account_files_changed(server.logins, now_ms) ||
            config_file_changed(configuration, now_ms))
            reload(server, configuration);
        server.wake_by_ms = earliest_due(service_due_ms(service),
                                         earliest_due(config_file_due_ms(configuration),
                                                      account_files_due_ms(server.logins)));
        serve_one_turn(server);
        service_tick(service, server);
    }
    flush_held_output(server);
    service_stopping(service);
    cluster_stop(server);
    // A stop asked for by the operator: said as such, every line is written,
    // and the exit is a success.
    log_event(server.log, platform.now(), "srv", "stopping server");
    log_close(server.log);
    tls_context_release(server.tls_context);
    std::exit(0);
}
