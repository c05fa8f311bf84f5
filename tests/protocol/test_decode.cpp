#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "protocol/decode.h"
#include "protocol/report.h"
#include "state/source_table.h"
#include "tests/protocol/support.h"

namespace {

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes float_be(float f) {
    uint32_t bits;
    memcpy(&bits, &f, 4);
    return be32(bits);
}

// A source TLV: address bytes, port in network order, nested TLVs.
Bytes listing(const char* address, uint16_t port, const Bytes& nested = {}) {
    bool v6 = strchr(address, ':') != nullptr;
    uint8_t raw[16];
    inet_pton(v6 ? AF_INET6 : AF_INET, address, raw);
    Bytes value(raw, raw + (v6 ? 16 : 4));
    value = value + Bytes{uint8_t(port >> 8), uint8_t(port)} + nested;
    return tlv(v6 ? 'I' : 'i', value);
}

Bytes figures(uint32_t timestamp, uint32_t age, uint8_t hops, float delay, float jitter, uint8_t loss, uint8_t dup,
              uint8_t ooo) {
    return be32(timestamp) + be32(age) + Bytes{hops} + float_be(delay) + float_be(jitter) + Bytes{loss, dup, ooo};
}

constexpr uint64_t NOW = 500000;
constexpr uint64_t RECEIVED = 1700000000123ull;

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
    }
    void TearDown() override { settings = Settings{}; }

    // Feeds the datagram from a buffer of exactly its size, so a read past
    // its end is caught by the address sanitizer.
    void feed(const Bytes& datagram, const Address& from, uint64_t now = NOW, bool ssm = false, int32_t ttl = 60) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[datagram.size()]);
        if (!datagram.empty()) memcpy(exact.get(), datagram.data(), datagram.size());
        handle_beacon_packet_at(table, local, from, RECEIVED, ttl, exact.get(), static_cast<int32_t>(datagram.size()),
                                ssm, now);
    }
    void feed(const Bytes& datagram) { feed(datagram, sender); }

    Source* find(const Address& a) {
        auto it = table.sources.find(a);
        return it == table.sources.end() ? nullptr : &it->second;
    }
    Source& the_sender() {
        Source* s = find(sender);
        EXPECT_NE(s, nullptr);
        return *s;
    }
    ExternalSource* external(const Address& listed) {
        Source* s = find(sender);
        if (!s) return nullptr;
        auto it = s->external_sources.find(listed);
        return it == s->external_sources.end() ? nullptr : &it->second;
    }

    SourceTable table;
    Address local = make_address("10.0.0.9", 10000);
    Address sender = make_address("10.0.0.1", 10000);
};

TEST_F(DecodeTest, HeaderAndLengthChecks) {
    const Bytes probe = {0xBE, 0xAC, 0x01, 0x00, 0, 0, 0x03, 0xE8, 0, 0, 0, 1};
    struct Case {
        const char* name;
        Bytes datagram;
        bool creates_sender;
    };
    const Case cases[] = {
        {"empty", {}, false},
        {"three bytes", {0xBE, 0xAC, 0x01}, false},
        {"bare report header", {0xBE, 0xAC, 0x01, 0x01}, false},
        {"wrong magic", {0xBE, 0xAD, 0x01, 0x01, 0x40}, false},
        {"version 2 report", {0xBE, 0xAC, 0x02, 0x01, 0x40}, false},
        {"version 2 probe", Bytes{0xBE, 0xAC, 0x02, 0x00} + Bytes(probe.begin() + 4, probe.end()), false},
        {"type 2", {0xBE, 0xAC, 0x01, 0x02, 0x40, 0, 0, 0, 0, 0, 0, 0}, false},
        {"probe of 11 bytes", Bytes(probe.begin(), probe.end() - 1), false},
        {"probe of 13 bytes", probe + Bytes{0}, false},
        {"probe of 4 bytes", Bytes(probe.begin(), probe.begin() + 4), false},
        {"probe", probe, true},
        {"report of 5 bytes", report_header(), true},
        {"report of 6 bytes", report_header() + Bytes{'n'}, true},
    };
    for (const Case& c : cases) {
        table.sources.clear();
        feed(c.datagram);
        EXPECT_EQ(table.sources.size(), c.creates_sender ? 1u : 0u) << c.name;
    }
}

