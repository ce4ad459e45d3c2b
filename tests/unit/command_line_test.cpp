#include "app/command_line.h"

#include <cstdint>
#include <gtest/gtest.h>

namespace {

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
