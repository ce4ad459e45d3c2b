#include "switch/address_registry.h"
#include "tests/support/server_fixture.h"

#include <string>
#include <vector>

namespace {

struct RegistryTest : ServerFixture {
    void SetUp() override
    {
        ServerFixture::SetUp();
        a = add_session();
        b = add_session();
    }
    void announce(Session* s, const std::string& name)
    {
        announce_address(server.registry, *s, name, net.now);
    }
    std::vector<Session*> holders(const std::string& name) const
    {
        std::vector<Session*> found;
        HolderWalk walk = holders_of(server.registry, name);
        while (Session* s = next_holder(walk))
            found.push_back(s);
        return found;
    }
    bool holds(Session* s, const std::string& name) const
    {
        return holders(name) == std::vector<Session*>{s};
    }
    // What the records of the two sessions take from the heap, beside the
    // sessions themselves and the block of their idle deadlines.
    long record_blocks() const { return net.live_blocks - 3; }

    Session* a = nullptr;
    Session* b = nullptr;
};

TEST_F(RegistryTest, AnnouncedNamesExpireStrictlyAfterFifteenSecondsUnlessRenewed)
{
    announce(a, "renewed");
    announce(a, "kept");
    announce(a, "dropped");
    announce(b, "other's");
    net.now += 1;
    announce(a, "kept");
    net.now += 14;
    announce(a, "renewed");
    EXPECT_TRUE(holds(a, "dropped")) << "15 s old: still held";
    net.now += 1;
    announce(a, "other");
    EXPECT_TRUE(holders("dropped").empty()) << "16 s old, dropped by the next announcement";
    EXPECT_TRUE(holds(a, "kept"));
    EXPECT_TRUE(holds(a, "renewed"));
    EXPECT_TRUE(holds(b, "other's")) << "only the announcer's own records expire";
    EXPECT_EQ(record_blocks(), 4) << "a repeat renews its record instead of adding one";
}

TEST_F(RegistryTest, AMatchIsRenewedBeforeItsAgeIsTestedAndTheRestStillExpire)
{
    announce(a, "stale");
    announce(a, "keep");
    net.now += 1000;
    announce(a, "stale");
    EXPECT_TRUE(holds(a, "stale"));
    EXPECT_TRUE(holders("keep").empty());
    net.now += 15;
    announce(a, "new");
    EXPECT_TRUE(holds(a, "stale")) << "the renewed record counts from its renewal";
}

TEST_F(RegistryTest, LongNamesAreCutAndLookedUpByTheCutName)
{
    const std::string cut(255, 'n');
    for (int i = 0; i < 100; i++)
        announce(a, cut + "tail " + std::to_string(i));
    EXPECT_EQ(record_blocks(), 1) << "one address, renewed, however often announced";
    EXPECT_TRUE(holds(a, cut));
    EXPECT_TRUE(holds(a, cut + "any other tail"));
    net.now += 16;
    announce(a, "fresh");
    EXPECT_TRUE(holders(cut).empty()) << "and it expires like any other";
}

TEST_F(RegistryTest, AHolderKeepsAtMostTheBoundForgettingTheLeastRecentlyAnnounced)
{
    server.registry.max_per_holder = 3;
    for (const char* name : {"one", "two", "three"})
        announce(a, name);
    announce(a, "one");
    announce(a, "four");
    announce(a, "five");
    EXPECT_EQ(record_blocks(), 3);
    EXPECT_TRUE(holders("two").empty());
    EXPECT_TRUE(holders("three").empty());
    for (const char* name : {"one", "four", "five"})
        EXPECT_TRUE(holds(a, name)) << name;
    announce(b, "six");
    EXPECT_TRUE(holds(a, "one")) << "the bound is each holder's own";
}

TEST_F(RegistryTest, LookupIgnoresAgeAndComparesWholeNames)
{
    EXPECT_TRUE(holders("bob").empty()) << "a new session holds nothing";
    announce(a, "bob");
    announce(a, "");
    net.now += 30;
    EXPECT_TRUE(holds(a, "bob"));
    EXPECT_TRUE(holds(a, "")) << "the empty name is a name";
    for (const char* other : {"Bob", "bo", "bobby"})
        EXPECT_TRUE(holders(other).empty()) << other;
}

TEST_F(RegistryTest, HoldersComeInOrderOfAcceptanceAndAClosedOneIsForgotten)
{
    Session* c = add_session();
    announce(c, "shared");
    announce(a, "shared");
    announce(b, "shared");
    announce(b, "b only");
    EXPECT_EQ(holders("shared"), (std::vector<Session*>{a, b, c}));
    close_session(server, *b, nullptr);
    EXPECT_EQ(holders("shared"), (std::vector<Session*>{a, c}));
    EXPECT_TRUE(holders("b only").empty());
}

TEST_F(RegistryTest, AllocationFailureLeavesTheNameUnrecorded)
{
    announce(a, "a");
    net.now += 20;
    net.fail_all_allocations = true;
    announce(a, "b");
    net.fail_all_allocations = false;
    EXPECT_TRUE(holders("b").empty());
    EXPECT_TRUE(holders("a").empty()) << "expiry still took place";
    announce(a, "b");
    EXPECT_TRUE(holds(a, "b"));
}

} // namespace