TEST_F(DecodeTest, ReportRefreshesSenderAndTakesItsTtl) {
    feed(report_header(64));
    Source& s = the_sender();
    EXPECT_EQ(s.sender_ttl, 64u);
    EXPECT_EQ(s.created_ms, NOW);
    EXPECT_EQ(s.last_local_rx_ms, NOW);
    EXPECT_FALSE(s.identified);
    feed(report_header(32) + Bytes{'n'}, sender, NOW + 10);
    EXPECT_EQ(s.sender_ttl, 32u);
    EXPECT_EQ(s.created_ms, NOW);
    EXPECT_EQ(s.last_update_ms, NOW + 10);
    EXPECT_EQ(s.last_local_rx_ms, NOW + 10);
}

TEST_F(DecodeTest, ProbeFeedsTheChannelItArrivedOn) {
    const Bytes probe = {0xBE, 0xAC, 0x01, 0x00, 0, 0, 0x03, 0xE8, 0x12, 0x34, 0x56, 0x78};
    feed(probe, sender, NOW, false, 300);  // only the low 8 bits of the hop count
    Source& s = the_sender();
    EXPECT_EQ(s.asm_stats.last_seq, 1000u);
    EXPECT_EQ(s.asm_stats.expected, 1u);
    EXPECT_EQ(s.asm_stats.received, 1u);
    EXPECT_EQ(s.asm_stats.figures.timestamp, 0x12345678u);
    EXPECT_EQ(s.asm_stats.figures.ttl, 44);
    EXPECT_EQ(s.asm_stats.figures.updated_ms, NOW);
    EXPECT_EQ(s.ssm_stats.received, 0u);
    EXPECT_EQ(s.last_local_rx_ms, NOW);

    feed(probe, sender, NOW + 5, true, 61);
    EXPECT_EQ(s.ssm_stats.last_seq, 1000u);
    EXPECT_EQ(s.ssm_stats.received, 1u);
    EXPECT_EQ(s.ssm_stats.figures.ttl, 61);
    EXPECT_EQ(s.asm_stats.received, 1u);
}

TEST_F(DecodeTest, SenderAnnouncementsAreApplied) {
    feed(report_header() + tlv('n', "beacon one") + tlv('a', "ops@example.net") + tlv('C', "de") +
         tlv('F', be32(3)) + tlv('G', "http://g") + tlv('L', "http://l") + tlv('M', "http://m") +
         tlv('Z', "ignored") + tlv('A', Bytes(20, 0)));
    Source& s = the_sender();
    EXPECT_EQ(s.name, "beacon one");
    EXPECT_TRUE(s.identified);
    EXPECT_EQ(s.contact, "ops@example.net");
    EXPECT_EQ(s.country, "de");
    EXPECT_EQ(s.flags, 3u);
    EXPECT_EQ(s.websites, (std::map<int32_t, std::string>{{'G', "http://g"}, {'L', "http://l"}, {'M', "http://m"}}));

    // A later report replaces, never removes.
    feed(report_header() + tlv('a', "") + tlv('L', "http://l2") + tlv('C', Bytes{0x01, 0xFF}));
    EXPECT_EQ(s.contact, "");
    EXPECT_EQ(s.websites.size(), 3u);
    EXPECT_EQ(s.websites['L'], "http://l2");
    EXPECT_EQ(s.country, std::string("\x01\xFF", 2));  // two bytes taken as they are
}

TEST_F(DecodeTest, NameAcceptanceRules) {
    struct Case {
        const char* name;
        Bytes value;
        std::string result;
    };
    const Case cases[] = {
        {"empty name", {}, ""},
        {"printable ends", text(" ~"), " ~"},
        {"tab", text("a\tb"), "old"},
        {"latin-1 e acute", {'c', 'a', 'f', 0xE9}, "old"},
        {"delete", {'a', 0x7F}, "old"},
        {"nul", {'a', 0x00, 'b'}, "old"},
        {"unit separator", {0x1F}, "old"},
    };
    for (const Case& c : cases) {
        table.sources.clear();
        feed(report_header() + tlv('n', "old"));
        feed(report_header() + tlv('n', c.value) + tlv('a', "after"));
        Source& s = the_sender();
        EXPECT_EQ(s.name, c.result) << c.name;
        EXPECT_TRUE(s.identified) << c.name;
        EXPECT_EQ(s.contact, "after") << c.name;  // a refused value is only skipped
    }
    table.sources.clear();
    feed(report_header() + tlv('n', Bytes{}));
    EXPECT_TRUE(the_sender().identified);
    EXPECT_EQ(the_sender().name, "");
}

