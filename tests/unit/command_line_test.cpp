#include "app/command_line.h"
#include "app/config_file.h"
#include "app/settings.h"
#include "switch/server.h"

#include "tests/support/scratch_directory.h"

#include <cstdint>
#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// What the server makes of its arguments without a configuration file:
// the command line read, then settled, a mistake in either as the error.
struct Parsed {
    CommandLine line;
    Settings settings;
};

// argv as main receives it: writable strings after the program's name.
struct Arguments {
    explicit Arguments(std::vector<std::string> words) : words(std::move(words))
    {
        pointers.push_back(program);
        for (std::string& word : this->words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    Parsed parse(const ConfigFile* file = nullptr)
    {
        Parsed parsed{parse_command_line(static_cast<int>(words.size()) + 1, pointers.data()), {}};
        std::string error;
        if (parsed.line.action == CommandAction::serve && !settle_settings(parsed.line, file, parsed.settings, error)) {
            parsed.line.action = CommandAction::error;
            parsed.line.error = error;
        }
        return parsed;
    }
    char program[14] = "QuillmarshSrv";
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

Parsed parse(std::vector<std::string> words)
{
    return Arguments(std::move(words)).parse();
}

TEST(CommandLineOptions, ClassicArgumentsAndOptionsBeforeThem)
{
    Arguments classic({"-1", "alice", "pw"});
    Parsed parsed = classic.parse();
    EXPECT_EQ(parsed.line.action, CommandAction::serve);
    EXPECT_EQ(parsed.settings.port, "-1");
    EXPECT_EQ(parsed.settings.login, "alice");
    EXPECT_EQ(password_argument(parsed.line), classic.words[2].data()); // the argument itself, to be blanked
    EXPECT_EQ(parsed.settings.max_clients, 63u);
    EXPECT_EQ(parsed.settings.log_path, "QuillmarshSrv.log.txt");
    EXPECT_FALSE(parsed.settings.quiet || parsed.settings.numeric);

    Arguments with_options({"--max-clients", "300", "--log-file=/tmp/x.log", "--quiet", "--numeric", "--",
                            "--8023", "alice", "pw"});
    parsed = with_options.parse();
    EXPECT_EQ(parsed.line.action, CommandAction::serve);
    EXPECT_EQ(parsed.settings.max_clients, 300u);
    EXPECT_EQ(parsed.settings.log_path, "/tmp/x.log");
    EXPECT_TRUE(parsed.settings.quiet && parsed.settings.numeric);
    EXPECT_EQ(parsed.settings.port, "--8023");

    Arguments with_file({"--password-file", "pw.txt", "8023", "alice"});
    parsed = with_file.parse();
    EXPECT_EQ(parsed.line.action, CommandAction::serve);
    EXPECT_EQ(parsed.settings.password_file, "pw.txt");
    EXPECT_EQ(password_argument(parsed.line), nullptr);
    EXPECT_EQ(parsed.settings.login, "alice");
}

TEST(CommandLineOptions, WrongCountIsClassicUsageOnlyWithoutOptions)
{
    EXPECT_EQ(parse({}).line.action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"8023", "alice"}).line.action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"8023", "a", "b", "c"}).line.action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"--quiet", "8023", "alice"}).line.action, CommandAction::error);
    EXPECT_EQ(parse({"--password-file", "f", "8023", "alice", "pw"}).line.action, CommandAction::error);
    EXPECT_EQ(parse({"--"}).line.action, CommandAction::error);
}

