// Address: parsing through the resolver (numeric texts only), the text
// form, the tests on the address and the two comparisons.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/log.h"
#include "control/settings.h"
#include "net/address.h"
#include "tests/test_support.h"

namespace {

class AddressTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        logger_started = false;
    }
    void TearDown() override { settings = Settings{}; }
};

sockaddr_in6* in6(Address& a) { return reinterpret_cast<sockaddr_in6*>(a.as_sockaddr()); }

bool all_zero(const Address& a) {
    static const sockaddr_storage zero{};
    return memcmp(&a.storage(), &zero, sizeof zero) == 0;
}

TEST_F(AddressTest, ParseNumericTexts) {
    struct Case {
        std::string text;
        bool require_multicast;
        bool default_port;
        int forced_family;
        bool ok;
        int family;
        std::string with_port;
    };
    const Case cases[] = {
        {"224.1.2.3", true, true, AF_UNSPEC, true, AF_INET, "224.1.2.3/10000"},
        {"239.255.255.255/1", true, false, AF_UNSPEC, true, AF_INET, "239.255.255.255/1"},
        {"ff3e::beac/9999", true, true, AF_UNSPEC, true, AF_INET6, "ff3e::beac/9999"},
        {"ff3e::beac", true, true, AF_UNSPEC, true, AF_INET6, "ff3e::beac/10000"},
        {"ff02::1/7", true, true, AF_INET6, true, AF_INET6, "ff02::1/7"},
        {"10.0.0.1", false, false, AF_UNSPEC, true, AF_INET, "10.0.0.1/0"},
        {"10.0.0.1", false, true, AF_INET, true, AF_INET, "10.0.0.1/10000"},
        {"10.0.0.1/1", false, true, AF_UNSPEC, true, AF_INET, "10.0.0.1/1"},
        {"10.0.0.1/65535", false, false, AF_UNSPEC, true, AF_INET, "10.0.0.1/65535"},
        {"::1/0", false, true, AF_UNSPEC, true, AF_INET6, "::1/0"},
        {"2001:db8::2/123", false, false, AF_UNSPEC, true, AF_INET6, "2001:db8::2/123"},
        {"10.0.0.1", true, true, AF_UNSPEC, false, 0, ""},
        {"0.0.0.0/1234", false, false, AF_UNSPEC, false, 0, ""},
        {"::/1234", false, true, AF_UNSPEC, false, 0, ""},
        {"224.1.2.3", true, true, AF_INET6, false, 0, ""},
        {"ff3e::beac", true, true, AF_INET, false, 0, ""},
        {"224.1.2.3/10000/5", true, true, AF_UNSPEC, false, 0, ""},
        // A port the resolver would silently take modulo 65536.
        {"224.1.2.3/65536", true, true, AF_UNSPEC, false, 0, ""},
        {"224.1.2.3/70000", true, true, AF_UNSPEC, false, 0, ""},
        {"10.0.0.1/0000065536", false, false, AF_UNSPEC, false, 0, ""},
    };
    for (const Case& c : cases) {
        settings.forced_family = c.forced_family;
        testing::internal::CaptureStderr();
        Address a;
        bool ok = a.parse(c.text.c_str(), c.require_multicast, c.default_port);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(log.empty()) << c.text << ": a failure is always logged";
            continue;
        }
        EXPECT_EQ(log, "") << c.text;
        EXPECT_EQ(a.family(), c.family) << c.text;
        EXPECT_EQ(a.to_string(true), c.with_port) << c.text;
        char buffer[64];
        a.to_string(buffer, sizeof buffer, false);
        EXPECT_EQ(std::string(buffer), c.with_port.substr(0, c.with_port.find('/'))) << c.text;
    }
}

TEST_F(AddressTest, ParseFailuresAreLogged) {
    struct Case {
        std::string text;
        bool require_multicast;
        int forced_family;
        std::string message;  // a prefix for resolver failures
        bool exact;
    };
    const Case cases[] = {
        {"10.0.0.1", true, AF_UNSPEC, "No usable records for 10.0.0.1", true},
        {"10.0.0.1/99", true, AF_UNSPEC, "No usable records for 10.0.0.1", true},
        {"0.0.0.0/1234", false, AF_UNSPEC, "No usable records for 0.0.0.0", true},
        {"::", false, AF_UNSPEC, "No usable records for ::", true},
        {"224.1.2.3", true, AF_INET6, "getaddrinfo failed: ", false},
        {"127.0.0.1/5", false, AF_INET6, "getaddrinfo failed: ", false},
    };
    for (const Case& c : cases) {
        settings.forced_family = c.forced_family;
        testing::internal::CaptureStderr();
        Address a;
        EXPECT_FALSE(a.parse(c.text.c_str(), c.require_multicast, true)) << c.text;
        std::vector<std::string> messages = log_messages(testing::internal::GetCapturedStderr());
        ASSERT_EQ(messages.size(), 1u) << c.text;
        if (c.exact) {
            EXPECT_EQ(messages[0], c.message);
        } else {
            EXPECT_EQ(messages[0].compare(0, c.message.size(), c.message), 0) << messages[0];
            EXPECT_GT(messages[0].size(), c.message.size()) << "the resolver's text follows";
        }
    }
}

