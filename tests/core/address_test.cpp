#include <gtest/gtest.h>

#include <cstring>

#include "core/address.h"

using namespace tallysv;

TEST(ParseAddressRange, ReadsTheThreeForms) {
    const struct {
        const char* text;
        int limit;
        bool ok;
        IPv4Address low;
        IPv4Address high;
        int position;
    } cases[] = {
        {"10.0.0.5 x", 100, true, {10, 0, 0, 5}, {10, 0, 0, 5}, 9},
        {"10.0.0.1-10.0.0.9 x", 100, true, {10, 0, 0, 1}, {10, 0, 0, 9}, 18},
        {"10.1.*.* x", 100, true, {10, 1, 0, 0}, {10, 1, 255, 255}, 9},
        {"10.*", 100, true, {10, 0, 0, 0}, {10, 255, 255, 255}, 9},
        {"*", 100, true, {0, 0, 0, 0}, {255, 255, 255, 255}, 8},
        {"10.1.*.*", 9, false, {}, {}, 0},  // position must stay below the limit
        {"300.1.1.1 ", 100, false, {}, {}, 0},
        {"1.2.3.300 ", 100, false, {}, {}, 0},
        {"1.2.3 ", 100, false, {}, {}, 0},
        {"1.2.3.4.5 ", 100, false, {}, {}, 0},
        {"1.2.3.4", 100, false, {}, {}, 0},  // ends at NUL before a blank
        {"1.2.3.4 ", 7, false, {}, {}, 0},   // the limit comes before the blank
        {"1.2.3.1234 ", 100, false, {}, {}, 0},
        {"1.2.x.4 ", 100, false, {}, {}, 0},
        {"1.2-3.4 ", 100, false, {}, {}, 0},
        {"1..3.4 ", 100, true, {1, 0, 3, 4}, {1, 0, 3, 4}, 7},  // an empty octet reads as 0
    };
    for (const auto& c : cases) {
        IPv4Address low{}, high{};
        int position = 0;
        bool ok = parseAddressRange(c.text, c.limit, low, high, position);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.ok) {
            EXPECT_EQ(low, c.low) << c.text;
            EXPECT_EQ(high, c.high) << c.text;
            EXPECT_EQ(position, c.position) << c.text;
        }
    }
}

TEST(AddressInRange, ComparesOctetByOctet) {
    IPv4Address low{10, 0, 5, 0}, high{10, 255, 5, 255};
    EXPECT_TRUE(addressInRange({10, 7, 5, 9}, low, high));
    EXPECT_FALSE(addressInRange({10, 7, 6, 9}, low, high));  // inside numerically, outside by octet
    EXPECT_TRUE(addressInRange(low, low, high));
    EXPECT_TRUE(addressInRange(high, low, high));
    EXPECT_FALSE(addressInRange({11, 0, 5, 0}, low, high));
}

TEST(ResolveHostAddress, DottedTextAndFailedLookup) {
    StatusOr<IPv4Address> dotted = resolveHostAddress("192.0.2.7");
    ASSERT_TRUE(dotted);
    EXPECT_EQ(*dotted, (IPv4Address{192, 0, 2, 7}));
    StatusOr<IPv4Address> local = resolveHostAddress("localhost");
    ASSERT_TRUE(local) << local.reason();
    EXPECT_EQ(*local, (IPv4Address{127, 0, 0, 1}));
    StatusOr<IPv4Address> unknown = resolveHostAddress("no-such-host.invalid");
    EXPECT_FALSE(unknown);
    EXPECT_EQ(unknown.reason().rfind("cannot resolve no-such-host.invalid: ", 0), 0u) << unknown.reason();
    EXPECT_EQ(addressText({1, 22, 133, 4}), "1.22.133.4");
}
