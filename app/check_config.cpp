#include "app/check_config.h"

#include "app/command_line.h"
#include "app/setting_files.h"
#include "platform/platform.h"
#include "platform/tls.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void refuse(const std::string& reason)
{
    std::fprintf(stderr, "QuillmarshSrv: %s\n", reason.c_str());
    std::exit(2);
}

void check_logins(const Configuration& configuration)
{
    const Settings& settings = configuration.settings;
    std::string error;
    std::string password;
    if (settings.users_file.empty()) {
        if (!read_password(configuration.line, settings, password, error))
            refuse(error);
        return;
    }
    Logins logins;
    if (!load_logins(logins, settings, error))
        refuse(error);
    if (logins.users.empty())
        std::printf("QuillmarshSrv: no users in %s: nobody can log in until qmpasswd adds one\n",
                    settings.users_file.c_str());
}

void check_cluster_files(const Settings& settings)
{
    std::string error;
    if (!check_cluster(settings, error))
        refuse(error);
}

void check_tls(const Settings& settings)
{
    std::string error;
    TlsContext* context = load_tls(settings, error);
    if (!error.empty())
        refuse(error);
    tls_context_release(context);
}

// One listener a start would open.
struct PlannedListener {
    std::string address;
    std::uint16_t port;
    const char* option;
};

// The listeners a start opens: the port, the TLS port and the WebSocket
// ports on each bind address (every IPv4 address without one), and the
// metrics port.
std::vector<PlannedListener> planned_listeners(const Settings& settings, std::uint16_t port)
{
    const std::vector<std::string> addresses =
        settings.bind_addresses.empty() ? std::vector<std::string>{"0.0.0.0"} : settings.bind_addresses;
    std::vector<PlannedListener> planned;
    for (const std::string& address : addresses) {
        planned.push_back({address, port, "port"});
        if (settings.tls_port != 0)
            planned.push_back({address, settings.tls_port, "tls-port"});
        if (settings.ws_port != 0)
            planned.push_back({address, settings.ws_port, "ws-port"});
        if (settings.wss_port != 0)
            planned.push_back({address, settings.wss_port, "wss-port"});
    }
    if (!settings.metrics.host.empty())
        planned.push_back({settings.metrics.host, settings.metrics.port, "metrics"});
    return planned;
}

// Two listeners on one port whose addresses overlap would fail at the
// start. Costs a look at each pair, of at most 4 * MAX_BIND_ADDRESSES + 1.
void check_listeners_apart(const Settings& settings, std::uint16_t port)
{
    const std::vector<PlannedListener> planned = planned_listeners(settings, port);
    for (std::size_t i = 0; i < planned.size(); i++)
        for (std::size_t j = i + 1; j < planned.size(); j++) {
            const PlannedListener& a = planned[i];
            const PlannedListener& b = planned[j];
            if (a.port != b.port || !sock_listen_addresses_overlap(a.address.c_str(), b.address.c_str()))
                continue;
            const std::string number = std::to_string(a.port);
            if (std::string_view(a.option) == b.option)
                refuse("--bind: '" + a.address + "' and '" + b.address + "' overlap: " + a.option + " " + number +
                       " cannot be listened on at both");
            refuse("port " + number + " is given twice: " + a.option + " and " + b.option);
        }
}

void check_web_rules(const Settings& settings)
{
    WebRules rules;
    std::string error;
    if (!load_web_rules(rules, settings, error))
        refuse(error);
}

void check_addresses(const Settings& settings)
{
    const std::uint16_t port = static_cast<std::uint16_t>(parse_port_argument(settings.port->c_str()));
    if (port == 0)
        refuse("port cannot be null!");
    std::uint16_t granted = 0;
    if (sock_startup(2, &granted) != 0)
        refuse("the socket library cannot be started");
    for (const std::string& address : settings.bind_addresses)
        if (!sock_is_address_literal(address.c_str()))
            refuse("--bind: '" + address + "' is not an IPv4 or IPv6 address");
    if (!settings.metrics.host.empty() && !sock_is_address_literal(settings.metrics.host.c_str()))
        refuse("--metrics: '" + settings.metrics.host + "' is not an IPv4 or IPv6 address");
    check_listeners_apart(settings, port);
    sock_cleanup();
}

} // namespace

void check_configuration(const Configuration& configuration)
{
    const Settings& settings = configuration.settings;
    check_addresses(settings);
    check_logins(configuration);
    check_tls(settings);
    check_cluster_files(settings);
    check_web_rules(settings);
    std::puts("QuillmarshSrv: configuration OK");
    std::exit(0);
}