TEST_F(AddressTest, ParseReadsTheForcedFamilyWhenItRuns) {
    Address a;
    settings.forced_family = AF_INET6;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(a.parse("224.1.2.3", true, true));
    testing::internal::GetCapturedStderr();
    settings.forced_family = AF_UNSPEC;
    EXPECT_TRUE(a.parse("224.1.2.3", true, true));
    // The explicit form ignores the settings.
    settings.forced_family = AF_INET6;
    Address b;
    EXPECT_TRUE(b.parse("224.1.2.3", true, true, AF_INET));
    EXPECT_EQ(compare(a, b), 0);
}

TEST_F(AddressTest, LongTextIsRefusedNotCut) {
    // "224.1.2.3/" and a port of 10000 written with leading zeros.
    auto text_of_length = [](size_t length) {
        return "224.1.2.3/" + std::string(length - 10 - 5, '0') + "10000";
    };
    const std::string longest = text_of_length(ADDRESS_TEXT_MAX);
    ASSERT_EQ(longest.size(), 127u);
    Address a;
    ASSERT_TRUE(a.parse(longest.c_str(), true, true));
    EXPECT_EQ(a.to_string(true), "224.1.2.3/10000");

    // One more character: cut to 127 it would still resolve (port 1000), so
    // only a refusal gives false.
    const std::string too_long = text_of_length(ADDRESS_TEXT_MAX + 1);
    testing::internal::CaptureStderr();
    Address b;
    EXPECT_FALSE(b.parse(too_long.c_str(), true, true));
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(b.parse(std::string(1000, '1').c_str(), false, false));
    testing::internal::GetCapturedStderr();
}

TEST_F(AddressTest, ParseWritesOnlyFamilyAddressAndPort) {
    Address a;
    in6(a)->sin6_scope_id = 5;
    in6(a)->sin6_flowinfo = htonl(7);
    ASSERT_TRUE(a.parse("ff3e::1/5", true, false));
    EXPECT_EQ(in6(a)->sin6_scope_id, 5u);
    EXPECT_EQ(ntohl(in6(a)->sin6_flowinfo), 7u);
    EXPECT_EQ(a.to_string(true), "ff3e::1/5");
}

TEST_F(AddressTest, ClearedAddress) {
    Address a;
    Address b;
    EXPECT_TRUE(all_zero(a));
    EXPECT_EQ(a.family(), 0);
    EXPECT_TRUE(a.is_unspecified());
    EXPECT_FALSE(a.is_multicast());
    EXPECT_FALSE(a.same_address(b));
    EXPECT_EQ(compare(a, b), 0);
    EXPECT_EQ(a.length(), 16u);
    EXPECT_EQ(a.port(), 0);
    EXPECT_EQ(a.address_size(), 0u);
    EXPECT_EQ(a.address_bytes(), nullptr);

    EXPECT_FALSE(a.set_port(10000));
    EXPECT_FALSE(a.set_address("10.0.0.1"));
    EXPECT_FALSE(a.set_family(AF_UNIX));
    EXPECT_FALSE(a.set_family(AF_UNSPEC));
    EXPECT_TRUE(all_zero(a)) << "failed setters change nothing";

    Address filled = make_address(AF_INET6, "ff3e::beac", 10000);
    filled.clear();
    EXPECT_TRUE(all_zero(filled));
}

TEST_F(AddressTest, SettersFollowTheFamily) {
    Address a;
    ASSERT_TRUE(a.set_family(AF_INET));
    EXPECT_FALSE(a.set_address("::1"));
    EXPECT_FALSE(a.set_address("10.0.0"));
    EXPECT_TRUE(a.set_address("10.0.0.1"));
    EXPECT_TRUE(a.set_port(258));
    EXPECT_EQ(a.port(), 258);
    EXPECT_EQ(a.to_string(true), "10.0.0.1/258");
    // The port sits in network order in the storage.
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&a.storage());
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(&a.storage());
    const uint8_t* port_bytes = raw + (reinterpret_cast<const uint8_t*>(&v4->sin_port) - raw);
    EXPECT_EQ(port_bytes[0], 1);
    EXPECT_EQ(port_bytes[1], 2);

    Address b;
    ASSERT_TRUE(b.set_family(AF_INET6));
    EXPECT_FALSE(b.set_address("10.0.0.1"));
    EXPECT_TRUE(b.set_address("2001:db8::1"));
    EXPECT_EQ(b.length(), 28u);
    EXPECT_EQ(b.to_string(false), "2001:db8::1");
}

