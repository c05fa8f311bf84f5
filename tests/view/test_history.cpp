// The history: windows recorded once, the state-change log, identities over
// time, retention and the size limit, and the queries' checks.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "view/history.h"

using namespace view;

namespace {

constexpr std::time_t T0 = 1800000000;  // a whole hour

// Beacons 0 (local, 10.0.0.1), 1 and 2; beacon interval 5 s (stale above 30 s).
Model mesh(const std::string& port_of_1 = "2") {
    Model model;
    model.interval = 5;
    for (std::string address : {std::string("10.0.0.1/1"), "10.0.0.2/" + port_of_1, std::string("10.0.0.3/3")}) {
        Beacon b;
        b.address = address;
        model.beacons.push_back(b);
    }
    return model;
}

Measurement figures(int receiver, int sender, long age, double loss, double delay = 1.5, double jitter = 0.2) {
    Measurement m;
    m.receiver = receiver;
    m.sender = sender;
    m.age_s = age;
    m.loss = loss;
    m.delay = delay;
    m.jitter = jitter;
    m.ooo = 0;
    m.dup = 0;
    m.ttl = 1;
    return m;
}

Model with(Model model, std::vector<Measurement> measurements) {
    model.measurements = std::move(measurements);
    return model;
}

const CellKey CELL_01{"10.0.0.1", "10.0.0.2", Channel::Asm};

// The model of a dump written at written, looked at at now.
Records look(HistoryTracker& tracker, Model model, std::time_t written, std::time_t now, bool same = false) {
    model.written = written;
    return tracker.observe(model, now, same);
}

}  // namespace

TEST(HistoryTracker, AWindowIsRecordedOnceHoweverOftenTheDumpIsRead) {
    HistoryTracker tracker{Thresholds()};
    struct Step {
        const char* what;
        std::time_t dump_time;
        Model model;
        size_t samples;
    };
    Model restarted = mesh("9");  // beacon 1 started again: a new port
    Step steps[] = {
        {"first sight", T0, with(mesh(), {figures(0, 1, 2, 0)}), 1},
        {"the same file read again", T0, with(mesh(), {figures(0, 1, 2, 0)}), 0},
        {"rewritten, same window, jitter moved", T0 + 5, with(mesh(), {figures(0, 1, 6, 0, 1.5, 0.3)}), 0},
        {"rewritten, the window published a second later", T0 + 10, with(mesh(), {figures(0, 1, 10, 0)}), 0},
        {"new figures", T0 + 15, with(mesh(), {figures(0, 1, 1, 0, 1.6)}), 1},
        {"same figures, less than a window later", T0 + 30, with(mesh(), {figures(0, 1, 0, 0, 1.6)}), 0},
        {"same figures, less than two windows later", T0 + 49, with(mesh(), {figures(0, 1, 0, 0, 1.6)}), 0},
        {"same figures, two windows later", T0 + 50, with(mesh(), {figures(0, 1, 0, 0, 1.6)}), 1},
        // The old entry lingers beside the new one; the freshest figures win.
        {"the sender restarted", T0 + 54, with(restarted, {figures(0, 1, 0, 0, 1.6)}), 1},
        {"stale figures are no window", T0 + 100, with(mesh(), {figures(0, 1, 31, 5, 9)}), 0},
    };
    for (const Step& step : steps) {
        Records records = look(tracker, step.model, step.dump_time, step.dump_time);
        EXPECT_EQ(records.samples.size(), step.samples) << step.what;
        for (const Sample& s : records.samples) {
            EXPECT_EQ(s.cell, CELL_01) << step.what;
            EXPECT_TRUE(s.local);
            EXPECT_EQ(s.time, step.dump_time - *step.model.measurements[0].age_s) << step.what;
        }
    }
    // Two entries for one address (a restart) make one cell: the fresher one.
    Model both = mesh();
    both.beacons.push_back(Beacon{"10.0.0.2/77", {}, {}, {}, {}, {}});
    both.measurements = {figures(0, 1, 25, 0, 1.0), figures(0, 3, 1, 0, 2.0)};
    HistoryTracker fresh{Thresholds()};
    Records records = look(fresh, both, T0, T0);
    ASSERT_EQ(records.samples.size(), 1u);
    EXPECT_EQ(records.samples[0].figures.delay, 2.0);
}