TEST(ReadStringTlv, AcceptsEmptyOrPrintableOnly) {
    struct Case {
        Bytes value;
        bool accepted;
    };
    const Case cases[] = {
        {{}, true}, {text("abc xyz"), true}, {{0x20, 0x7E}, true}, {{'a', '\n'}, false}, {{0x80}, false}, {{0xFF}, false},
    };
    for (const Case& c : cases) {
        std::string target = "before";
        bool accepted = read_string_tlv(c.value.data(), static_cast<int>(c.value.size()), target);
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(target, c.accepted ? std::string(c.value.begin(), c.value.end()) : "before");
    }
}

TEST_F(DecodeTest, WrongLengthCountryAndFlagsAreSkipped) {
    feed(report_header() + tlv('C', "nl") + tlv('F', be32(1)));
    feed(report_header() + tlv('C', "xyz") + tlv('F', Bytes{0, 2}) + tlv('a', "c@d") + tlv('G', "url\x01") +
         tlv('n', "later"));
    Source& s = the_sender();
    EXPECT_EQ(s.country, "nl");
    EXPECT_EQ(s.flags, 1u);
    EXPECT_EQ(s.contact, "c@d");
    EXPECT_TRUE(s.websites.empty());
    EXPECT_EQ(s.name, "later");
}

TEST_F(DecodeTest, LeaveRemovesTheSenderAndEndsTheReport) {
    feed(report_header() + tlv('n', "x") + tlv('Q', Bytes{}) + tlv('a', "c") + listing("10.0.0.5", 10000));
    EXPECT_TRUE(table.sources.empty());

    // Known sender, leave with a value: still a leave.
    feed(report_header() + tlv('n', "x"));
    feed(report_header(), make_address("10.0.0.2", 10000));
    ASSERT_EQ(table.sources.size(), 2u);
    feed(report_header() + tlv('Q', "bye"));
    EXPECT_EQ(find(sender), nullptr);
    EXPECT_EQ(table.sources.size(), 1u);
}

TEST_F(DecodeTest, SelfListingMakesOnlyAnExternalEntry) {
    Address me_other_port = make_address("10.0.0.9", 777);
    feed(report_header() + listing("10.0.0.9", 777, tlv('A', figures(1, 2, 3, 4.0f, 5.0f, 0, 0, 0))));
    ExternalSource* e = external(me_other_port);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->asm_stats.valid);
    EXPECT_EQ(table.sources.size(), 1u);
    EXPECT_EQ(find(me_other_port), nullptr);
}

TEST_F(DecodeTest, ShortFiguresStopTheNestedWalkButNotTheListing) {
    Address listed = make_address("10.0.0.5", 10000);
    feed(report_header() +
         listing("10.0.0.5", 10000, tlv('A', Bytes(19, 0)) + tlv('n', "named") + tlv('a', "c@d")) +
         tlv('n', "sender"));
    ExternalSource* e = external(listed);
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(e->asm_stats.valid);
    EXPECT_FALSE(e->identified);
    EXPECT_EQ(e->contact, "");
    Source* s = find(listed);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->identified);
    EXPECT_EQ(s->last_local_rx_ms, 0u);
    EXPECT_EQ(the_sender().name, "sender");  // the outer walk goes on
}

TEST_F(DecodeTest, FiguresAreDecoded) {
    Address listed = make_address("2001:db8::5", 10001);
    feed(report_header() + listing("2001:db8::5", 10001,
                                   tlv('A', figures(0xDEADBEEF, 0x00010203, 9, -3.25f, 0.5f, 51, 254, 255)) +
                                       tlv('S', figures(7, 99, 2, 100.0f, 0.0f, 0, 255, 0))));
    ExternalSource* e = external(listed);
    ASSERT_NE(e, nullptr);
    const PublishedStats& a = e->asm_stats;
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.updated_ms, NOW);
    EXPECT_EQ(a.timestamp, 0xDEADBEEFu);
    EXPECT_EQ(a.ttl, 9);
    EXPECT_EQ(a.delay, -3.25f);
    EXPECT_EQ(a.jitter, 0.5f);
    EXPECT_FLOAT_EQ(a.loss, 0.2f);         // 51 / 255
    EXPECT_NEAR(a.dup, 9.9608f, 1e-4);     // 254 / 25.5
    EXPECT_FLOAT_EQ(a.ooo, 1.0f);
    const PublishedStats& s = e->ssm_stats;
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.dup, 1e10f);               // anything above 10
    EXPECT_EQ(s.delay, 100.0f);
    EXPECT_EQ(e->age, 99u);                // one age for both channels: the last wins
    ASSERT_NE(find(listed), nullptr);
}

