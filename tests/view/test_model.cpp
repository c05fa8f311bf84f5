#include "view/model.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include "view_test_util.h"

using namespace view;

namespace {

TEST(DumpReader, BeaconsInDumpOrderWithTheDaemonsEscapesUndone) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    EXPECT_EQ(model.group, "239.1.2.3/10000");
    EXPECT_EQ(model.ssm_group, "232.2.3.2/10000");
    EXPECT_DOUBLE_EQ(model.interval, 5.0);
    EXPECT_EQ(model.local, 0);
    ASSERT_EQ(model.beacons.size(), 3u);

    const Beacon& local = model.beacons[0];
    EXPECT_EQ(local.address, "10.77.0.1/43210");
    EXPECT_EQ(local.name, "alpha <script>");
    EXPECT_EQ(local.contact, "a&b@x");
    EXPECT_EQ(local.country, "DE");
    EXPECT_EQ(local.flags, (std::vector<std::string>{"SSM", "SSMPing"}));
    ASSERT_EQ(local.websites.size(), 2u);
    EXPECT_EQ(local.websites[0].second, "http://a.example/?x=1&y=\"2\"");

    // &#200; is the byte 0xC8 of the network text; it comes back as that
    // code point.  Country only from the local beacon's source line.
    const Beacon& remote = model.beacons[1];
    EXPECT_EQ(remote.name, "b\u00C8ta\t'");
    EXPECT_EQ(remote.country, "F\n");
    EXPECT_TRUE(remote.flags.empty());
    EXPECT_EQ(remote.websites, (std::vector<std::pair<std::string, std::string>>{{"matrix", "https://b.example/m"}}));

    // Heard of only through the remote beacon's report: identity from there.
    const Beacon& reported = model.beacons[2];
    EXPECT_EQ(reported.address, "10.77.0.3/43212");
    EXPECT_EQ(reported.name, "gamma");
    EXPECT_EQ(reported.contact, "");
    EXPECT_FALSE(reported.country);
}

TEST(DumpReader, MeasurementsWithFutureDelayAndMissingTtl) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    ASSERT_EQ(model.measurements.size(), 4u);
    const Measurement& asm_figures = model.measurements[0];
    EXPECT_EQ(asm_figures.receiver, 0);
    EXPECT_EQ(asm_figures.sender, 1);
    EXPECT_EQ(asm_figures.channel, Channel::Asm);
    EXPECT_EQ(asm_figures.ttl, 2);
    EXPECT_EQ(asm_figures.age_s, 3);
    EXPECT_DOUBLE_EQ(*asm_figures.loss, 2.5);
    EXPECT_DOUBLE_EQ(*asm_figures.delay, -1.25);  // future="true"
    EXPECT_TRUE(asm_figures.future);
    EXPECT_DOUBLE_EQ(*asm_figures.ooo, 0.25);

    const Measurement& ssm_figures = model.measurements[1];
    EXPECT_EQ(ssm_figures.channel, Channel::Ssm);
    EXPECT_FALSE(ssm_figures.ttl);
    EXPECT_DOUBLE_EQ(*ssm_figures.delay, 1.3);
    EXPECT_DOUBLE_EQ(*ssm_figures.dup, 1.5);

    EXPECT_EQ(model.measurements[2].receiver, 1);
    EXPECT_EQ(model.measurements[2].sender, 0);
    EXPECT_TRUE(model.stale(model.measurements[2]));  // 100 s > 6 x 5 s
    EXPECT_FALSE(model.stale(model.measurements[3]));
    EXPECT_EQ(model.measurements[3].sender, 2);
}

TEST(DumpReader, FiguresMissingFromTheDumpStayEmpty) {
    std::string dump = "<beacons>\n<group addr=\"g\" int=\"1\">\n<beacon addr=\"a\">\n<sources>\n"
                       "<source addr=\"b\"><asm rptage=\"1\" loss=\"1.0\" /></source>\n"
                       "</sources>\n</beacon>\n</group>\n</beacons>\n";
    Model model = parse_dump(dump, "d.xml");
    ASSERT_EQ(model.measurements.size(), 1u);
    const Measurement& m = model.measurements[0];
    EXPECT_FALSE(m.delay || m.jitter || m.ooo || m.dup || m.ttl);
    EXPECT_FALSE(model.beacons[0].name);
}