TEST(HistoryTracker, StateChangesByThresholdsStaleAndGone) {
    HistoryTracker tracker{Thresholds()};  // loss degraded from 1 %, bad from 5 %
    struct Step {
        const char* what;
        std::time_t dump_time, now;
        std::vector<Measurement> measurements;
        std::vector<std::pair<CellState, std::time_t>> changes;  // of cell 0 <- 1
    };
    Step steps[] = {
        {"first sight", T0, T0, {figures(0, 1, 0, 0.9)}, {{CellState::Good, T0}}},
        {"just at the degraded limit", T0 + 20, T0 + 20, {figures(0, 1, 0, 1.0)}, {{CellState::Degraded, T0 + 20}}},
        {"just below bad", T0 + 40, T0 + 40, {figures(0, 1, 0, 4.9)}, {}},
        {"bad, published 2 s before the dump", T0 + 60, T0 + 60, {figures(0, 1, 2, 5.0)}, {{CellState::Bad, T0 + 58}}},
        {"good again", T0 + 80, T0 + 80, {figures(0, 1, 0, 0.0)}, {{CellState::Good, T0 + 80}}},
        // Age 10 + dump age 20 = 30: at the limit, not above it.
        {"dump not rewritten, at the limit", T0 + 90, T0 + 110, {figures(0, 1, 10, 0.0)}, {}},
        {"dump not rewritten, past the limit",
         T0 + 90,
         T0 + 111,
         {figures(0, 1, 10, 0.0)},
         {{CellState::Stale, T0 + 111}}},
        {"still stale", T0 + 90, T0 + 200, {figures(0, 1, 10, 0.0)}, {}},
        {"fresh again", T0 + 210, T0 + 210, {figures(0, 1, 0, 0.0)}, {{CellState::Good, T0 + 210}}},
        {"no longer listed", T0 + 220, T0 + 221, {}, {{CellState::Gone, T0 + 220}}},
        {"still not listed", T0 + 230, T0 + 231, {}, {}},
        {"back", T0 + 240, T0 + 240, {figures(0, 1, 0, 0.0)}, {{CellState::Good, T0 + 240}}},
    };
    for (const Step& step : steps) {
        Records records = look(tracker, with(mesh(), step.measurements), step.dump_time, step.now);
        std::vector<std::pair<CellState, std::time_t>> changes;
        for (const StateChange& c : records.changes) changes.emplace_back(c.state, c.time);
        EXPECT_EQ(changes, step.changes) << step.what;
        for (const StateChange& c : records.changes) EXPECT_EQ(c.figures.has_value(), c.state != CellState::Gone);
    }
    // Looked at again unchanged, a model needs no work until a figure can
    // have turned stale; then the change is found, at its time.
    HistoryTracker again{Thresholds()};
    Model unchanged = with(mesh(), {figures(0, 1, 10, 0.0)});
    look(again, unchanged, T0, T0);
    EXPECT_TRUE(look(again, unchanged, T0, T0 + 20, true).changes.empty());
    Records late = look(again, unchanged, T0, T0 + 25, true);
    ASSERT_EQ(late.changes.size(), 1u);
    EXPECT_EQ(late.changes[0].state, CellState::Stale);
    EXPECT_EQ(late.changes[0].time, T0 + 21);

    // A delay judged by its absolute value: -300 ms is bad.
    HistoryTracker clock{Thresholds()};
    Records future = look(clock, with(mesh(), {figures(0, 1, 0, 0, -300)}), T0, T0);
    ASSERT_EQ(future.changes.size(), 1u);
    EXPECT_EQ(future.changes[0].state, CellState::Bad);
}

TEST(HistoryTracker, IdentitiesOverTimeAndResumedState) {
    HistoryTracker tracker{Thresholds()};
    Model model = with(mesh(), {figures(0, 1, 0, 0)});
    model.beacons[1].name = "beta";
    EXPECT_EQ(look(tracker, model, T0, T0).identities.size(), 3u);
    EXPECT_TRUE(look(tracker, model, T0 + 5, T0 + 5).identities.empty());
    model.beacons[1].address = "10.0.0.2/999";  // a restart alone changes no identity
    EXPECT_TRUE(look(tracker, model, T0 + 10, T0 + 10).identities.empty());
    model.beacons[1].name = "beta2";
    Records renamed = look(tracker, model, T0 + 15, T0 + 15);
    ASSERT_EQ(renamed.identities.size(), 1u);
    EXPECT_EQ(renamed.identities[0].beacon, "10.0.0.2");
    EXPECT_EQ(renamed.identities[0].name, "beta2");

    // After a restart of serve: no window recorded twice, no state logged twice.
    HistoryTracker resumed{Thresholds()};
    resumed.resume(CELL_01, T0, CellState::Good);
    Records again = look(resumed, with(mesh(), {figures(0, 1, 0, 0)}), T0 + 1, T0 + 1);
    EXPECT_TRUE(again.samples.empty());
    EXPECT_TRUE(again.changes.empty());
}

