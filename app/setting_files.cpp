#include "app/setting_files.h"

#include "app/settings.h"
#include "platform/cluster_link.h"
#include "platform/digest.h"
#include "platform/password_hash.h"
#include "platform/text_file.h"
#include "platform/tls.h"
#include "protocol/websocket.h"

bool read_password(const CommandLine& line, const Settings& settings, std::string& password,
                   std::string& error)
{
    if (const char* argument = password_argument(line)) {
        password = argument;
        return true;
    }
    return read_password_file(settings.password_file, password, error);
}

TlsServerFiles tls_files(const Settings& settings)
{
    return TlsServerFiles{settings.tls_cert, settings.tls_key, settings.tls_client_ca};
}

TlsContext* load_tls(const Settings& settings, std::string& error)
{
    if (settings.tls_port == 0 && settings.wss_port == 0)
        return nullptr;
    const std::string option = settings.tls_port != 0 ? "--tls-port: " : "--wss-port: ";
    if (!tls_available()) {
        error = option + tls_unavailable_reason();
        return nullptr;
    }
    TlsContext* context = tls_server_context(tls_files(settings), &error);
    if (!context)
        error = option + error;
    return context;
}

bool load_web_rules(WebRules& rules, const Settings& settings, std::string& error)
{
    if (settings.ws_port == 0 && settings.wss_port == 0)
        return true;
    if (!sha1_available()) {
        error = (settings.ws_port != 0 ? "--ws-port: " : "--wss-port: ") + sha1_unavailable_reason();
        return false;
    }
    // Patterns match the Origin in lower case, so they are kept so too.
    for (const std::string& pattern : settings.ws_origins)
        rules.origins.push_back(ws_origin_folded(pattern));
    std::uint16_t granted = 0;
    if (sock_startup(2, &granted) != 0) {
        error = "the socket library cannot be started";
        return false;
    }
    for (const std::string& text : settings.ws_trusted_proxies) {
        PeerAddress proxy;
        if (!sock_parse_address(text.c_str(), &proxy)) {
            error = "--ws-trusted-proxy: '" + text + "' is not an IPv4 or IPv6 address";
            break;
        }
        rules.trusted_proxies.push_back(proxy);
    }
    sock_cleanup();
    return error.empty();
}

bool load_logins(Logins& logins, const Settings& settings, std::string& error)
{
    if (!password_hashing_available()) {
        error = "--users: " + password_hashing_unavailable_reason();
        return false;
    }
    logins.users_given = true;
    logins.users_path = settings.users_file;
    logins.rights_given = !settings.rights_file.empty();
    logins.rights_path = settings.rights_file;
    return load_accounts(logins, &error);
}

bool check_cluster(const Settings& settings, std::string& error)
{
    if (settings.cluster_servers.empty())
        return true;
    if (!cluster_link_available()) {
        error = std::string("--cluster: ") + cluster_link_unavailable_reason();
        return false;
    }
    for (const auto& [option, path] : {std::pair{"--cluster-creds", &settings.cluster_credentials},
                                       std::pair{"--cluster-ca", &settings.cluster_ca}}) {
        std::string content;
        if (!path->empty() && text_file_read(path->c_str(), &content, &error) != TextFileStatus::read) {
            error = std::string(option) + " " + *path + ": " + error;
            return false;
        }
    }
    return true;
}
