#include "app/setting_files.h"

#include "app/settings.h"
#include "platform/cluster_link.h"
#include "platform/password_hash.h"
#include "platform/text_file.h"
#include "platform/tls.h"

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
    if (settings.tls_port == 0)
        return nullptr;
    if (!tls_available()) {
        error = std::string("--tls-port: ") + tls_unavailable_reason();
        return nullptr;
    }
    TlsContext* context = tls_server_context(tls_files(settings), &error);
    if (!context)
        error = "--tls-port: " + error;
    return context;
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