namespace {

Snapshot snapshot(Model model, std::time_t modified) {
    Snapshot s;
    s.model = std::move(model);
    s.model.written = modified;
    s.modified = modified;
    return s;
}

nlohmann::json answer(HistoryAnswer a) {
    EXPECT_EQ(a.status, 200u) << a.body;
    return nlohmann::json::parse(a.body);
}

}  // namespace

// Rows in a table of a history file.
long long rows(const std::string& path, const char* table) {
    sqlite3* db = nullptr;
    sqlite3_stmt* count = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &count, nullptr);
    long long n = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -1;
    sqlite3_finalize(count);
    sqlite3_close(db);
    return n;
}

TEST(History, RecordsQueriesAndPrunesByTier) {
    HistoryOptions options;
    options.path = testing::TempDir() + "history-tiers-" + std::to_string(getpid()) + ".db";
    History history(options);
    // Two days of windows every 30 s: 0 <- 1 is the local beacon's row, 1 <- 2
    // a cell of two others.  Loss 10 % in the first hour, 0 after.
    for (std::time_t t = T0; t < T0 + 2 * DAY_S; t += 30) {
        double loss = t < T0 + 3600 ? 10.0 : 0.0;
        double delay = 1.0 + static_cast<double>((t - T0) / 30 % 3);  // 1, 2, 3 ms
        history.record(snapshot(with(mesh(), {figures(0, 1, 0, loss, delay), figures(1, 2, 0, loss, delay)}), t), t);
    }
    std::time_t now = T0 + 2 * DAY_S;
    history.maintain(now);

    auto cell = [&](const char* receiver, const char* sender, std::time_t from, std::time_t to) {
        return answer(history.history(
            {{"receiver", receiver}, {"sender", sender}, {"from", std::to_string(from)}, {"to", std::to_string(to)}},
            now));
    };
    // Full resolution: the local row for the whole two days, the other cell
    // only for the last day.
    nlohmann::json local = cell("10.0.0.1", "10.0.0.2/2", T0, T0 + 3599);
    EXPECT_EQ(local["resolution"], "window");
    EXPECT_EQ(local["points"].size(), 120u);
    EXPECT_EQ(local["points"][0], nlohmann::json::parse("[1800000000,10.0,1.0,0.2]"));
    EXPECT_EQ(cell("10.0.0.2", "10.0.0.3", T0, T0 + 3600)["points"].size(), 0u);
    EXPECT_EQ(cell("10.0.0.2", "10.0.0.3", now - 3600, now)["points"].size(), 120u);

    // Hourly min/mean/max for both, over their whole span.
    nlohmann::json hours = cell("10.0.0.2", "10.0.0.3", T0, now);
    EXPECT_EQ(hours["resolution"], "hour");
    ASSERT_EQ(hours["points"].size(), 48u);
    EXPECT_EQ(hours["points"][0], nlohmann::json::parse("[1800000000,10.0,10.0,10.0,1.0,2.0,3.0,0.2,0.2,0.2]"));
    EXPECT_EQ(hours["points"][1][2], 0.0);

    // The state log: bad from the first window, good an hour later.
    nlohmann::json events = answer(history.events({{"beacon", "10.0.0.3"}}, now));
    ASSERT_EQ(events["events"].size(), 2u);
    EXPECT_EQ(events["events"][0]["state"], "good");
    EXPECT_EQ(events["events"][0]["time"], T0 + 3600);
    EXPECT_EQ(events["events"][1]["state"], "bad");
    EXPECT_EQ(events["events"][1]["loss_percent"], 10.0);

    // A week later the local row's windows are gone too; hourly ones stay
    // for 90 days, the events for 400.
    history.maintain(T0 + 8 * DAY_S);
    EXPECT_EQ(cell("10.0.0.1", "10.0.0.2", T0, T0 + 3600)["points"].size(), 0u);
    EXPECT_EQ(cell("10.0.0.1", "10.0.0.2", T0, now)["points"].size(), 48u);
    history.maintain(T0 + 93 * DAY_S);
    EXPECT_EQ(cell("10.0.0.1", "10.0.0.2", T0, now)["points"].size(), 0u);
    EXPECT_EQ(answer(history.events({{"since", "0"}}, now))["events"].size(), 4u);
    // Cells stay while their events do; with nothing left of them, they go.
    EXPECT_EQ(rows(options.path, "cell"), 2);
    history.maintain(T0 + 401 * DAY_S);
    EXPECT_EQ(answer(history.events({{"since", "0"}}, now))["events"].size(), 0u);
    EXPECT_EQ(rows(options.path, "cell"), 0);
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((options.path + suffix).c_str());
}

