#include "relay/address_registry.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct RegistryTest : ::testing::Test {
    ~RegistryTest() override { free_address_list(list); }

    std::vector<std::string> names() const
    {
        std::vector<std::string> all;
        for (AddressEntry* e = list; e; e = e->next_entry)
            all.emplace_back(e->address_name);
        return all;
    }
    using Names = std::vector<std::string>;

    FakePlatform net;
    AddressEntry* list = nullptr;
};

TEST_F(RegistryTest, NewNamesGoToTheEndAndRepeatsRefresh)
{
    register_address(&list, "a");
    register_address(&list, "b");
    net.now += 10;
    register_address(&list, "a");
    EXPECT_EQ(names(), (Names{"a", "b"}));
    EXPECT_EQ(list->last_seen, net.now);
    EXPECT_EQ(list->next_entry->last_seen, net.now - 10);
}

TEST_F(RegistryTest, EntriesExpireStrictlyAfterFifteenSeconds)
{
    register_address(&list, "old");
    register_address(&list, "older");
    list->last_seen = net.now - 15;
    list->next_entry->last_seen = net.now - 16;
    register_address(&list, "new");
    EXPECT_EQ(names(), (Names{"old", "new"}));
}

TEST_F(RegistryTest, MatchingEntryIsRefreshedBeforeItsAgeIsTested)
{
    register_address(&list, "stale");
    register_address(&list, "keep");
    list->last_seen = net.now - 1000;
    list->next_entry->last_seen = net.now - 1000;
    register_address(&list, "stale");
    EXPECT_EQ(names(), Names{"stale"}) << "the walk goes on past a match and expires the rest";
}

TEST_F(RegistryTest, ExpiryWalksFromTheHead)
{
    register_address(&list, "a");
    register_address(&list, "b");
    register_address(&list, "c");
    net.now += 20;
    register_address(&list, "b");
    EXPECT_EQ(names(), Names{"b"});
    register_address(&list, "d");
    EXPECT_EQ(names(), (Names{"b", "d"}));
}

TEST_F(RegistryTest, LongNamesAreCutAndSoNeverMatchAgain)
{
    std::string long_name(300, 'n');
    register_address(&list, long_name.c_str());
    register_address(&list, long_name.c_str());
    EXPECT_EQ(names(), (Names{std::string(255, 'n'), std::string(255, 'n')}));
    EXPECT_EQ(has_address(list, long_name.c_str()), 0);
    EXPECT_EQ(has_address(list, std::string(255, 'n').c_str()), 1);
}

TEST_F(RegistryTest, EmptyNameIsAName)
{
    register_address(&list, "");
    register_address(&list, "");
    EXPECT_EQ(names(), Names{""});
}

TEST_F(RegistryTest, LookupIgnoresAgeAndComparesWholeNames)
{
    register_address(&list, "bob");
    list->last_seen = net.now - 30;
    EXPECT_EQ(has_address(list, "bob"), 1);
    EXPECT_EQ(has_address(list, "Bob"), 0);
    EXPECT_EQ(has_address(list, "bo"), 0);
    EXPECT_EQ(has_address(list, "bobby"), 0);
    EXPECT_EQ(has_address(nullptr, "bob"), 0);
}

TEST_F(RegistryTest, AllocationFailureLeavesTheNameUnrecorded)
{
    register_address(&list, "a");
    list->last_seen = net.now - 20;
    net.fail_all_allocations = true;
    register_address(&list, "b");
    net.fail_all_allocations = false;
    EXPECT_TRUE(names().empty()) << "the walk's expiry still took place";
    register_address(&list, "b");
    EXPECT_EQ(names(), Names{"b"});
}

} // namespace
