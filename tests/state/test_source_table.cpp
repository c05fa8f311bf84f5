// The table of remote beacons: keys and their order, creation and refresh,
// removal, reported entries, the SSM source filter, log lines and bounds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "state/source_table.h"
#include "tests/state/support.h"

namespace {

std::string text_of(const Address& a) { return a.to_string(true); }

class SourceTableTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
    }

    // Runs f with the log captured, returns the messages.
    template <typename F>
    std::vector<std::string> logged(F f) {
        testing::internal::CaptureStderr();
        f();
        return log_messages(testing::internal::GetCapturedStderr());
    }

    SourceTable table;
};

TEST_F(SourceTableTest, KeysOrderIpv4BeforeIpv6ThenPortThenAddress) {
    const Address inserted[] = {
        make_address("::1", 5),          make_address("10.0.0.2", 20), make_address("10.0.0.1", 10000),
        make_address("10.0.0.1", 9),     make_address("10.0.0.3", 9),  make_address("192.168.0.1", 256),
        make_address("2001:db8::1", 4),  make_address("9.255.255.255", 9),
    };
    for (const Address& a : inserted) ASSERT_NE(table.get_or_create_source(a, nullptr, 1, true), nullptr);

    std::vector<std::string> order;
    for (const auto& entry : table.sources) order.push_back(text_of(entry.first));
    // Ports compare in numeric order (stored big-endian), before the address.
    EXPECT_EQ(order, lines_of("9.255.255.255/9", "10.0.0.1/9", "10.0.0.3/9", "10.0.0.2/20",
                                   "192.168.0.1/256", "10.0.0.1/10000", "2001:db8::1/4", "::1/5"));
}

TEST_F(SourceTableTest, SameHostTwoPortsIsTwoSources) {
    Source* a = table.get_or_create_source(make_address("10.1.1.1", 10000), nullptr, 1, true);
    Source* b = table.get_or_create_source(make_address("10.1.1.1", 10001), nullptr, 1, true);
    EXPECT_NE(a, b);
    EXPECT_EQ(table.sources.size(), 2u);
}

// The kernel writes a scope identifier (and the flow label) into a received
// IPv6 sender's address; the same beacon listed in a report has none.  Both
// must find the one Source.
TEST_F(SourceTableTest, ScopeIdAndFlowLabelNeverSplitOneBeacon) {
    RecordingMembership ssm;
    table.ssm = &ssm;
    Address plain = make_address("fe80::1", 10000);
    Address received = plain;
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(received.as_sockaddr());
    sin6->sin6_scope_id = 3;
    sin6->sin6_flowinfo = htonl(0x12345);
    ASSERT_NE(compare(plain, received), 0);

    Source* first = table.get_or_create_source(received, nullptr, 10, true);
    Source* second = table.get_or_create_source(plain, "x", 20, false);
    EXPECT_EQ(first, second);
    ASSERT_EQ(table.sources.size(), 1u);
    EXPECT_EQ(compare(table.sources.begin()->first, plain), 0);
    // The join got the clean key, not the scoped one.
    ASSERT_EQ(ssm.joined_keys.size(), 1u);
    EXPECT_EQ(compare(ssm.joined_keys[0], plain), 0);

    ExternalSource* e1 = table.get_or_create_external(*first, received, 30);
    ExternalSource* e2 = table.get_or_create_external(*first, plain, 40);
    EXPECT_EQ(e1, e2);
    EXPECT_EQ(first->external_sources.size(), 1u);
    EXPECT_EQ(table.external_count(), 1u);

    table.remove_source(received, false);
    EXPECT_TRUE(table.sources.empty());
    EXPECT_EQ(table.external_count(), 0u);
}

