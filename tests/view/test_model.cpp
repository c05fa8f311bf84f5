#include "view/model.h"

#include <gtest/gtest.h>

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

}  // namespace