TEST(History, OverTheSizeLimitTheOldestGoFirstTheLocalCellsLast) {
    HistoryOptions options;
    options.max_mb = 2;
    History history(options);
    // 16 beacons, every cell a window every 20 s for 3 hours: several MB.
    Model model;
    model.interval = 5;
    for (int i = 0; i < 16; ++i)
        model.beacons.push_back(Beacon{"10.0.1." + std::to_string(i) + "/1", {}, {}, {}, {}, {}});
    for (std::time_t t = T0; t < T0 + 3 * 3600; t += 20) {
        model.measurements.clear();
        for (int r = 0; r < 16; ++r)
            for (int s = 0; s < 16; ++s)
                if (r != s) model.measurements.push_back(figures(r, s, 0, 0, 1.0 + static_cast<double>(t % 7)));
        history.record(snapshot(model, t), t);
    }
    std::time_t now = T0 + 3 * 3600;
    history.maintain(now);
    EXPECT_LE(history.used_bytes(), 2 * 1048576);
    auto points = [&](const char* receiver, const char* sender) {
        return answer(history.history(
            {{"receiver", receiver}, {"sender", sender}, {"from", std::to_string(T0)}, {"to", std::to_string(now)}},
            now))["points"];
    };
    // The local beacon's row keeps its first windows; another cell lost them.
    EXPECT_EQ(points("10.0.1.0", "10.0.1.5")[0][0], T0);
    nlohmann::json other = points("10.0.1.4", "10.0.1.5");
    ASSERT_FALSE(other.empty());
    EXPECT_GT(other[0][0].get<long long>(), T0 + 1800);
}

TEST(History, QueriesCheckTheirParameters) {
    History history(HistoryOptions{});
    history.record(snapshot(with(mesh(), {figures(0, 1, 0, 0)}), T0), T0);
    struct Case {
        std::map<std::string, std::string> query;
        bool events;
        unsigned status;
        const char* reason;
    };
    Case cases[] = {
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}}, false, 200, ""},
        {{{"receiver", "10.0.0.1/5"}, {"sender", "fe80::1"}, {"channel", "ssm"}}, false, 200, ""},
        {{{"receiver", "10.0.0.1"}}, false, 400, "sender wants a beacon's address"},
        {{{"receiver", "10.0.0.1"}, {"sender", "<script>"}}, false, 400, "sender wants a beacon's address (ADDR or"},
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}, {"channel", "x"}}, false, 400, "channel wants asm or ssm"},
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}, {"from", "-1"}}, false, 400, "from wants a time"},
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}, {"from", "10"}, {"to", "9"}},
         false,
         400,
         "from is after to"},
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}, {"from", "0"}, {"to", "34560001"}},
         false,
         400,
         "from and to are more than 400"},
        {{{"receiver", "10.0.0.1"}, {"sender", "10.0.0.2"}, {"from", "0"}, {"to", "34560000"}}, false, 200, ""},
        {{{"limit", "1000"}, {"state", "gone"}}, true, 200, ""},
        {{{"limit", "1001"}}, true, 400, "limit wants"},
        {{{"state", "red"}}, true, 400, "state wants good"},
        {{{"beacon", "10.0.0.1"}, {"x", "1"}}, true, 400, "unknown parameter \"x\""},
    };
    for (const Case& c : cases) {
        HistoryAnswer a = c.events ? history.events(c.query, T0) : history.history(c.query, T0);
        EXPECT_EQ(a.status, c.status) << a.body;
        if (c.status == 400) {
            EXPECT_EQ(a.body.rfind(c.reason, 0), 0u) << a.body;
            EXPECT_EQ(a.body.find('\n'), std::string::npos);
        }
    }
}