TEST_F(DecodeTest, TlvReachingPastTheDatagramIsNotApplied) {
    Bytes d = report_header() + tlv('n', "ok") + tlv('a', "abc");
    d[d.size() - 4] = 4;  // contact claims one byte more than there is
    feed(d);
    EXPECT_EQ(the_sender().name, "ok");
    EXPECT_EQ(the_sender().contact, "");

    // The same inside a listing: nested TLVs stop, the listing stands.
    Bytes nested = tlv('n', "five") + tlv('a', "x@y");
    nested[nested.size() - 4] = 4;
    Bytes l = listing("10.0.0.5", 10000, nested);
    feed(report_header() + l);
    ExternalSource* e = external(make_address("10.0.0.5", 10000));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, "five");
    EXPECT_EQ(e->contact, "");
}

TEST_F(DecodeTest, SourceTlvsShorterThanAnAddressAreSkipped) {
    feed(report_header() + tlv('i', Bytes{10, 0, 0, 5, 0}) + tlv('I', Bytes(17, 1)) + tlv('n', "after"));
    EXPECT_TRUE(the_sender().external_sources.empty());
    EXPECT_EQ(table.sources.size(), 1u);
    EXPECT_EQ(the_sender().name, "after");
    feed(report_header() + listing("10.0.0.5", 10000));  // exactly 6: listed with nothing nested
    EXPECT_NE(external(make_address("10.0.0.5", 10000)), nullptr);
    EXPECT_NE(find(make_address("10.0.0.5", 10000)), nullptr);
}

TEST_F(DecodeTest, MapReportNamesNewSourcesButNeverRenamesKnownOnes) {
    Address known = make_address("10.0.0.5", 10000);
    feed(report_header() + tlv('n', "orig"), known);
    ASSERT_EQ(find(known)->contact, "");

    feed(report_header() + listing("10.0.0.5", 10000, tlv('n', "other") + tlv('a', "x@y")) +
         listing("10.0.0.6", 10000, tlv('n', "six") + tlv('a', "s@x")) +
         listing("10.0.0.7", 10000, tlv('n', "") + tlv('a', "")));
    EXPECT_EQ(find(known)->name, "orig");
    EXPECT_EQ(find(known)->contact, "x@y");
    EXPECT_EQ(external(known)->name, "other");
    EXPECT_TRUE(external(known)->identified);

    Source* six = find(make_address("10.0.0.6", 10000));
    ASSERT_NE(six, nullptr);
    EXPECT_TRUE(six->identified);
    EXPECT_EQ(six->name, "six");
    EXPECT_EQ(six->contact, "s@x");
    EXPECT_EQ(six->last_local_rx_ms, 0u);

    Source* seven = find(make_address("10.0.0.7", 10000));
    ASSERT_NE(seven, nullptr);
    EXPECT_FALSE(seven->identified);
    EXPECT_FALSE(external(make_address("10.0.0.7", 10000))->identified);

    // A contact once filled is kept.
    feed(report_header() + listing("10.0.0.5", 10000, tlv('a', "z@z")));
    EXPECT_EQ(find(known)->contact, "x@y");
}

TEST_F(DecodeTest, TableKeysCarryOnlyFamilyAddressAndPort) {
    auto with_junk = [](uint32_t scope, uint32_t flow) {
        Address a = make_address("fe80::1", 10000);
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(a.as_sockaddr());
        in6->sin6_scope_id = scope;
        in6->sin6_flowinfo = flow;
        return a;
    };
    Bytes probe = {0xBE, 0xAC, 0x01, 0x00, 0, 0, 0x03, 0xE8, 0, 0, 0, 1};
    feed(probe, with_junk(3, 7));
    feed(report_header() + tlv('n', "ll"), with_junk(0, 0));
    feed(report_header(), with_junk(5, 1));
    ASSERT_EQ(table.sources.size(), 1u);
    EXPECT_EQ(compare(table.sources.begin()->first, make_address("fe80::1", 10000)), 0);
    EXPECT_EQ(table.sources.begin()->second.name, "ll");
}