TEST(CommandLineOptions, AccountsListenersTlsAndMetrics)
{
    Arguments full({"--users", "u", "--rights", "r", "--login-failures", "0", "--bind", "127.0.0.1",
                    "--bind=::1", "--metrics", "[::1]:9100", "--tls-port", "8443", "--tls-cert", "c.pem",
                    "--tls-key", "k.pem", "8023"});
    Parsed parsed = full.parse();
    const Settings& settings = parsed.settings;
    ASSERT_EQ(parsed.line.action, CommandAction::serve) << parsed.line.error;
    EXPECT_EQ(settings.port, "8023");
    EXPECT_FALSE(settings.login);
    EXPECT_EQ(settings.users_file, "u");
    EXPECT_EQ(settings.rights_file, "r");
    EXPECT_EQ(settings.login_failures, 0u);
    EXPECT_EQ(settings.bind_addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(settings.metrics.host, "::1");
    EXPECT_EQ(settings.metrics.port, 9100);
    EXPECT_EQ(settings.tls_port, 8443);
    EXPECT_EQ(parse({"--metrics", "127.0.0.1:9100", "8023", "a", "b"}).settings.metrics.host, "127.0.0.1");
    EXPECT_FALSE(parse({"8023", "a", "b"}).settings.login_failures);
    EXPECT_NE(full_usage().find("(default 10 with\n"), std::string::npos)
        << "without --users, refused logins shut nobody out unless asked";

    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--users", "u", "8023", "alice"}, "expected <port_number> after the options"},
        {{"--users", "u", "--password-file", "p", "8023"}, "do not go together"},
        {{"--rights", "r", "8023", "a", "b"}, "--rights needs --users"},
        {{"--tls-port", "8443", "--tls-cert", "c", "8023", "a", "b"}, "needs --tls-cert and --tls-key"},
        {{"--tls-key", "k", "8023", "a", "b"}, "need --tls-port"},
        {{"--tls-port", "65536", "8023", "a", "b"}, "'65536'"},
        {{"--metrics", "::1:9100", "8023", "a", "b"}, "ADDRESS:PORT"},
        {{"--metrics", "127.0.0.1", "8023", "a", "b"}, "ADDRESS:PORT"},
        {{"--login-failures", "-1", "8023", "a", "b"}, "from 0 to"},
    };
    for (const auto& [words, reason] : wrong) {
        Parsed refused = parse(words);
        EXPECT_EQ(refused.line.action, CommandAction::error) << words[0];
        EXPECT_NE(refused.line.error.find(reason), std::string::npos) << refused.line.error;
    }
}

TEST(CommandLineOptions, WebSocketPortsAndTheirRules)
{
    Parsed parsed = parse({"--ws-port", "8080", "--wss-port", "8443", "--tls-cert", "c", "--tls-key", "k",
                           "--ws-origin", "https://*.example.org", "--ws-origin=http://a", "--ws-trusted-proxy",
                           "::1", "8023", "a", "b"});
    const Settings& settings = parsed.settings;
    ASSERT_EQ(parsed.line.action, CommandAction::serve) << parsed.line.error;
    EXPECT_EQ(settings.ws_port, 8080);
    EXPECT_EQ(settings.wss_port, 8443);
    EXPECT_EQ(settings.ws_origins, (std::vector<std::string>{"https://*.example.org", "http://a"}));
    EXPECT_EQ(settings.ws_trusted_proxies, (std::vector<std::string>{"::1"}));
    std::vector<std::string> many_origins;
    for (int i = 0; i <= 16; i++)
        many_origins.insert(many_origins.end(), {"--ws-origin", "o"});
    many_origins.insert(many_origins.end(), {"--ws-port", "8080", "8023", "a", "b"});
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--wss-port", "8443", "8023", "a", "b"}, "--wss-port needs --tls-cert and --tls-key"},
        {{"--ws-origin", "o", "8023", "a", "b"}, "need --ws-port or --wss-port"},
        {{"--ws-trusted-proxy", "::1", "8023", "a", "b"}, "need --ws-port or --wss-port"},
        {{"--ws-port", "0", "8023", "a", "b"}, "--ws-port takes a port from 1 to 65535, not '0'"},
        {many_origins, "--ws-origin may be given at most 16 times"},
    };
    for (const auto& [words, reason] : wrong) {
        Parsed refused = parse(words);
        EXPECT_EQ(refused.line.action, CommandAction::error) << words[0];
        EXPECT_NE(refused.line.error.find(reason), std::string::npos) << refused.line.error;
    }
}

TEST(CommandLineOptions, HelpAndVersionNeedNoArguments)
{
    EXPECT_EQ(parse({"--help"}).line.action, CommandAction::help);
    EXPECT_EQ(parse({"--quiet", "--version", "8023"}).line.action, CommandAction::version);
}