std::string error_of(const std::string& text) {
    try {
        parse_dump(text, "dump.xml");
    } catch (const DumpError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(DumpReader, BrokenFilesGiveOneLineNamingFileAndLine) {
    const std::string good = view_test::small_dump();
    struct Case {
        const char* what;
        std::string text;
        std::string expected;
    } cases[] = {
        {"empty", "", "dump.xml: line 1: empty file, not a dump"},
        {"blank lines", "\n\n", "dump.xml: line 3: empty file, not a dump"},
        {"truncated", good.substr(0, good.find("<ssm")), "dump.xml: line 11: malformed XML: "},
        {"not XML", "hello\n", "dump.xml: line 1: no XML element: not a dump"},
        {"not a dump", "<html>\n<body/>\n</html>\n", "dump.xml: line 1: not a dump: the first element is <html>"},
        {"no group", "<beacons>\n</beacons>\n", "dump.xml: line 1: not a dump: <beacons> holds no <group>"},
        {"no interval", "<beacons>\n<group addr=\"g\">\n</group></beacons>", "dump.xml: line 2: <group> has no positive int"},
        {"no local beacon", "<beacons>\n<group addr=\"g\" int=\"5\">\n</group></beacons>",
         "dump.xml: line 2: <group> holds no <beacon>"},
        {"beacon without address", "<beacons><group addr=\"g\" int=\"5\">\n\n<beacon name=\"x\"/></group></beacons>",
         "dump.xml: line 3: <beacon> has no addr"},
        {"bad figure",
         "<beacons><group addr=\"g\" int=\"5\">\n<beacon addr=\"a\"><sources>\n<source addr=\"b\">\n"
         "<asm loss=\"1.0x\"/></source></sources></beacon></group></beacons>",
         "dump.xml: line 4: <asm> has a bad loss \"1.0x\""},
        {"hostile figure", "<beacons><group addr=\"g\" int=\"5\"><beacon addr=\"a\"><sources><source addr=\"b\">"
                           "<asm delay=\"&#27;[2J\"/></source></sources></beacon></group></beacons>",
         "dump.xml: line 1: <asm> has a bad delay \"?[2J\""},
        {"infinite figure", "<beacons><group addr=\"g\" int=\"5\"><beacon addr=\"a\"><sources><source addr=\"b\">"
                            "<ssm jitter=\"inf\"/></source></sources></beacon></group></beacons>",
         "dump.xml: line 1: <ssm> has a bad jitter \"inf\""},
    };
    for (const Case& c : cases) {
        std::string error = error_of(c.text);
        EXPECT_EQ(error.rfind(c.expected, 0), 0u) << c.what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.what;
    }
    EXPECT_NE(error_of(good.substr(0, good.size() / 2)).find("truncated"), std::string::npos);
}

TEST(DumpReader, UnreadableFileNamedWithTheSystemsReason) {
    try {
        read_dump("/nonexistent/dump.xml");
        FAIL();
    } catch (const DumpError& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/dump.xml: No such file or directory");
    }
}


TEST(Identity, TheAddressWithoutThePort) {
    EXPECT_EQ(beacon_identity("10.77.0.1/55194"), "10.77.0.1");
    EXPECT_EQ(beacon_identity("10.77.0.1/37814"), "10.77.0.1");
    EXPECT_EQ(beacon_identity("2001:db8::1/4000"), "2001:db8::1");
    EXPECT_EQ(beacon_identity("fe80::1"), "fe80::1");
}

// Figures of a receiver "a" of a sender "b": the dump's lines as given.
Model figures(const std::string& lines) {
    return parse_dump("<beacons>\n<group addr=\"g\" int=\"5\">\n<beacon addr=\"a/1\">\n<sources>\n" + lines +
                          "</sources>\n</beacon>\n</group>\n</beacons>\n",
                      "d.xml");
}

TEST(DumpReader, WhatIsNoMeasurementStaysEmptyAndDuplicatedLinesKeepTheFreshest) {
    // No hop count in the datagram (64 - 127), a duplicate share above 10
    // (reported as 1e10), shares beyond 100 %.
    Model model = figures("<source addr=\"b/2\"><asm ttl=\"-63\" rptage=\"1\" loss=\"100.1\" delay=\"0.225\""
                          " jitter=\"-1\" ooo=\"-0.5\" dup=\"1000000000000.000\" /></source>\n");
    const Measurement& m = model.measurements.at(0);
    EXPECT_FALSE(m.ttl || m.loss || m.jitter || m.ooo || m.dup);
    EXPECT_TRUE(m.dup_beyond);
    model = figures("<source addr=\"b/2\"><asm ttl=\"255\" rptage=\"1\" loss=\"100.0\" dup=\"1000.000\" /></source>\n");
    EXPECT_EQ(model.measurements.at(0).ttl, 255);
    EXPECT_EQ(model.measurements.at(0).loss, 100);
    EXPECT_EQ(model.measurements.at(0).dup, 1000);

    // Three lines of one sender: the freshest counts, the first of equals.
    model = figures("<source addr=\"b/2\"><asm rptage=\"9\" loss=\"1.0\" /></source>\n"
                    "<source addr=\"b/2\"><asm rptage=\"2\" loss=\"2.0\" /></source>\n"
                    "<source addr=\"b/2\"><asm rptage=\"2\" loss=\"3.0\" /><ssm rptage=\"4\" loss=\"4.0\" /></source>\n");
    ASSERT_EQ(model.measurements.size(), 2u);
    EXPECT_EQ(model.measurements[0].loss, 2.0);
    EXPECT_EQ(model.measurements[1].loss, 4.0);
}

TEST(Staleness, TheFiguresAgePlusTheDumpsOwnAge) {
    // rptage 3, limit 6 x 5 s = 30 s.
    Model model = figures("<source addr=\"b/2\"><asm rptage=\"3\" loss=\"0.0\" /></source>\n");
    const Measurement& m = model.measurements.at(0);
    EXPECT_FALSE(model.stale(m));  // no write time known: the rptage alone
    model.written = 1000;
    for (auto [judged, stale] : {std::pair{1000, false}, {1027, false}, {1028, true}, {8200, true}}) {
        model.judged = judged;
        EXPECT_EQ(model.stale(m), stale) << judged;
    }
    model.judged = 1000;
    EXPECT_EQ(model.figure_time(m), 997);
    EXPECT_EQ(model.next_staleness_change(), 1028);

    // A dump file last written two hours ago.
    char path[] = "/tmp/quillon-old-dump.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << view_test::small_dump();
    struct timespec times[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path, times, 0), 0);
    Model old = read_dump(path);
    std::remove(path);
    EXPECT_GE(old.dump_age_s(), 7200);
    for (const Measurement& each : old.measurements) EXPECT_TRUE(old.stale(each));
}

}  // namespace