TEST_F(SourceTableTest, NewSourceTimesAndInitialValues) {
    struct Case {
        bool direct;
        uint64_t local_rx;
    } cases[] = {{true, 5000}, {false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.direct);
        table.clear();
        Source* s = table.get_or_create_source(make_address("10.0.0.1", 10000), nullptr, 5000, c.direct);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->created_ms, 5000u);
        EXPECT_EQ(s->last_update_ms, 5000u);
        EXPECT_EQ(s->last_local_rx_ms, c.local_rx);
        EXPECT_EQ(s->sender_ttl, 0u);
        EXPECT_FALSE(s->identified);
        EXPECT_TRUE(s->name.empty());
        EXPECT_EQ(s->flags, 0u);
        EXPECT_EQ(s->asm_stats.figures.valid, 0);
        EXPECT_EQ(s->ssm_stats.expected, 0u);
    }
}

TEST_F(SourceTableTest, KnownSourceIsRefreshedOnly) {
    RecordingMembership ssm;
    table.ssm = &ssm;
    Address a = make_address("10.0.0.1", 10000);
    Source* s = table.get_or_create_source(a, "alpha", 1000, false);
    ASSERT_NE(s, nullptr);
    ssm.calls.clear();
    settings.verbose = 5;

    auto lines = logged([&] {
        EXPECT_EQ(table.get_or_create_source(a, "beta", 2000, false), s);
    });
    EXPECT_EQ(lines, lines_of());
    EXPECT_EQ(ssm.calls, lines_of());
    EXPECT_EQ(s->name, "alpha");
    EXPECT_TRUE(s->identified);
    EXPECT_EQ(s->created_ms, 1000u);
    EXPECT_EQ(s->last_update_ms, 2000u);
    EXPECT_EQ(s->last_local_rx_ms, 0u);  // not heard directly yet

    EXPECT_EQ(table.get_or_create_source(a, nullptr, 3000, true), s);
    EXPECT_EQ(s->last_update_ms, 3000u);
    EXPECT_EQ(s->last_local_rx_ms, 3000u);

    EXPECT_EQ(table.get_or_create_source(a, nullptr, 4000, false), s);
    EXPECT_EQ(s->last_update_ms, 4000u);
    EXPECT_EQ(s->last_local_rx_ms, 3000u);
}

TEST_F(SourceTableTest, AddingLogLines) {
    struct Case {
        int verbose;
        const char* name;
        std::vector<std::string> lines;
    } cases[] = {
        {0, "alpha", {}},
        {1, "alpha", {"Adding source 10.0.0.1/10000 [alpha]"}},
        {1, nullptr, {"Adding source 10.0.0.1/10000"}},
        {-1, nullptr, {"Adding source 10.0.0.1/10000"}},  // any level but 0
        {1, "", {"Adding source 10.0.0.1/10000 []"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verbose);
        table.clear();
        settings.verbose = c.verbose;
        Source* s = nullptr;
        auto lines = logged([&] { s = table.get_or_create_source(make_address("10.0.0.1", 10000), c.name, 1, true); });
        EXPECT_EQ(lines, c.lines);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->identified, c.name != nullptr);
        EXPECT_EQ(s->name, c.name ? c.name : "");
    }
}

TEST_F(SourceTableTest, SsmJoinOnCreationAndLeaveOnRemoval) {
    Address a = make_address("10.0.0.1", 10000);
    Address b = make_address("2001:db8::7", 10000);

    // SSM reception off: nothing joined, nothing left, nothing logged.
    settings.verbose = 2;
    auto lines = logged([&] {
        table.get_or_create_source(a, nullptr, 1, true);
        table.remove_source(a, false);
    });
    EXPECT_EQ(lines, lines_of("Adding source 10.0.0.1/10000", "Removing source 10.0.0.1/10000"));

    settings.verbose = 0;
    RecordingMembership ssm;
    table.ssm = &ssm;
    table.get_or_create_source(a, nullptr, 1, true);
    table.get_or_create_source(b, nullptr, 1, false);
    table.get_or_create_source(a, nullptr, 2, true);  // known: no second join
    table.remove_source(a, true);
    table.remove_source(a, true);                                      // gone: no second leave
    table.remove_source(make_address("10.9.9.9", 1), false);           // never known
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.1/10000", "join 2001:db8::7/10000", "leave 10.0.0.1/10000"));

    // A failed join keeps the Source and is not retried.
    ssm.calls.clear();
    ssm.result = EPERM;
    Address c = make_address("10.0.0.3", 10000);
    EXPECT_NE(table.get_or_create_source(c, nullptr, 3, true), nullptr);
    EXPECT_NE(table.get_or_create_source(c, nullptr, 4, true), nullptr);
    EXPECT_EQ(table.sources.count(c), 1u);
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.3/10000"));
}