TEST_F(DecodeTest, VerbosityFiveTracesEveryTlv) {
    settings.verbose = 5;
    testing::internal::CaptureStderr();
    feed(report_header() + tlv('n', "ab") + tlv('a', ""));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Parsing TLV (110, 2) for 10.0.0.1/10000 [len is now 6]\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Parsing TLV (97, 0) for 10.0.0.1/10000 [len is now 2]\n"), std::string::npos) << err;

    settings.verbose = 4;
    testing::internal::CaptureStderr();
    feed(report_header() + tlv('n', "ab"));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Parsing TLV"), std::string::npos);
}

TEST_F(DecodeTest, FullTableRefusesNewBeaconsWithoutHarm) {
    settings.verbose = 0;
    for (uint16_t port = 1; table.sources.size() < MAX_SOURCES; ++port)
        ASSERT_NE(table.get_or_create_source(make_address("10.1.0.1", port), nullptr, NOW, true), nullptr);
    testing::internal::CaptureStderr();
    Bytes probe = {0xBE, 0xAC, 0x01, 0x00, 0, 0, 0x03, 0xE8, 0, 0, 0, 1};
    feed(probe);
    feed(report_header() + tlv('n', "new") + listing("10.0.0.5", 10000));
    // A known sender lists a new beacon the table has no room for.
    feed(report_header() + listing("10.0.0.5", 10000, tlv('n', "five")), make_address("10.1.0.1", 1));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(table.sources.size(), MAX_SOURCES);
    EXPECT_EQ(find(sender), nullptr);
    EXPECT_EQ(find(make_address("10.0.0.5", 10000)), nullptr);
}

TEST_F(DecodeTest, FullListingStillAddsTheListedBeacon) {
    feed(report_header());
    Source& s = the_sender();
    for (uint16_t port = 1; s.external_sources.size() < MAX_EXTERNALS_PER_SOURCE; ++port)
        ASSERT_NE(table.get_or_create_external(s, make_address("10.2.0.1", port), NOW), nullptr);
    testing::internal::CaptureStderr();
    feed(report_header() + listing("10.0.0.5", 10000, tlv('n', "late") + tlv('a', "l@x")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.external_sources.size(), MAX_EXTERNALS_PER_SOURCE);
    Source* listed = find(make_address("10.0.0.5", 10000));
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->name, "late");
    EXPECT_EQ(listed->contact, "l@x");
}

TEST_F(DecodeTest, ArbitraryDatagramsNeverReadOutsideOrGrowWithoutBound) {
    std::mt19937 random(12345);
    const Bytes seed_report = report_header() + tlv('n', "seed") + tlv('a', "s@d") + tlv('C', "de") +
                              tlv('F', be32(1)) + tlv('G', "http://g") +
                              listing("10.0.0.5", 10000, tlv('A', figures(1, 2, 3, 4, 5, 6, 7, 8)) + tlv('n', "n")) +
                              listing("2001:db8::7", 1, tlv('S', figures(1, 2, 3, 4, 5, 6, 255, 8)) + tlv('a', "c"));
    for (int round = 0; round < 5000; ++round) {
        Bytes d;
        if (round % 2 == 0) {
            d = seed_report;
            int flips = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < flips; ++i) d[5 + random() % (d.size() - 5)] = static_cast<uint8_t>(random());
            d.resize(5 + random() % (d.size() - 4));
        } else {
            d = report_header();
            size_t extra = random() % 300;
            for (size_t i = 0; i < extra; ++i) d.push_back(static_cast<uint8_t>(random() % 4 == 0 ? "nNiIaAQSCFGLM"[random() % 13] : random()));
        }
        Address from = make_address("10.3.0.1", static_cast<uint16_t>(1 + random() % 50));
        feed(d, from, NOW + round);
    }
    EXPECT_LE(table.sources.size(), MAX_SOURCES);
    for (const auto& entry : table.sources) EXPECT_LE(entry.second.external_sources.size(), MAX_EXTERNALS_PER_SOURCE);
}