TEST(CommandLineOptions, WrongOptionsAreErrorsThatSayWhy)
{
    struct Case {
        std::vector<std::string> words;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--bogus", "8023", "a", "b"}, "unknown option --bogus"},
        {{"--max-clients"}, "option --max-clients needs a value"},
        {{"--log-file=", "8023", "a", "b"}, "option --log-file needs a value"},
        {{"--quiet=yes", "8023", "a", "b"}, "option --quiet takes no value"},
        {{"--max-clients", "0", "8023", "a", "b"}, "--max-clients takes a number from 1 to 100000, not '0'"},
        {{"--max-clients", "100001", "8023", "a", "b"}, "'100001'"},
        {{"--max-clients", "99999999999999999999999", "8023", "a", "b"}, "from 1 to 100000"},
        {{"--max-clients", "-5", "8023", "a", "b"}, "'-5'"},
        {{"--max-clients", "12x", "8023", "a", "b"}, "'12x'"},
        {{"--no-max-clients", "8023", "a", "b"}, "unknown option --no-max-clients"},
        {{"--port", "8023", "a", "b"}, "unknown option --port"},
        {{"--no-help", "8023", "a", "b"}, "unknown option --no-help"},
    };
    for (const Case& c : cases) {
        Parsed parsed = parse(c.words);
        EXPECT_EQ(parsed.line.action, CommandAction::error) << c.words[0];
        EXPECT_NE(parsed.line.error.find(c.reason), std::string::npos) << parsed.line.error;
    }
    EXPECT_EQ(parse({"--max-clients", "100000", "8023", "a", "b"}).settings.max_clients, 100000u);
    EXPECT_NE(parse({"--max-addresses", "1000001", "8023", "a", "b"}).line.error.find("from 1 to 1000000"),
              std::string::npos);
    Parsed bounds = parse({"--max-addresses=7", "--max-dialogues-per-address", "2", "8023", "a", "b"});
    EXPECT_EQ(bounds.settings.max_addresses, 7u);
    EXPECT_EQ(bounds.settings.max_dialogues_per_address, 2u);
    Parsed flags = parse({"--log-identity", "--no-log-frames", "--quiet", "--no-quiet", "8023", "a", "b"});
    EXPECT_TRUE(flags.settings.log_identity);
    EXPECT_FALSE(flags.settings.log_frames || flags.settings.quiet);
}

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!config_files_supported())
            GTEST_SKIP() << config_files_unsupported_reason();
    }
    // The file read and settled under the command line's words; the first
    // mistake of either as the error.
    Parsed settle(const std::string& text, std::vector<std::string> words = {})
    {
        std::string path = dir.write("q.toml", text);
        words.insert(words.begin(), {"--config", path});
        ConfigFile file;
        std::string error;
        Parsed unread;
        unread.line.action = CommandAction::error;
        unread.line.error = error;
        if (!read_config_file(path, file, unread.line.error))
            return unread;
        return Arguments(words).parse(&file);
    }
    ScratchDirectory dir;
};

TEST_F(ConfigFileTest, EveryOptionThatHelpListsIsAKey)
{
    // Acted on by the command line itself, never stored.
    const std::vector<std::string> command_line_only = {"config", "check-config", "help", "version", ""};
    std::istringstream help(full_usage());
    int keys = 0;
    for (std::string line; std::getline(help, line);) {
        if (!line.starts_with("  --"))
            continue;
        std::string name = line.substr(4, line.find(' ', 4) - 4);
        if (std::find(command_line_only.begin(), command_line_only.end(), name) != command_line_only.end())
            continue;
        // A flag that is on by default is listed as the way to turn it off.
        if (name.starts_with("no-") && !find_option(name))
            name = name.substr(3);
        Parsed parsed = settle(name + " = true\n");
        EXPECT_EQ(parsed.line.error.find("unknown key"), std::string::npos) << parsed.line.error;
        keys++;
    }
    EXPECT_GE(keys, 18);
}

