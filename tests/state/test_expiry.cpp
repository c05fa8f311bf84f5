// Expiry of silent beacons, of entries their reporters stopped listing, and
// of stale figures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "scheduler/clock.h"
#include "state/expiry.h"
#include "state/source_table.h"
#include "tests/state/support.h"

namespace {

constexpr uint64_t NOW = 10000000;

class ExpiryTest : public testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
        source_table.clear();
        source_table.ssm = nullptr;
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
        source_table.clear();
        source_table.ssm = nullptr;
    }

    // A Source last refreshed `age` ms before NOW.
    Source& add(const char* host, uint16_t port, uint64_t age) {
        Source* s = table.get_or_create_source(make_address(host, port), nullptr, NOW - age, true);
        EXPECT_NE(s, nullptr);
        return *s;
    }

    std::vector<std::string> run(uint64_t now = NOW) {
        testing::internal::CaptureStderr();
        expire_sources_at(table, now);
        return log_messages(testing::internal::GetCapturedStderr());
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const auto& entry : table.sources) out.push_back(entry.first.to_string(true));
        return out;
    }

    SourceTable table;
};

TEST_F(ExpiryTest, TimeoutIsStrict) {
    RecordingMembership ssm;
    table.ssm = &ssm;
    Source& kept = add("10.0.0.1", 10000, 30000);
    add("10.0.0.2", 10000, 30001);
    set_name(kept, "kept");
    ssm.calls.clear();
    settings.verbose = 1;

    EXPECT_EQ(run(), lines_of("Removing source 10.0.0.2/10000 by Timeout"));
    EXPECT_EQ(keys(), lines_of("10.0.0.1/10000"));
    EXPECT_EQ(ssm.calls, lines_of("leave 10.0.0.2/10000"));

    // An identified Source names itself in the line.
    EXPECT_EQ(run(NOW + 1), lines_of("Removing source 10.0.0.1/10000 [kept] by Timeout"));
    EXPECT_TRUE(table.sources.empty());
}

TEST_F(ExpiryTest, QuietAtVerboseZero) {
    add("10.0.0.2", 10000, 40000);
    EXPECT_EQ(run(), lines_of());
    EXPECT_TRUE(table.sources.empty());
}

TEST_F(ExpiryTest, AdjacentStaleSourcesAreBothRemoved) {
    // Key order: 10.0.0.1/1, 10.0.0.2/1, 10.0.0.3/1, 10.0.0.4/1, then IPv6.
    add("10.0.0.1", 1, 100);
    add("10.0.0.2", 1, 40000);
    add("10.0.0.3", 1, 50000);
    add("10.0.0.4", 1, 100);
    add("2001:db8::1", 1, 60000);
    add("2001:db8::2", 1, 70000);
    settings.verbose = 1;
    EXPECT_EQ(run(), lines_of("Removing source 10.0.0.2/1 by Timeout", "Removing source 10.0.0.3/1 by Timeout",
                                   "Removing source 2001:db8::1/1 by Timeout",
                                   "Removing source 2001:db8::2/1 by Timeout"));
    EXPECT_EQ(keys(), lines_of("10.0.0.1/1", "10.0.0.4/1"));
}

TEST_F(ExpiryTest, EverySourceStale) {
    for (uint16_t port = 1; port <= 20; ++port) add("10.0.0.1", port, 30001 + port);
    run();
    EXPECT_TRUE(table.sources.empty());
}

TEST_F(ExpiryTest, StaleFiguresLoseValidOnly) {
    Source& s = add("10.0.0.1", 10000, 5000);  // a report 5 s ago
    s.asm_stats.figures.valid = 1;
    s.asm_stats.figures.updated_ms = NOW - 31000;
    s.asm_stats.figures.delay = 12.0f;
    s.asm_stats.expected = 7;
    s.ssm_stats.figures.valid = 1;
    s.ssm_stats.figures.updated_ms = NOW - 30000;

    // Another beacon whose figures go: the matrix loses two beacons'
    // figures, which the log says, whatever the verbosity.
    settings.verbose = 0;
    Source& other = add("10.0.0.2", 10000, 5000);
    other.ssm_stats.figures.valid = 1;
    other.ssm_stats.figures.updated_ms = NOW - 40000;

    EXPECT_EQ(run(), lines_of("Figures of 2 beacons expired: no probe from them for 30 s"));
    ASSERT_EQ(table.sources.size(), 2u);
    EXPECT_EQ(s.asm_stats.figures.valid, 0);
    EXPECT_EQ(s.asm_stats.figures.delay, 12.0f);
    EXPECT_EQ(s.asm_stats.expected, 7u);
    EXPECT_EQ(s.ssm_stats.figures.valid, 1);
    EXPECT_EQ(run(), lines_of()) << "said once";
}