// The kernel holds one (S,G) membership per source address.  A bootstrap
// entry on the default port and the same beacon's real port are two Sources
// of one address: removing one must not leave the channel under the other.
TEST_F(SourceTableTest, SourcesOfOneAddressShareTheirSsmMembership) {
    RecordingMembership ssm;
    table.ssm = &ssm;
    settings.verbose = 2;
    Address bootstrap = make_address("10.0.0.1", 10000);
    Address real = make_address("10.0.0.1", 41190);
    auto lines = logged([&] {
        table.get_or_create_source(bootstrap, nullptr, 1, false);
        table.get_or_create_source(real, nullptr, 2, true);
    });
    EXPECT_EQ(lines, lines_of("Adding source 10.0.0.1/10000", "Joined SSM (S, G) where S = 10.0.0.1/10000",
                              "Adding source 10.0.0.1/41190", "Joined SSM (S, G) where S = 10.0.0.1/41190"));
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.1/10000"));

    table.remove_source(bootstrap, true);  // the real beacon still needs the channel
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.1/10000"));
    table.remove_source(real, false);
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.1/10000", "leave 10.0.0.1/41190"));

    // Joined again from scratch once the address is back.
    table.get_or_create_source(real, nullptr, 3, true);
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.1/10000", "leave 10.0.0.1/41190", "join 10.0.0.1/41190"));

    // A failed join is not counted: the next Source of the address tries again,
    // and removing the failed one leaves nothing.
    ssm.calls.clear();
    ssm.result = ENOBUFS;
    Address other = make_address("10.0.0.2", 10000);
    table.get_or_create_source(other, nullptr, 4, true);
    ssm.result = 0;
    table.get_or_create_source(make_address("10.0.0.2", 5000), nullptr, 5, true);
    table.remove_source(other, true);
    EXPECT_EQ(ssm.calls, lines_of("join 10.0.0.2/10000", "join 10.0.0.2/5000"));
    testing::internal::CaptureStderr();
    table.clear();
    testing::internal::GetCapturedStderr();
}

TEST_F(SourceTableTest, SsmJoinLogLinesByVerbosity) {
    const std::string failed = std::string("Failed to join SSM (S,G) where S = 10.0.0.1/10000, reason: ") + strerror(EPERM);
    const std::string joined = "Joined SSM (S, G) where S = 10.0.0.1/10000";
    const std::string adding = "Adding source 10.0.0.1/10000";
    struct Case {
        int verbose;
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {0, 0, {}},
        {0, EPERM, {}},
        {1, 0, {adding}},
        {1, EPERM, {adding, failed}},
        {2, 0, {adding, joined}},
        {2, EPERM, {adding, failed}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.verbose << " " << c.result);
        table.clear();
        RecordingMembership ssm;
        ssm.result = c.result;
        table.ssm = &ssm;
        settings.verbose = c.verbose;
        auto lines = logged([&] { table.get_or_create_source(make_address("10.0.0.1", 10000), nullptr, 1, true); });
        EXPECT_EQ(lines, c.lines);
    }
}

