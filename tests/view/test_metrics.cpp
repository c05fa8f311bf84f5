// Pairs of beacons, clock suspects and the Prometheus exposition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <sstream>

#include "view/json_output.h"
#include "view/metrics.h"
#include "view/pairs.h"
#include "view_test_util.h"

using namespace view;

namespace {

// A mesh where every beacon measures every other on ASM: path delay `path`
// ms each way, and each beacon's clock shifted by shift[i] ms.  What y
// measures of x is the path plus y's clock minus x's.
Model shifted_mesh(const std::vector<double>& shift, double path) {
    Model model;
    model.group = "239.1.2.3/10000";
    model.interval = 5;
    for (size_t i = 0; i < shift.size(); ++i) {
        Beacon beacon;
        beacon.address = "10.77.0." + std::to_string(i + 1) + "/10000";
        beacon.name = "b" + std::to_string(i);
        model.beacons.push_back(beacon);
    }
    for (size_t y = 0; y < shift.size(); ++y)
        for (size_t x = 0; x < shift.size(); ++x) {
            if (x == y) continue;
            Measurement m;
            m.receiver = static_cast<int>(y);
            m.sender = static_cast<int>(x);
            m.age_s = 1;
            m.loss = 0;
            m.delay = path + shift[y] - shift[x];
            m.future = *m.delay < 0;
            model.measurements.push_back(m);
        }
    return model;
}

TEST(Pairs, RoundTripAndClockOffsetFromBothOneWayDelays) {
    Model model = shifted_mesh({0, 25, -3.5}, 2);
    std::vector<Pair> pairs = find_pairs(model);
    ASSERT_EQ(pairs.size(), 3u);
    struct {
        int a, b;
        double offset;
    } expected[] = {{0, 1, 25}, {0, 2, -3.5}, {1, 2, -28.5}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pairs[i].a, expected[i].a);
        EXPECT_EQ(pairs[i].b, expected[i].b);
        EXPECT_EQ(pairs[i].clock_offset_ms, expected[i].offset);  // b's clock ahead when positive
        EXPECT_EQ(pairs[i].round_trip_ms, 4);                    // no clock in it
    }

    // One direction missing, or only on the other channel: no pair.
    model.measurements.erase(model.measurements.begin());  // b1 -> b0
    model.measurements[0].channel = Channel::Ssm;           // b2 -> b0 now on SSM
    pairs = find_pairs(model);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].a, 1);
    EXPECT_EQ(pairs[0].b, 2);
}

TEST(Pairs, ClockSuspectIsTheBeaconOffFromMostOfItsPeers) {
    struct {
        const char* what;
        std::vector<double> shift;  // each beacon's clock, ms
        double path;                // ms each way
        double threshold;
        std::vector<int> suspects;
    } cases[] = {
        {"a LAN: clocks 0.5 and 0.16 ms apart, probes from the future", {0, -0.5, 0.16}, 0.2, 10, {}},
        {"a receiver lagging 40 ms sees its senders from the future", {0, 1, -40, 0.5}, 0.2, 10, {2}},
        {"the same on long paths (no future at all)", {0, 1, -40, 0.5}, 60, 10, {2}},
        {"40 ms is not above a 50 ms threshold", {0, 1, -40, 0.5}, 60, 50, {}},
        {"one beacon 300 ms ahead", {0, 0.3, 300, -0.2}, 0.2, 10, {2}},
        {"an offset at the threshold is not above it", {0, 0, 10, 0}, 0.5, 10, {}},
        {"two beacons 12 ms apart: each is off from its only peer", {0, 12}, 0.5, 10, {0, 1}},
    };
    for (const auto& c : cases) {
        Model model = shifted_mesh(c.shift, c.path);
        EXPECT_EQ(clock_suspects(model, find_pairs(model), c.threshold), c.suspects) << c.what;
    }

    // A one-way delay from the future is an offset of at least its size,
    // for that pair only: with the other direction missing, beacon 1 (300
    // ms ahead) is still off from all three peers.
    Model model = shifted_mesh({0, 300, 0, 0}, 0.2);
    model.measurements.erase(std::remove_if(model.measurements.begin(), model.measurements.end(),
                                            [](const Measurement& m) { return m.receiver == 1; }),
                             model.measurements.end());
    EXPECT_EQ(clock_suspects(model, find_pairs(model), 10), std::vector<int>{1});

    // Stale figures accuse nobody: old in the dump, or in a dump that is old.
    model = shifted_mesh({0, 1, -40, 0.5}, 60);
    for (Measurement& m : model.measurements) m.age_s = 31;
    EXPECT_TRUE(clock_suspects(model, find_pairs(model), 10).empty());
    model = shifted_mesh({0, 1, -40, 0.5}, 60);
    model.written = 1000;
    model.judged = 1030;  // figures 1 s old in a dump written 30 s ago
    EXPECT_TRUE(clock_suspects(model, find_pairs(model), 10).empty());
    for (const Pair& pair : find_pairs(model)) EXPECT_TRUE(pair.stale && !pair.round_trip_ms && !pair.clock_offset_ms);
}