TEST_F(AddressTest, MulticastAndUnspecified) {
    struct Case {
        int family;
        const char* text;
        bool multicast;
        bool unspecified;
    };
    const Case cases[] = {
        {AF_INET, "224.0.0.0", true, false},      {AF_INET, "239.255.255.255", true, false},
        {AF_INET, "223.255.255.255", false, false}, {AF_INET, "240.0.0.0", false, false},
        {AF_INET, "0.0.0.0", false, true},        {AF_INET, "0.0.0.1", false, false},
        {AF_INET6, "ff00::", true, false},        {AF_INET6, "ff3e::beac", true, false},
        {AF_INET6, "fe80::1", false, false},      {AF_INET6, "::ffff:224.0.0.1", false, false},
        {AF_INET6, "::", false, true},            {AF_INET6, "::1", false, false},
    };
    for (const Case& c : cases) {
        Address a = make_address(c.family, c.text, 1);
        EXPECT_EQ(a.is_multicast(), c.multicast) << c.text;
        EXPECT_EQ(a.is_unspecified(), c.unspecified) << c.text;
        EXPECT_EQ(a.length(), c.family == AF_INET6 ? 28u : 16u) << c.text;
    }
}

TEST_F(AddressTest, SameAddressIgnoresThePortCompareDoesNot) {
    Address port1 = make_address(AF_INET, "10.0.0.1", 1);
    Address port2 = make_address(AF_INET, "10.0.0.1", 2);
    EXPECT_TRUE(port1.same_address(port2));
    EXPECT_NE(compare(port1, port2), 0);
    EXPECT_FALSE(port1.same_address(make_address(AF_INET, "10.0.0.2", 1)));
    EXPECT_FALSE(port1.same_address(make_address(AF_INET6, "::ffff:10.0.0.1", 1)));

    Address v6 = make_address(AF_INET6, "2001:db8::1", 1);
    Address scoped = v6;
    in6(scoped)->sin6_scope_id = 3;
    EXPECT_TRUE(v6.same_address(scoped));
    EXPECT_NE(compare(v6, scoped), 0);
    EXPECT_FALSE(v6.same_address(make_address(AF_INET6, "2001:db8::2", 1)));

    Address copy = scoped;
    EXPECT_EQ(compare(copy, scoped), 0) << "a copy takes the whole storage";
}

TEST_F(AddressTest, KeyDropsScopeAndFlowInformation) {
    Address received = make_address(AF_INET6, "fe80::1", 10000);
    in6(received)->sin6_scope_id = 2;
    in6(received)->sin6_flowinfo = htonl(0x12345);
    Address from_report = make_address(AF_INET6, "fe80::1", 10000);

    EXPECT_NE(compare(received, from_report), 0);
    Address key = received.key();
    EXPECT_EQ(compare(key, from_report), 0);
    EXPECT_EQ(in6(key)->sin6_scope_id, 0u);
    EXPECT_EQ(in6(key)->sin6_flowinfo, 0u);
    EXPECT_EQ(key.to_string(true), "fe80::1/10000");

    Address v4 = make_address(AF_INET, "10.0.0.1", 7);
    EXPECT_EQ(compare(v4.key(), v4), 0);
    EXPECT_TRUE(all_zero(Address().key()));
}

TEST_F(AddressTest, OrderOfKeys) {
    // The storage starts with the family (IPv4's value is the smaller) and
    // then the port in network order, so keys sort by family, then port,
    // then address.
    const std::vector<Address> expected = {
        make_address(AF_INET, "10.0.0.9", 1),   make_address(AF_INET, "10.0.0.1", 2), make_address(AF_INET, "10.0.0.2", 2),
        make_address(AF_INET, "1.2.3.4", 256),  make_address(AF_INET6, "ff3e::2", 1), make_address(AF_INET6, "::1", 80),
        make_address(AF_INET6, "ff3e::1", 10000),
    };
    std::set<Address, AddressLess> keys;
    for (auto it = expected.rbegin(); it != expected.rend(); ++it) keys.insert(*it);
    keys.insert(make_address(AF_INET, "10.0.0.1", 2));  // already present
    ASSERT_EQ(keys.size(), expected.size());
    size_t i = 0;
    for (const Address& key : keys) {
        EXPECT_EQ(compare(key, expected[i]), 0) << "position " << i << ": " << key.to_string(true);
        ++i;
    }
    EXPECT_LT(compare(expected[0], expected[1]), 0);
    EXPECT_GT(compare(expected[1], expected[0]), 0);
}

TEST_F(AddressTest, RawBytes) {
    const uint8_t v4_bytes[4] = {232, 2, 3, 2};
    const uint8_t port[2] = {0x27, 0x10};  // 10000
    Address a;
    ASSERT_TRUE(a.set_raw(AF_INET, v4_bytes, port));
    EXPECT_EQ(a.to_string(true), "232.2.3.2/10000");
    ASSERT_EQ(a.address_size(), 4u);
    EXPECT_EQ(memcmp(a.address_bytes(), v4_bytes, 4), 0);

    uint8_t v6_bytes[16] = {0xff, 0x3e};
    v6_bytes[14] = 0xbe;
    v6_bytes[15] = 0xac;
    Address b;
    ASSERT_TRUE(b.set_raw(AF_INET6, v6_bytes, port));
    EXPECT_EQ(b.to_string(true), "ff3e::beac/10000");
    EXPECT_EQ(compare(b, make_address(AF_INET6, "ff3e::beac", 10000)), 0);

    Address c;
    EXPECT_FALSE(c.set_raw(AF_UNIX, v6_bytes, port));
    EXPECT_TRUE(all_zero(c));
}

}  // namespace
