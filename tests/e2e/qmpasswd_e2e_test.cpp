// qmpasswd as an operator runs it, the password piped in.
#include "platform/password_hash.h"
#include "protocol/accounts.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/tool_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

struct QmpasswdE2E : ::testing::Test {
    ScratchDirectory dir;
    std::string file = (dir.path() / "users").string();

    void SetUp() override
    {
        if (!password_hashing_available())
            GTEST_SKIP() << password_hashing_unavailable_reason();
    }

    // Runs qmpasswd; returns its exit code, keeping its stderr.
    int run(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        ToolProcess tool(QM_PASSWD_BINARY, arguments, {}, input);
        int code = tool.wait_exit();
        err = tool.err();
        return code;
    }

    // The hash field of login's line, "" when it has none.
    std::string hash_of(const std::string& login) const
    {
        PasswordHashes users = parse_users(dir.read("users"), password_hash_well_formed).users;
        return users.contains(login) ? users.at(login) : "";
    }

    unsigned mode() const
    {
        struct stat info {};
        return stat(file.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    }

    std::string err;
};

TEST_F(QmpasswdE2E, AddsChangesAndRemovesKeepingTheRest)
{
    ASSERT_EQ(run({file, "alice"}, "first pass\r\nignored\n"), 0) << err;
    EXPECT_EQ(mode(), 0600u);
    std::string first = hash_of("alice");
    EXPECT_TRUE(password_hash_verify("first pass", first)) << first;

    dir.write("users", "# the desk\n" + dir.read("users") + "\n");
    ASSERT_EQ(run({file, "bob"}, "bobs word\n"), 0) << err;
    ASSERT_EQ(run({file, "alice"}, "first pass\n"), 0) << err;
    std::string again = hash_of("alice");
    EXPECT_NE(again, first); // a fresh salt
    EXPECT_TRUE(password_hash_verify("first pass", again));
    EXPECT_EQ(dir.read("users"), "# the desk\nalice:" + again + "\n\nbob:" + hash_of("bob") + "\n");

    chmod(file.c_str(), 0640);
    ASSERT_EQ(run({"-D", file, "alice"}), 0) << err;
    EXPECT_EQ(dir.read("users"), "# the desk\n\nbob:" + hash_of("bob") + "\n");
    EXPECT_EQ(mode(), 0640u);
    EXPECT_EQ(run({"-D", file, "alice"}), 1);
    EXPECT_EQ(err, "qmpasswd: no login alice in " + file + "\n");
}

TEST_F(QmpasswdE2E, RefusesWithoutTouchingTheFile)
{
    dir.write("users", "# ok\nalice:not a hash\n");
    EXPECT_EQ(run({file, "bob"}, "pass\n"), 1);
    EXPECT_EQ(err, "qmpasswd: " + file + ":2: not a password hash this server can check\n");
    EXPECT_EQ(run({file, "bob"}, ""), 1);
    EXPECT_EQ(run({"-D", (dir.path() / "missing").string(), "bob"}), 1);
    EXPECT_EQ(dir.read("users"), "# ok\nalice:not a hash\n");
    std::filesystem::remove(file);
    EXPECT_EQ(run({file, "bob"}, "\n"), 1);
    EXPECT_EQ(err, "qmpasswd: the password is empty\n");
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(run({file, "a:b"}, "pass\n"), 2);
    EXPECT_EQ(run({file}), 2);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().extension(), ".lock") << "a temporary file was left";
}

// Each run holds the lock from its read of the file to its rename, so none
// starts from a text another is replacing.
TEST_F(QmpasswdE2E, RunsAtOnceLoseNoUser)
{
    ASSERT_EQ(run({file, "alice"}, "alice pass\n"), 0) << err;
    std::vector<std::unique_ptr<ToolProcess>> runs;
    for (int i = 0; i < 20; i++)
        runs.push_back(std::make_unique<ToolProcess>(QM_PASSWD_BINARY, std::vector<std::string>{file, "user" + std::to_string(i)},
                                                     std::vector<std::pair<std::string, std::string>>{},
                                                     "pass " + std::to_string(i) + "\n"));
    for (auto& tool : runs)
        EXPECT_EQ(tool->wait_exit(60000), 0) << tool->err();
    PasswordHashes users = parse_users(dir.read("users"), password_hash_well_formed).users;
    EXPECT_EQ(users.size(), 21u) << dir.read("users");
    EXPECT_TRUE(password_hash_verify("pass 7", hash_of("user7")));
}

} // namespace