TEST(Json, PairsAndClockSuspectsInTheDocument) {
    Model model = shifted_mesh({0, 12}, 1);
    std::string json = model_json(model);
    EXPECT_NE(json.find("\"pairs\":[{\"a\":0,\"b\":1,\"channel\":\"asm\",\"round_trip_ms\":2.0,\"clock_offset_ms\":12.0,"
                        "\"stale\":false}]"),
              std::string::npos)
        << json;
    // Two beacons 12 ms apart: each is off from its only peer.
    EXPECT_NE(json.find("\"clock_suspect\":[0,1]"), std::string::npos) << json;
}

std::vector<std::string> series_of(const std::string& text, const std::string& name) {
    std::vector<std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(name + "{", 0) == 0 || line.rfind(name + " ", 0) == 0) out.push_back(line);
    return out;
}

MetricsInput input_for(const Model& model, const std::vector<Pair>& pairs, const std::vector<int>& suspects, bool all) {
    MetricsInput input;
    input.model = &model;
    input.pairs = &pairs;
    input.clock_suspects = &suspects;
    input.all = all;
    input.dump_interval_s = 10;
    input.dump_overdue_after_s = 30;
    input.read_errors = 3;
    input.version = "1.2";
    return input;
}

TEST(Metrics, ScopeUnitsAndStaleness) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    model.written = 1700000000;
    model.judged = model.written.value() + 2;
    std::vector<Pair> pairs = find_pairs(model);
    std::vector<int> suspects = clock_suspects(model, pairs, 10);

    std::string local = render_metrics(input_for(model, pairs, suspects, false));
    const std::string labels =
        "{receiver=\"alpha <script>\",sender=\"b\u00C8ta\t'\",receiver_address=\"10.77.0.1\","
        "sender_address=\"10.77.0.2\",channel=\"asm\"}";
    EXPECT_EQ(series_of(local, "quillon_loss_ratio"),
              (std::vector<std::string>{"quillon_loss_ratio" + labels + " 0.025",
                                        "quillon_loss_ratio" + std::regex_replace(labels, std::regex("asm"), "ssm") +
                                            " 0"}));
    EXPECT_EQ(series_of(local, "quillon_delay_seconds")[0], "quillon_delay_seconds" + labels + " -0.00125");
    EXPECT_EQ(series_of(local, "quillon_reorder_ratio")[0], "quillon_reorder_ratio" + labels + " 0.0025");
    EXPECT_EQ(series_of(local, "quillon_hops").size(), 1u);  // the SSM line has no ttl
    EXPECT_EQ(series_of(local, "quillon_figures_timestamp_seconds")[0],
              "quillon_figures_timestamp_seconds" + labels + " 1699999997");
    EXPECT_EQ(series_of(local, "quillon_dump_timestamp_seconds"),
              std::vector<std::string>{"quillon_dump_timestamp_seconds 1700000000"});
    EXPECT_EQ(series_of(local, "quillon_dump_overdue_after_seconds"),
              std::vector<std::string>{"quillon_dump_overdue_after_seconds 30"});
    EXPECT_TRUE(series_of(local, "quillon_dump_age_seconds").empty());
    EXPECT_EQ(series_of(local, "quillon_beacons"), std::vector<std::string>{"quillon_beacons 3"});
    EXPECT_EQ(series_of(local, "quillon_dump_read_errors_total"),
              std::vector<std::string>{"quillon_dump_read_errors_total 3"});
    EXPECT_EQ(series_of(local, "quillon_receive_bytes_per_second"),
              std::vector<std::string>{"quillon_receive_bytes_per_second 153.75"});  // 1.23 Kb/s
    EXPECT_EQ(series_of(local, "quillon_build_info"), std::vector<std::string>{"quillon_build_info{version=\"1.2\"} 1"});
    ASSERT_EQ(series_of(local, "quillon_beacon_info").size(), 3u);
    EXPECT_EQ(series_of(local, "quillon_beacon_info")[0],
              "quillon_beacon_info{beacon=\"alpha <script>\",address=\"10.77.0.1\","
              "contact=\"a&b@x\",country=\"DE\",ssm=\"true\",ssmping=\"true\"} 1");
    // 1.25 ms "from the future" is no clock error against a 10 ms threshold.
    EXPECT_EQ(series_of(local, "quillon_beacon_clock_suspect")[1],
              "quillon_beacon_clock_suspect{beacon=\"b\u00C8ta\t'\",address=\"10.77.0.2\"} 0");
    // The only pair has a stale direction (100 s old > 6 x 5 s).
    EXPECT_TRUE(series_of(local, "quillon_pair_clock_offset_seconds").empty());

    // --all adds what the remote beacon reports, except the stale line.
    std::string all = render_metrics(input_for(model, pairs, suspects, true));
    EXPECT_EQ(series_of(all, "quillon_beacon_info").size(), 3u);
    std::vector<std::string> loss = series_of(all, "quillon_loss_ratio");
    ASSERT_EQ(loss.size(), 3u);
    EXPECT_NE(loss[2].find("receiver=\"b\u00C8ta\t'\",sender=\"gamma\""), std::string::npos);
    EXPECT_NE(loss[2].find("} 0.1"), std::string::npos);

    // Pairs: by default those with the local beacon, with --all every one.
    Model mesh = shifted_mesh({0, 4, 0}, 10);
    std::vector<Pair> mesh_pairs = find_pairs(mesh);
    std::vector<int> none;
    EXPECT_EQ(series_of(render_metrics(input_for(mesh, mesh_pairs, none, false)), "quillon_pair_round_trip_seconds").size(), 2u);
    std::vector<std::string> offsets =
        series_of(render_metrics(input_for(mesh, mesh_pairs, none, true)), "quillon_pair_clock_offset_seconds");
    ASSERT_EQ(offsets.size(), 3u);
    EXPECT_EQ(offsets[0], "quillon_pair_clock_offset_seconds{a=\"b0\",b=\"b1\",a_address=\"10.77.0.1\","
                          "b_address=\"10.77.0.2\",channel=\"asm\"} 0.004");

    // Another exporter's dump lists the beacons in another order; the pair
    // keeps its name and its sign.
    std::swap(mesh.beacons[0], mesh.beacons[1]);
    for (Measurement& m : mesh.measurements) {
        m.receiver = m.receiver < 2 ? 1 - m.receiver : m.receiver;
        m.sender = m.sender < 2 ? 1 - m.sender : m.sender;
    }
    mesh_pairs = find_pairs(mesh);
    EXPECT_EQ(series_of(render_metrics(input_for(mesh, mesh_pairs, none, true)), "quillon_pair_clock_offset_seconds")[0],
              offsets[0]);
}

TEST(Metrics, NetworkTextsCannotBreakALineOrForgeASeries) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    model.beacons[1].name = "x\"} 1\nquillon_forged{a=\"\\";
    model.beacons[1].contact = std::string("bad \xff utf8 \xe2\x82");
    model.beacons[2].country = "\r\n";
    std::vector<Pair> pairs;
    std::vector<int> suspects;
    std::string text = render_metrics(input_for(model, pairs, suspects, true));

    EXPECT_EQ(label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(label_value("\xff\xc3\xa9"), "\xEF\xBF\xBD\xC3\xA9");
    EXPECT_EQ(text.find("\nquillon_forged"), std::string::npos);
    // Every line a comment or one sample: name, optional well-formed
    // labels, value.
    const std::regex sample(R"re([a-z_]+(\{([a-z_]+="([^"\\\n]|\\.)*",?)*\})? -?[0-9][0-9.e+-]*)re");
    std::istringstream lines(text);
    std::string line;
    int samples = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("# ", 0) == 0) continue;
        EXPECT_TRUE(std::regex_match(line, sample)) << line;
        ++samples;
    }
    EXPECT_GT(samples, 20);
}

}  // namespace