TEST_F(SourceTableTest, RemovalLogLines) {
    struct Case {
        const char* name;  // nullptr: never identified
        bool by_timeout;
        const char* line;
    } cases[] = {
        {"alpha", true, "Removing source 10.0.0.1/10000 [alpha] by Timeout"},
        {nullptr, true, "Removing source 10.0.0.1/10000 by Timeout"},
        {"alpha", false, "Removing source 10.0.0.1/10000 [alpha]"},
        {nullptr, false, "Removing source 10.0.0.1/10000"},
    };
    Address a = make_address("10.0.0.1", 10000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        table.clear();
        settings.verbose = 0;
        Source* s = table.get_or_create_source(a, nullptr, 1, true);
        if (c.name) set_name(*s, c.name);
        settings.verbose = 1;
        auto lines = logged([&] { table.remove_source(a, c.by_timeout); });
        EXPECT_EQ(lines, lines_of(c.line));
        EXPECT_TRUE(table.sources.empty());
    }
    // Quiet at verbose 0, and for an unknown address.
    settings.verbose = 0;
    table.get_or_create_source(a, nullptr, 1, true);
    EXPECT_EQ(logged([&] { table.remove_source(a, true); }), lines_of());
    settings.verbose = 5;
    EXPECT_EQ(logged([&] { table.remove_source(a, true); }), lines_of());
}

TEST_F(SourceTableTest, RemovalLeavesOthersReportedEntriesAlone) {
    Address a = make_address("10.0.0.1", 10000);
    Address b = make_address("10.0.0.2", 10000);
    Source* sa = table.get_or_create_source(a, nullptr, 1, true);
    Source* sb = table.get_or_create_source(b, nullptr, 1, true);
    table.get_or_create_external(*sb, a, 1);
    table.get_or_create_external(*sa, b, 1);
    EXPECT_EQ(table.external_count(), 2u);
    table.remove_source(a, false);
    EXPECT_EQ(sb->external_sources.count(a), 1u);
    EXPECT_EQ(table.external_count(), 1u);
}

TEST_F(SourceTableTest, ExternalSources) {
    Source* s = table.get_or_create_source(make_address("10.0.0.1", 10000), nullptr, 1, true);
    settings.verbose = 1;
    Address x = make_address("10.0.0.9", 10000);
    ExternalSource* e = nullptr;
    auto lines = logged([&] { e = table.get_or_create_external(*s, x, 700); });
    EXPECT_EQ(lines, lines_of("Adding external source () 10.0.0.9/10000"));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->last_update_ms, 700u);
    EXPECT_EQ(e->age, 0u);
    EXPECT_FALSE(e->identified);
    EXPECT_EQ(e->asm_stats.valid, 0);
    EXPECT_EQ(e->ssm_stats.valid, 0);

    e->age = 55;
    lines = logged([&] { EXPECT_EQ(table.get_or_create_external(*s, x, 900), e); });
    EXPECT_EQ(lines, lines_of());
    EXPECT_EQ(e->last_update_ms, 900u);
    EXPECT_EQ(e->age, 55u);

    set_name(*s, "alpha");
    lines = logged([&] { table.get_or_create_external(*s, make_address("2001:db8::9", 10000), 1); });
    EXPECT_EQ(lines, lines_of("Adding external source (alpha) 2001:db8::9/10000"));

    settings.verbose = 0;
    lines = logged([&] { table.get_or_create_external(*s, make_address("10.0.0.10", 10000), 1); });
    EXPECT_EQ(lines, lines_of());
    EXPECT_EQ(table.external_count(), 3u);

    auto next = table.erase_external(*s, s->external_sources.begin());
    EXPECT_EQ(table.external_count(), 2u);
    EXPECT_EQ(s->external_sources.size(), 2u);
    EXPECT_EQ(next, s->external_sources.begin());
}