TEST_F(ConfigFileTest, TheCommandLineWinsOverTheFile)
{
    const std::string text = "port = 8023\nlogin = \"alice\"\npassword-file = \"pw\"\nmax-clients = 300\n"
                             "bind = [\"127.0.0.1\", \"::1\"]\nquiet = true\nlog-frames = false\n";
    Parsed from_file = settle(text);
    ASSERT_EQ(from_file.line.action, CommandAction::serve) << from_file.line.error;
    EXPECT_EQ(from_file.settings.port, "8023");
    EXPECT_EQ(from_file.settings.login, "alice");
    EXPECT_EQ(from_file.settings.max_clients, 300u);
    EXPECT_EQ(from_file.settings.bind_addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_TRUE(from_file.settings.quiet);
    EXPECT_FALSE(from_file.settings.log_frames);

    Parsed both = settle(text, {"--max-clients", "7", "--bind", "192.0.2.1", "--no-quiet", "9000"});
    ASSERT_EQ(both.line.action, CommandAction::serve) << both.line.error;
    EXPECT_EQ(both.settings.port, "9000");
    EXPECT_EQ(both.settings.login, "alice");
    EXPECT_EQ(both.settings.max_clients, 7u);
    EXPECT_EQ(both.settings.bind_addresses, std::vector<std::string>{"192.0.2.1"});
    EXPECT_FALSE(both.settings.quiet);
    EXPECT_FALSE(both.settings.log_frames);
}

TEST_F(ConfigFileTest, MistakesAreNamedWithTheirPlace)
{
    const std::string head = "port = 8023\nlogin = \"alice\"\npassword-file = \"pw\"\n";
    const std::pair<std::string, std::string> cases[] = {
        {head + "max-client = 5\n", ":4:1: unknown key 'max-client', did you mean 'max-clients'?"},
        {head + "tls_port = 8024\n", ":4:1: unknown key 'tls_port', did you mean 'tls-port'?"},
        {head + "colour = 5\n", ":4:1: unknown key 'colour'\n"},
        {head + "password = \"x\"\n", ":4:1: there is no password key: give password-file, or users"},
        {head + "config = \"x\"\n", ":4:1: --config is an option of the command line, not a key"},
        {head + "max-clients = \"300\"\n", ":4:15: max-clients takes an integer, not a string"},
        {head + "max-clients = 0\n", ":4:15: max-clients takes a number from 1 to 100000, not '0'"},
        {head + "quiet = 1\n", ":4:9: quiet takes true or false, not an integer"},
        {head + "bind = [\"::1\", 7]\n", ":4:16: bind takes a list of strings, not an integer"},
        {head + "[tls]\nport = 8024\n", ":4:2: unknown key 'tls'"},
        {head + "log-file = \"a\\u0000b\"\n", ":4:12: log-file holds a zero byte"},
        {head + "port = 8024\n", ":4:"},
        {"port = 70000\n", ":1:8: port takes a port from 1 to 65535, not '70000'"},
        {"login = \"alice\"\npassword-file = \"pw\"\n", "no port: give port in "},
        {"port = 8023\npassword-file = \"pw\"\n", "no login: give login in "},
        {"port = 8023\nlogin = \"alice\"\n", "no password: give password-file or users in "},
        {"port = 8023\nlogin = \"alice\"\nusers = \"u\"\n", "login and users do not go together"},
    };
    for (const auto& [text, reason] : cases) {
        Parsed parsed = settle(text);
        EXPECT_EQ(parsed.line.action, CommandAction::error) << text;
        EXPECT_NE((parsed.line.error + "\n").find(reason), std::string::npos) << parsed.line.error;
    }
    EXPECT_EQ(settle("port = 8023\nusers = \"u\"\n").line.action, CommandAction::serve);
}

TEST(CommandLineOptions, ClusterOptionsAreCheckedAsTheyAreRead)
{
    Parsed parsed = parse({"--cluster", "nats://u:p@127.0.0.1:4222, tls://[::1]:4223,localhost",
                           "--cluster-name=east", "--node-name", "n-1", "--cluster-buffer", "65536",
                           "--cluster-creds", "n.creds", "8023", "a", "b"});
    ASSERT_EQ(parsed.line.action, CommandAction::serve) << parsed.line.error;
    EXPECT_EQ(parsed.settings.cluster_name, "east");
    EXPECT_EQ(parsed.settings.node_name, "n-1");
    EXPECT_EQ(parsed.settings.cluster_buffer, 65536u);
    EXPECT_EQ(parsed.settings.cluster_credentials, "n.creds");
    for (const char* wrong : {"http://127.0.0.1:4222", "nats://127.0.0.1:", "nats://:4222", "nats://h:99999",
                              "nats://h:1,", "nats://[::1"})
        EXPECT_NE(parse({"--cluster", wrong, "8023", "a", "b"}).line.error.find("--cluster takes"), std::string::npos)
            << wrong;
    for (const char* wrong : {"a.b", "a*", ">", "a b", "a\tb"})
        EXPECT_NE(parse({"--cluster", "h", "--cluster-name", wrong, "8023", "a", "b"}).line.error.find("'.', '*', '>'"),
                  std::string::npos)
            << wrong;
    EXPECT_NE(parse({"--cluster", "h", "--node-name", "a\r\nb", "8023", "a", "b"}).line.error.find("--node-name"),
              std::string::npos);
    EXPECT_NE(parse({"--cluster", "h", "--cluster-buffer", "8191", "8023", "a", "b"}).line.error.find("from 8192"),
              std::string::npos);
    EXPECT_NE(parse({"--node-name", "n", "8023", "a", "b"}).line.error.find("need --cluster"), std::string::npos);
}

class PasswordFile : public ::testing::Test {
protected:
    std::string write(const std::string& bytes) { return dir.write("password", bytes); }
    ScratchDirectory dir;
    std::string password;
    std::string error;
};

TEST_F(PasswordFile, FirstLineWithoutItsLineEnd)
{
    const std::pair<std::string, std::string> cases[] = {
        {"s3cret", "s3cret"},         {"s3cret\n", "s3cret"},   {"s3cret\r\n", "s3cret"},
        {"s3cret\nsecond\n", "s3cret"}, {"s3cret\r\r\n", "s3cret\r"}, {"s3cret\r", "s3cret\r"},
    };
    for (const auto& [bytes, expected] : cases) {
        ASSERT_TRUE(read_password_file(write(bytes), password, error)) << error;
        EXPECT_EQ(password, expected);
    }
    // Cut like the command line's; a CRLF right after the kept part is still a line end.
    ASSERT_TRUE(read_password_file(write(std::string(255, 'p') + "\r\n"), password, error));
    EXPECT_EQ(password, std::string(255, 'p'));
    ASSERT_TRUE(read_password_file(write(std::string(100000, 'p')), password, error));
    EXPECT_EQ(password.size(), CREDENTIAL_SIZE);
}

TEST_F(PasswordFile, MissingEmptyOrHoldingAZeroByteIsAnError)
{
    EXPECT_FALSE(read_password_file((dir.path() / "none").string(), password, error));
    EXPECT_NE(error.find("none: No such file or directory"), std::string::npos) << error;
    for (const char* bytes : {"", "\n", "\r\nsecond\n"}) {
        EXPECT_FALSE(read_password_file(write(bytes), password, error));
        EXPECT_NE(error.find("the first line is empty"), std::string::npos) << error;
    }
    for (std::string bytes : {"\0secret"s, "ab\0cd\n"s, std::string(300, '\0')}) {
        EXPECT_FALSE(read_password_file(write(bytes), password, error));
        EXPECT_NE(error.find("the first line holds a zero byte"), std::string::npos) << error;
    }
}

TEST(PortArgument, ReadsLikeAtoi)
{
    EXPECT_EQ(parse_port_argument("8080"), 8080);
    EXPECT_EQ(parse_port_argument("  \t8080"), 8080);
    EXPECT_EQ(parse_port_argument("+8080"), 8080);
    EXPECT_EQ(parse_port_argument("8080abc"), 8080);
    EXPECT_EQ(parse_port_argument("-1"), -1);
    EXPECT_EQ(parse_port_argument("abc"), 0);
    EXPECT_EQ(parse_port_argument(""), 0);
    EXPECT_EQ(parse_port_argument("+-5"), 0);
    EXPECT_EQ(parse_port_argument("- 5"), 0);
}

TEST(PortArgument, WrapsAround32BitsWithoutUndefinedBehaviour)
{
    EXPECT_EQ(parse_port_argument("4294967296"), 0);
    EXPECT_EQ(parse_port_argument("4294975296"), 8000);
    EXPECT_EQ(parse_port_argument("2147483648"), INT32_MIN);
    EXPECT_EQ(parse_port_argument("-2147483649"), INT32_MAX);
    EXPECT_EQ(parse_port_argument("99999999999999999999999"), static_cast<std::int32_t>(
                                                                   UINT32_C(4135583743)));
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("70000")), 4464);
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("-1")), 65535);
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("65536")), 0);
}

} // namespace
