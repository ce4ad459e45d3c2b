#include "app/command_line.h"
#include "switch/server.h"

#include "tests/support/scratch_directory.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// argv as main receives it: writable strings after the program's name.
struct Arguments {
    explicit Arguments(std::vector<std::string> words) : words(std::move(words))
    {
        pointers.push_back(program);
        for (std::string& word : this->words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    CommandLine parse() { return parse_command_line(static_cast<int>(words.size()) + 1, pointers.data()); }
    char program[14] = "QuillmarshSrv";
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

CommandLine parse(std::vector<std::string> words)
{
    return Arguments(std::move(words)).parse();
}

TEST(CommandLineOptions, ClassicArgumentsAndOptionsBeforeThem)
{
    Arguments classic({"-1", "alice", "pw"});
    CommandLine line = classic.parse();
    EXPECT_EQ(line.action, CommandAction::serve);
    EXPECT_STREQ(line.port, "-1");
    EXPECT_STREQ(line.login, "alice");
    EXPECT_EQ(line.password, classic.words[2].data()); // the argument itself, to be blanked
    EXPECT_EQ(line.max_clients, 63u);
    EXPECT_EQ(line.log_path, "QuillmarshSrv.log.txt");
    EXPECT_FALSE(line.quiet || line.numeric);

    // The port and login point into argv, so each argv outlives its checks.
    Arguments with_options({"--max-clients", "300", "--log-file=/tmp/x.log", "--quiet", "--numeric", "--",
                            "--8023", "alice", "pw"});
    line = with_options.parse();
    EXPECT_EQ(line.action, CommandAction::serve);
    EXPECT_EQ(line.max_clients, 300u);
    EXPECT_EQ(line.log_path, "/tmp/x.log");
    EXPECT_TRUE(line.quiet && line.numeric);
    EXPECT_STREQ(line.port, "--8023");

    Arguments with_file({"--password-file", "pw.txt", "8023", "alice"});
    line = with_file.parse();
    EXPECT_EQ(line.action, CommandAction::serve);
    EXPECT_EQ(line.password_file, "pw.txt");
    EXPECT_EQ(line.password, nullptr);
    EXPECT_STREQ(line.login, "alice");
}

TEST(CommandLineOptions, WrongCountIsClassicUsageOnlyWithoutOptions)
{
    EXPECT_EQ(parse({}).action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"8023", "alice"}).action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"8023", "a", "b", "c"}).action, CommandAction::classic_usage);
    EXPECT_EQ(parse({"--quiet", "8023", "alice"}).action, CommandAction::error);
    EXPECT_EQ(parse({"--password-file", "f", "8023", "alice", "pw"}).action, CommandAction::error);
    EXPECT_EQ(parse({"--"}).action, CommandAction::error);
}

TEST(CommandLineOptions, AccountsListenersTlsAndMetrics)
{
    Arguments full({"--users", "u", "--rights", "r", "--login-failures", "0", "--bind", "127.0.0.1",
                    "--bind=::1", "--metrics", "[::1]:9100", "--tls-port", "8443", "--tls-cert", "c.pem",
                    "--tls-key", "k.pem", "8023"});
    CommandLine line = full.parse();
    ASSERT_EQ(line.action, CommandAction::serve) << line.error;
    EXPECT_STREQ(line.port, "8023");
    EXPECT_EQ(line.login, nullptr);
    EXPECT_EQ(line.users_file, "u");
    EXPECT_EQ(line.rights_file, "r");
    EXPECT_EQ(line.login_failures, 0u);
    EXPECT_EQ(line.bind_addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(line.metrics.host, "::1");
    EXPECT_EQ(line.metrics.port, 9100);
    EXPECT_EQ(line.tls_port, 8443);
    EXPECT_EQ(parse({"--metrics", "127.0.0.1:9100", "8023", "a", "b"}).metrics.host, "127.0.0.1");
    EXPECT_EQ(parse({"8023", "a", "b"}).login_failures, 10u);

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
        CommandLine refused = parse(words);
        EXPECT_EQ(refused.action, CommandAction::error) << words[0];
        EXPECT_NE(refused.error.find(reason), std::string::npos) << refused.error;
    }
}

TEST(CommandLineOptions, HelpAndVersionNeedNoArguments)
{
    EXPECT_EQ(parse({"--help"}).action, CommandAction::help);
    EXPECT_EQ(parse({"--quiet", "--version", "8023"}).action, CommandAction::version);
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
        {{"--max-clients", "0", "8023", "a", "b"}, "'0'"},
        {{"--max-clients", "100001", "8023", "a", "b"}, "'100001'"},
        {{"--max-clients", "99999999999999999999999", "8023", "a", "b"}, "from 1 to 100000"},
        {{"--max-clients", "-5", "8023", "a", "b"}, "'-5'"},
        {{"--max-clients", "12x", "8023", "a", "b"}, "'12x'"},
    };
    for (const Case& c : cases) {
        CommandLine line = parse(c.words);
        EXPECT_EQ(line.action, CommandAction::error) << c.words[0];
        EXPECT_NE(line.error.find(c.reason), std::string::npos) << line.error;
    }
    EXPECT_EQ(parse({"--max-clients", "100000", "8023", "a", "b"}).max_clients, 100000u);
    EXPECT_NE(parse({"--max-addresses", "1000001", "8023", "a", "b"}).error.find("from 1 to 1000000"),
              std::string::npos);
    CommandLine bounds = parse({"--max-addresses=7", "--max-dialogues-per-address", "2", "8023", "a", "b"});
    EXPECT_EQ(bounds.max_addresses, 7u);
    EXPECT_EQ(bounds.max_dialogues_per_address, 2u);
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
