#include "app/check_config.h"

#include "app/command_line.h"
#include "app/setting_files.h"
#include "platform/platform.h"
#include "platform/tls.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

void check_addresses(const Settings& settings)
{
    std::uint16_t granted = 0;
    if (sock_startup(2, &granted) != 0)
        refuse("the socket library cannot be started");
    for (const std::string& address : settings.bind_addresses)
        if (!sock_is_address_literal(address.c_str()))
            refuse("--bind: '" + address + "' is not an IPv4 or IPv6 address");
    if (!settings.metrics.host.empty() && !sock_is_address_literal(settings.metrics.host.c_str()))
        refuse("--metrics: '" + settings.metrics.host + "' is not an IPv4 or IPv6 address");
    sock_cleanup();
}

// Whether the metrics port's address is among those the switch listens on.
bool metrics_shares_an_address(const Settings& settings)
{
    if (settings.bind_addresses.empty())
        return settings.metrics.host.find(':') == std::string::npos; // every IPv4 address
    for (std::string_view address : settings.bind_addresses) {
        if (address.size() > 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        if (address == settings.metrics.host || address == "0.0.0.0" || address == "::")
            return true;
    }
    return false;
}

// Two listeners on one port and address would fail at the start.
void check_ports(const Settings& settings)
{
    const std::uint16_t port = static_cast<std::uint16_t>(parse_port_argument(settings.port->c_str()));
    if (port == 0)
        refuse("port cannot be null!");
    if (settings.tls_port == port)
        refuse("port " + std::to_string(port) + " is given twice: port and tls-port");
    if (settings.metrics.host.empty() || !metrics_shares_an_address(settings))
        return;
    if (settings.metrics.port == port)
        refuse("port " + std::to_string(port) + " is given twice: port and metrics");
    if (settings.metrics.port == settings.tls_port)
        refuse("port " + std::to_string(settings.tls_port) + " is given twice: tls-port and metrics");
}

} // namespace

void check_configuration(const Configuration& configuration)
{
    const Settings& settings = configuration.settings;
    check_ports(settings);
    check_addresses(settings);
    check_logins(configuration);
    check_tls(settings);
    check_cluster_files(settings);
    std::puts("QuillmarshSrv: configuration OK");
    std::exit(0);
}