// Encodes reports from one table and decodes them into a fresh one, as
// another beacon would receive them.
TEST(DecodeRoundTrip, FiguresAndNamesArriveWithinTheEncodingsPrecision) {
    settings = Settings{};
    Settings config;
    config.beacon_name = "alpha";
    config.admin_contact = "al@pha";
    const uint64_t now = 7000000;

    SourceTable origin;
    Address two = make_address("10.0.0.2", 10000);
    Address three = make_address("2001:db8::3", 10002);
    Source& s2 = origin.sources[two];
    s2.created_ms = now - 12345;
    s2.sender_ttl = 64;
    set_name(s2, "two");
    s2.contact = "t@x";
    PublishedStats& f2 = s2.asm_stats.figures;
    f2 = published_figures(60, 12.75f, 1.5f, 0.3f, 0.5f, 0.1f);
    f2.timestamp = 0x89ABCDEF;
    Source& s3 = origin.sources[three];
    s3.created_ms = now - 999;
    set_name(s3, "three");
    PublishedStats& f3 = s3.ssm_stats.figures;
    f3 = published_figures(100, -0.125f, 0.0f, 0.0f, 12.0f, 0.999f);
    f3.timestamp = 5;

    uint8_t buffer[8192];
    SourceTable received;
    Address local = make_address("10.0.0.9", 10000);
    Address alpha = make_address("192.0.2.1", 10000);
    // The map report first: Sources take their names only when created.
    int32_t n = encode_report_from(buffer, sizeof buffer, 84, config, 0, origin, now);
    ASSERT_GT(n, 0);
    handle_beacon_packet_at(received, local, alpha, RECEIVED, 60, buffer, n, false, now + 50);
    n = encode_report_from(buffer, sizeof buffer, 82, config, 0, origin, now);
    ASSERT_GT(n, 0);
    handle_beacon_packet_at(received, local, alpha, RECEIVED, 60, buffer, n, false, now + 60);

    ASSERT_EQ(received.sources.size(), 3u);
    const Source& a = received.sources.at(alpha);
    EXPECT_EQ(a.name, "alpha");
    EXPECT_EQ(a.contact, "al@pha");
    EXPECT_EQ(a.sender_ttl, 127u);
    EXPECT_EQ(received.sources.at(two).name, "two");
    EXPECT_EQ(received.sources.at(two).contact, "t@x");
    EXPECT_EQ(received.sources.at(three).name, "three");
    EXPECT_EQ(received.sources.at(three).contact, "");

    const ExternalSource& e2 = a.external_sources.at(two);
    EXPECT_EQ(e2.name, "two");
    EXPECT_EQ(e2.age, 12u);
    EXPECT_TRUE(e2.asm_stats.valid);
    EXPECT_FALSE(e2.ssm_stats.valid);
    EXPECT_EQ(e2.asm_stats.timestamp, 0x89ABCDEFu);
    EXPECT_EQ(e2.asm_stats.ttl, 4);  // 64 - 60
    EXPECT_EQ(e2.asm_stats.delay, 12.75f);
    EXPECT_EQ(e2.asm_stats.jitter, 1.5f);
    // Loss and reordering are truncated to 255ths, duplicates rounded up to 25.5ths.
    EXPECT_LE(e2.asm_stats.loss, 0.3f);
    EXPECT_GT(e2.asm_stats.loss, 0.3f - 1.0f / 255);
    EXPECT_LE(e2.asm_stats.ooo, 0.1f);
    EXPECT_GT(e2.asm_stats.ooo, 0.1f - 1.0f / 255);
    EXPECT_GE(e2.asm_stats.dup, 0.5f - 1e-6f);
    EXPECT_LT(e2.asm_stats.dup, 0.5f + 1.0f / 25.5f);

    const ExternalSource& e3 = a.external_sources.at(three);
    EXPECT_EQ(e3.age, 0u);
    EXPECT_FALSE(e3.asm_stats.valid);
    EXPECT_TRUE(e3.ssm_stats.valid);
    EXPECT_EQ(e3.ssm_stats.ttl, 27);  // no report from it yet: 127 - 100
    EXPECT_EQ(e3.ssm_stats.delay, -0.125f);
    EXPECT_EQ(e3.ssm_stats.dup, 1e10f);
    EXPECT_GT(e3.ssm_stats.ooo, 0.999f - 1.0f / 255);
    EXPECT_EQ(e3.ssm_stats.loss, 0.0f);
}

}  // namespace