TEST_F(SourceTableTest, SetNameAlwaysIdentifies) {
    Source s;
    set_name(s, "");
    EXPECT_TRUE(s.identified);
    EXPECT_EQ(s.name, "");
    set_name(s, std::string(300, 'n'));
    EXPECT_EQ(s.name.size(), 300u);
}

TEST_F(SourceTableTest, RxLocal) {
    struct Case {
        double interval;
        uint64_t last_rx;
        uint64_t now;
        bool rxlocal;
    } cases[] = {
        {5.0, 100000, 100000 + 29999, true},
        {5.0, 100000, 100000 + 30000, false},
        {5.0, 100000, 100000, true},
        {10.0, 100000, 100000 + 59999, true},
        {10.0, 100000, 100000 + 60000, false},
        // Never heard directly: not local, however young the clock.
        {5.0, 0, 10, false},
        {5.0, 0, 100000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.interval << " " << c.last_rx << " " << c.now);
        beacon_interval = c.interval;
        Source s;
        s.last_local_rx_ms = c.last_rx;
        EXPECT_EQ(is_rxlocal(s, c.now), c.rxlocal);
    }
}

TEST_F(SourceTableTest, RecordProbeFeedsTheChannelAndLogsAtVerbose3) {
    Source s;
    set_name(s, "alpha");
    struct Case {
        int verbose;
        bool ssm;
        std::vector<std::string> lines;
    } cases[] = {
        {2, false, {}},
        {3, false, {"beacon(alpha) update 7000, 4000000000, 123456789012"}},
        {3, true, {"beacon(alpha/SSM) update 7000, 4000000000, 123456789012"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.verbose << c.ssm);
        s.asm_stats = ReceptionStats();
        s.ssm_stats = ReceptionStats();
        settings.verbose = c.verbose;
        auto lines = logged([&] { s.record_probe(50, 7000, 4000000000u, 123456789012ull, 4000000010ull, c.ssm); });
        EXPECT_EQ(lines, c.lines);
        const ReceptionStats& fed = c.ssm ? s.ssm_stats : s.asm_stats;
        const ReceptionStats& other = c.ssm ? s.asm_stats : s.ssm_stats;
        EXPECT_EQ(fed.received, 1u);
        EXPECT_EQ(fed.last_seq, 7000u);
        EXPECT_EQ(fed.delay_sum, 10);
        EXPECT_EQ(fed.figures.ttl, 50);
        EXPECT_EQ(fed.figures.updated_ms, 123456789012ull);
        EXPECT_EQ(other.received, 0u);
    }
    Source nameless;
    settings.verbose = 3;
    EXPECT_EQ(logged([&] { nameless.record_probe(1, 1, 2, 3, 4, false); }), lines_of("beacon() update 1, 2, 3"));
}

TEST_F(SourceTableTest, SourceBound) {
    for (size_t i = 0; i < MAX_SOURCES; ++i)
        ASSERT_NE(table.get_or_create_source(make_address("10.0.0.1", static_cast<uint16_t>(i + 1)), nullptr, 1, true),
                  nullptr);
    ASSERT_EQ(table.sources.size(), MAX_SOURCES);

    RecordingMembership ssm;
    table.ssm = &ssm;
    settings.verbose = 5;
    const std::string full = "Source table full (1024 sources, 0 reported entries): ignoring new beacons until entries expire";
    auto lines = logged([&] {
        EXPECT_EQ(table.get_or_create_source(make_address("10.0.0.2", 1), "x", 2, true), nullptr);
        EXPECT_EQ(table.get_or_create_source(make_address("10.0.0.3", 1), nullptr, 2, false), nullptr);
        // Known ones are still refreshed.
        Source* known = table.get_or_create_source(make_address("10.0.0.1", 5), nullptr, 3, true);
        ASSERT_NE(known, nullptr);
        EXPECT_EQ(known->last_update_ms, 3u);
    });
    EXPECT_EQ(lines, lines_of(full));
    EXPECT_EQ(ssm.calls, lines_of());
    EXPECT_EQ(table.sources.size(), MAX_SOURCES);

    // A new period may log the refusal again.
    table.new_expiry_period();
    lines = logged([&] { EXPECT_EQ(table.get_or_create_source(make_address("10.0.0.2", 1), nullptr, 4, true), nullptr); });
    EXPECT_EQ(lines, lines_of(full));

    // Room again once one is removed.
    settings.verbose = 0;
    table.remove_source(make_address("10.0.0.1", 1), true);
    EXPECT_NE(table.get_or_create_source(make_address("10.0.0.2", 1), nullptr, 5, true), nullptr);
    EXPECT_EQ(table.sources.size(), MAX_SOURCES);
}

TEST_F(SourceTableTest, ReportedEntryBounds) {
    // Per Source.
    Source* s = table.get_or_create_source(make_address("10.0.0.1", 1), nullptr, 1, true);
    for (size_t i = 0; i < MAX_EXTERNALS_PER_SOURCE; ++i)
        ASSERT_NE(table.get_or_create_external(*s, make_address("10.1.0.1", static_cast<uint16_t>(i + 1)), 1), nullptr);
    EXPECT_EQ(table.external_count(), MAX_EXTERNALS_PER_SOURCE);

    auto lines = logged([&] {
        EXPECT_EQ(table.get_or_create_external(*s, make_address("10.2.0.1", 1), 2), nullptr);
        EXPECT_EQ(table.get_or_create_external(*s, make_address("10.2.0.2", 1), 2), nullptr);
        ExternalSource* known = table.get_or_create_external(*s, make_address("10.1.0.1", 7), 3);
        ASSERT_NE(known, nullptr);
        EXPECT_EQ(known->last_update_ms, 3u);
    });
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(s->external_sources.size(), MAX_EXTERNALS_PER_SOURCE);

    // Over the whole table.
    table.clear();
    EXPECT_EQ(table.external_count(), 0u);
    const size_t holders = MAX_EXTERNALS_TOTAL / MAX_EXTERNALS_PER_SOURCE;
    for (size_t h = 0; h < holders; ++h) {
        Source* holder = table.get_or_create_source(make_address("10.0.0.1", static_cast<uint16_t>(h + 1)), nullptr, 1, true);
        for (size_t i = 0; i < MAX_EXTERNALS_PER_SOURCE; ++i)
            ASSERT_NE(table.get_or_create_external(*holder, make_address("10.1.0.1", static_cast<uint16_t>(i + 1)), 1),
                      nullptr);
    }
    ASSERT_EQ(table.external_count(), MAX_EXTERNALS_TOTAL);
    Source* extra = table.get_or_create_source(make_address("10.0.0.9", 1), nullptr, 1, true);
    lines = logged([&] { EXPECT_EQ(table.get_or_create_external(*extra, make_address("10.1.0.1", 1), 2), nullptr); });
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(extra->external_sources.empty());

    // Removing a holder gives back all of its entries.
    table.remove_source(make_address("10.0.0.1", 1), false);
    EXPECT_EQ(table.external_count(), MAX_EXTERNALS_TOTAL - MAX_EXTERNALS_PER_SOURCE);
    EXPECT_NE(table.get_or_create_external(*extra, make_address("10.1.0.1", 1), 3), nullptr);
    EXPECT_EQ(table.external_count(), MAX_EXTERNALS_TOTAL - MAX_EXTERNALS_PER_SOURCE + 1);

    size_t counted = 0;
    for (const auto& entry : table.sources) counted += entry.second.external_sources.size();
    EXPECT_EQ(table.external_count(), counted);
}

TEST(SourceTableGlobal, ProcessWideTableStartsEmptyWithoutSsm) {
    EXPECT_EQ(source_table.ssm, nullptr);
    EXPECT_EQ(source_table.external_count(), 0u);
}

}  // namespace