TEST_F(ExpiryTest, StaleReportedEntryIsDroppedSilently) {
    Source& s = add("10.0.0.1", 10000, 100);
    set_name(s, "owner");
    struct Entry {
        const char* host;
        uint64_t age;
        uint64_t asm_age;
        bool kept;
        bool asm_valid;
    } entries[] = {
        {"10.0.0.5", 30001, 0, false, false},     // first in order
        {"10.0.0.6", 100, 100, true, true},
        {"10.0.0.7", 30000, 30001, true, false},  // kept, its figures go invalid
        {"10.0.0.8", 90000, 0, false, false},     // adjacent stale entries
        {"10.0.0.9", 45000, 0, false, false},
    };
    for (const Entry& e : entries) {
        ExternalSource* x = table.get_or_create_external(s, make_address(e.host, 10000), NOW - e.age);
        ASSERT_NE(x, nullptr);
        x->asm_stats.valid = 1;
        x->asm_stats.updated_ms = NOW - e.asm_age;
        x->ssm_stats.valid = 1;
        x->ssm_stats.updated_ms = NOW - e.asm_age;
    }
    ASSERT_EQ(table.external_count(), 5u);
    settings.verbose = 5;

    EXPECT_EQ(run(), lines_of());
    ASSERT_EQ(table.sources.size(), 1u);
    for (const Entry& e : entries) {
        auto it = s.external_sources.find(make_address(e.host, 10000));
        EXPECT_EQ(it != s.external_sources.end(), e.kept) << e.host;
        if (it != s.external_sources.end()) {
            EXPECT_EQ(it->second.asm_stats.valid, e.asm_valid) << e.host;
            EXPECT_EQ(it->second.ssm_stats.valid, e.asm_valid) << e.host;
        }
    }
    EXPECT_EQ(table.external_count(), 2u);
}

TEST_F(ExpiryTest, RemovedSourceGivesBackItsEntries) {
    Source& stale = add("10.0.0.1", 1, 40000);
    for (uint16_t p = 1; p <= 3; ++p) table.get_or_create_external(stale, make_address("10.9.0.1", p), NOW);
    Source& fresh = add("10.0.0.2", 1, 0);
    table.get_or_create_external(fresh, make_address("10.9.0.1", 1), NOW);
    ASSERT_EQ(table.external_count(), 4u);
    run();
    EXPECT_EQ(table.external_count(), 1u);
}

TEST_F(ExpiryTest, GrownBeaconIntervalStretchesEveryTest) {
    beacon_interval = 10.0;
    Source& a = add("10.0.0.1", 1, 60000);
    add("10.0.0.2", 1, 60001);
    a.asm_stats.figures.valid = 1;
    a.asm_stats.figures.updated_ms = NOW - 60000;
    a.ssm_stats.figures.valid = 1;
    a.ssm_stats.figures.updated_ms = NOW - 60001;
    table.get_or_create_external(a, make_address("10.9.0.1", 1), NOW - 60000);
    table.get_or_create_external(a, make_address("10.9.0.2", 1), NOW - 60001);

    run();
    EXPECT_EQ(keys(), lines_of("10.0.0.1/1"));
    EXPECT_EQ(a.asm_stats.figures.valid, 1);
    EXPECT_EQ(a.ssm_stats.figures.valid, 0);
    ASSERT_EQ(a.external_sources.size(), 1u);
    EXPECT_EQ(a.external_sources.begin()->first.to_string(true), "10.9.0.1/1");
}

TEST_F(ExpiryTest, EachRunOpensANewRefusalPeriod) {
    for (size_t i = 0; i < MAX_SOURCES; ++i)
        table.get_or_create_source(make_address("10.0.0.1", static_cast<uint16_t>(i + 1)), nullptr, NOW, true);
    auto refuse = [&] {
        testing::internal::CaptureStderr();
        EXPECT_EQ(table.get_or_create_source(make_address("10.0.0.2", 1), nullptr, NOW, true), nullptr);
        return log_messages(testing::internal::GetCapturedStderr()).size();
    };
    EXPECT_EQ(refuse(), 1u);
    EXPECT_EQ(refuse(), 0u);
    run();
    EXPECT_EQ(table.sources.size(), MAX_SOURCES);
    EXPECT_EQ(refuse(), 1u);
    EXPECT_EQ(refuse(), 0u);
}

TEST_F(ExpiryTest, EmptyTableIsFine) {
    EXPECT_EQ(run(), lines_of());
    EXPECT_TRUE(table.sources.empty());
}

TEST_F(ExpiryTest, ProcessWideTableUsesTheClock) {
    uint64_t now = now_ms();
    if (now < 40000) GTEST_SKIP() << "monotonic clock too young";
    Address fresh = make_address("10.0.0.1", 1);
    Address stale = make_address("10.0.0.2", 1);
    source_table.get_or_create_source(fresh, nullptr, now, true);
    source_table.get_or_create_source(stale, nullptr, now - 30001 - 1, true);
    expire_sources();
    EXPECT_EQ(source_table.sources.count(fresh), 1u);
    EXPECT_EQ(source_table.sources.count(stale), 0u);

    source_table.clear();
    expire_sources();  // empty: nothing to do
    EXPECT_TRUE(source_table.sources.empty());
}

}  // namespace
