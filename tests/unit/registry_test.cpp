#include "switch/address_registry.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct RegistryTest : ::testing::Test {
    ~RegistryTest() override
    {
        forget_addresses(held);
        EXPECT_EQ(net.live_blocks, 0);
    }
    void announce(const std::string& name) { announce_address(held, name.c_str(), net.now); }
    bool holds(const std::string& name) const { return holds_address(held, name.c_str()); }

    FakePlatform net;
    HeldAddresses held{};
};

TEST_F(RegistryTest, AnnouncedNamesExpireStrictlyAfterFifteenSecondsUnlessRenewed)
{
    announce("renewed");
    announce("kept");
    announce("dropped");
    net.now += 1;
    announce("kept");
    net.now += 14;
    announce("renewed");
    EXPECT_TRUE(holds("dropped")) << "15 s old: still held";
    net.now += 1;
    announce("other");
    EXPECT_FALSE(holds("dropped")) << "16 s old, dropped by the next announcement";
    EXPECT_TRUE(holds("kept"));
    EXPECT_TRUE(holds("renewed"));
    EXPECT_EQ(net.live_blocks, 3) << "a repeat renews its record instead of adding one";
}

TEST_F(RegistryTest, AMatchIsRenewedBeforeItsAgeIsTestedAndTheRestStillExpire)
{
    announce("stale");
    announce("keep");
    net.now += 1000;
    announce("stale");
    EXPECT_TRUE(holds("stale"));
    EXPECT_FALSE(holds("keep"));
}

TEST_F(RegistryTest, LongNamesAreCutAndSoNeverMatchAgain)
{
    std::string long_name(300, 'n');
    announce(long_name);
    announce(long_name);
    EXPECT_EQ(net.live_blocks, 2) << "every announcement adds a record";
    EXPECT_FALSE(holds(long_name));
    EXPECT_TRUE(holds(std::string(255, 'n')));
}

TEST_F(RegistryTest, LookupIgnoresAgeAndComparesWholeNames)
{
    EXPECT_FALSE(holds("bob")) << "the zero-filled record holds nothing";
    announce("bob");
    announce("");
    net.now += 30;
    EXPECT_TRUE(holds("bob"));
    EXPECT_TRUE(holds("")) << "the empty name is a name";
    EXPECT_FALSE(holds("Bob"));
    EXPECT_FALSE(holds("bo"));
    EXPECT_FALSE(holds("bobby"));
}

TEST_F(RegistryTest, AllocationFailureLeavesTheNameUnrecorded)
{
    announce("a");
    net.now += 20;
    net.fail_all_allocations = true;
    announce("b");
    net.fail_all_allocations = false;
    EXPECT_FALSE(holds("b"));
    EXPECT_FALSE(holds("a")) << "the walk's expiry still took place";
    announce("b");
    EXPECT_TRUE(holds("b"));
}

} // namespace
