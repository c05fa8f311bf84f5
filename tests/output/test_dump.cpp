// The XML dump: the exact text rendered from a constructed table, the
// escaping of text learnt from the network, and the file's replacement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/process.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "output/dump.h"
#include "scheduler/clock.h"
#include "scheduler/main_loop.h"
#include "state/source_table.h"
#include "state/stats.h"
#include "tests/test_support.h"

namespace {

PublishedStats figures(uint8_t ttl, uint64_t updated_ms, float loss, float delay, float jitter, float ooo, float dup) {
    PublishedStats stats = published_figures(ttl, delay, jitter, loss, dup, ooo);
    stats.updated_ms = updated_ms;
    return stats;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool xml_char(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// A small well-formedness check covering what the dump can get wrong: one
// root, properly nested tags, quoted and unique attributes, only known
// references, no character XML 1.0 forbids and, as the file declares no
// encoding, nothing outside ASCII.  Gives "" for a well-formed document.
std::string xml_fault(const std::string& doc) {
    std::vector<std::string> open;
    bool root_done = false;
    size_t i = 0;
    const size_t n = doc.size();
    auto is_name = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
    auto where = [&](const char* what) { return std::string(what) + " at offset " + std::to_string(i); };
    while (i < n) {
        char c = doc[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c != '<') return where("text outside the elements");
        ++i;
        bool closing = i < n && doc[i] == '/';
        if (closing) ++i;
        size_t start = i;
        while (i < n && is_name(doc[i])) ++i;
        std::string name = doc.substr(start, i - start);
        if (name.empty()) return where("tag without a name");
        if (closing) {
            if (i >= n || doc[i] != '>') return where("bad closing tag");
            ++i;
            if (open.empty() || open.back() != name) return where("closing tag does not match");
            open.pop_back();
            if (open.empty()) root_done = true;
            continue;
        }
        if (root_done) return where("second root element");
        std::set<std::string> attributes;
        for (;;) {
            bool blank = false;
            while (i < n && (doc[i] == ' ' || doc[i] == '\t' || doc[i] == '\n')) ++i, blank = true;
            if (i >= n) return where("unterminated tag");
            if (doc[i] == '>') {
                ++i;
                open.push_back(name);
                break;
            }
            if (doc[i] == '/') {
                if (i + 1 >= n || doc[i + 1] != '>') return where("bad empty-element tag");
                i += 2;
                if (open.empty()) root_done = true;
                break;
            }
            if (!blank) return where("attribute not separated by a blank");
            start = i;
            while (i < n && is_name(doc[i])) ++i;
            std::string attribute = doc.substr(start, i - start);
            if (attribute.empty()) return where("attribute without a name");
            if (!attributes.insert(attribute).second) return where("repeated attribute");
            if (i + 1 >= n || doc[i] != '=' || doc[i + 1] != '"') return where("attribute value not quoted");
            i += 2;
            while (i < n && doc[i] != '"') {
                unsigned char v = static_cast<unsigned char>(doc[i]);
                if (v == '<') return where("'<' in an attribute value");
                if (v >= 0x80) return where("byte outside ASCII");
                if (v < 0x20 && v != '\t' && v != '\n' && v != '\r') return where("forbidden control character");
                if (v == '&') {
                    size_t end = doc.find(';', i);
                    if (end == std::string::npos) return where("unterminated reference");
                    std::string ref = doc.substr(i + 1, end - i - 1);
                    if (ref.size() > 1 && ref[0] == '#') {
                        bool hex = ref[1] == 'x';
                        std::string digits = ref.substr(hex ? 2 : 1);
                        if (digits.empty() ||
                            digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                                std::string::npos)
                            return where("bad character reference");
                        if (!xml_char(std::stoul(digits, nullptr, hex ? 16 : 10)))
                            return where("reference to a forbidden character");
                    } else if (ref != "quot" && ref != "lt" && ref != "gt" && ref != "amp" && ref != "apos") {
                        return where("unknown entity");
                    }
                    i = end;
                }
                ++i;
            }
            if (i >= n) return where("unterminated attribute value");
            ++i;
        }
    }
    if (!open.empty()) return "element <" + open.back() + "> not closed";
    if (!root_done) return "no root element";
    return "";
}

// The value of attribute `name` on the first line that holds `line_start`.
std::string attribute_of(const std::string& doc, const std::string& line_start, const std::string& name) {
    size_t line = doc.find(line_start);
    if (line == std::string::npos) return "<no such line>";
    size_t end = doc.find('\n', line);
    std::string text = doc.substr(line, end - line);
    size_t at = text.find(" " + name + "=\"");
    if (at == std::string::npos) return "<no such attribute>";
    at += name.size() + 3;
    return text.substr(at, text.find('"', at) - at);
}

class DumpTest : public testing::Test {
protected:
    void SetUp() override {
        reset_bandwidth_counters();  // beacon_interval 5.0: time-out 30000 ms
        own.beacon_name = "alpha";
        net.beacon_group_label = "239.1.2.3/10000";
        net.local_address = make_address(AF_INET, "192.0.2.1", 10000);
        context = DumpContext{&own, &net, 5.0, 0, 0.0, 0.0};
    }

    std::string render(uint64_t now) {
        return written_text([&](FILE* out) { render_dump(out, context, table, now); });
    }

    // The local beacon's element up to and including its sources line.
    std::string local_head(uint64_t now) {
        std::string doc = render(now);
        size_t start = doc.find("\t<beacon ");
        size_t end = doc.find("\t\t<sources>\n", start);
        return doc.substr(start, end + 12 - start);
    }

    Settings own;
    Runtime net;
    DumpContext context{};
    SourceTable table;
};

TEST_F(DumpTest, EmptyTableGivesHeaderGroupLocalBeaconAndEnd) {
    context.loop_start_ms = 1000;
    EXPECT_EQ(render(66999),
              "<beacons rxrate=\"0.00\" txrate=\"0.00\" versioninfo=\"0.3.9.1 ($Rev: 409 $)\">\n"
              "<group addr=\"239.1.2.3/10000\" int=\"5.00\">\n"
              "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" age=\"65\" lastupdate=\"0\" rxlocal=\"true\">\n"
              "\t\t<sources>\n"
              "\t\t</sources>\n"
              "\t</beacon>\n"
              "\n"
              "</group>\n"
              "</beacons>\n");
}

TEST_F(DumpTest, HeaderAndGroupLines) {
    struct Case {
        int ssm_socket;
        double interval, rx, tx;
        const char* expected;
    } cases[] = {
        {0, 4.0182, 10.0, 2.5,
         "<beacons rxrate=\"10.00\" txrate=\"2.50\" versioninfo=\"0.3.9.1 ($Rev: 409 $)\">\n"
         "<group addr=\"239.1.2.3/10000\" int=\"4.02\">\n"},
        {6, 26.697, 0.125, 1234.5,
         "<beacons rxrate=\"0.12\" txrate=\"1234.50\" versioninfo=\"0.3.9.1 ($Rev: 409 $)\">\n"
         "<group addr=\"239.1.2.3/10000\" ssmgroup=\"ff3e::8000:1/10000\" int=\"26.70\">\n"},
    };
    for (const Case& c : cases) {
        // The SSM channel is known either way; only an open socket shows it.
        net.ssm_group = make_address(AF_INET6, "ff3e::8000:1", 10000);
        net.ssm_socket = c.ssm_socket;
        context.beacon_interval = c.interval;
        context.rx_rate = c.rx;
        context.tx_rate = c.tx;
        std::string doc = render(0);
        EXPECT_EQ(doc.substr(0, doc.find("\t<beacon")), c.expected) << "ssm_socket " << c.ssm_socket;
    }
}

TEST_F(DumpTest, LocalBeaconElement) {
    struct Case {
        const char* contact;
        const char* country;
        uint32_t flags;
        std::map<int32_t, std::string> websites;
        const char* expected;
    } cases[] = {
        {"", "", 0, {},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" age=\"12\" lastupdate=\"0\" rxlocal=\"true\">\n"
         "\t\t<sources>\n"},
        {"noc@alpha.example", "", 0, {},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" contact=\"noc@alpha.example\" age=\"12\" "
         "lastupdate=\"0\" rxlocal=\"true\">\n"
         "\t\t<sources>\n"},
        {"", "SE", FLAG_SSM, {},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" country=\"SE\" age=\"12\" lastupdate=\"0\" "
         "rxlocal=\"true\">\n"
         "\t\t<flag name=\"SSM\" value=\"true\" />\n"
         "\t\t<sources>\n"},
        {"noc", "SE", FLAG_SSM | FLAG_SSMPING, {},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" contact=\"noc\" country=\"SE\" age=\"12\" "
         "lastupdate=\"0\" rxlocal=\"true\">\n"
         "\t\t<flag name=\"SSM\" value=\"true\" />\n"
         "\t\t<flag name=\"SSMPing\" value=\"true\" />\n"
         "\t\t<sources>\n"},
        {"", "", FLAG_SSMPING, {},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" age=\"12\" lastupdate=\"0\" rxlocal=\"true\">\n"
         "\t\t<flag name=\"SSMPing\" value=\"true\" />\n"
         "\t\t<sources>\n"},
        {"", "", 0, {{'M', "http://m.example/"}, {'L', "http://l.example/"}, {'G', "http://g.example/"}},
         "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" age=\"12\" lastupdate=\"0\" rxlocal=\"true\">\n"
         "\t\t<website type=\"generic\" url=\"http://g.example/\" />\n"
         "\t\t<website type=\"lg\" url=\"http://l.example/\" />\n"
         "\t\t<website type=\"matrix\" url=\"http://m.example/\" />\n"
         "\t\t<sources>\n"},
    };
    context.loop_start_ms = 3000;
    for (const Case& c : cases) {
        own.admin_contact = c.contact;
        own.country_code = c.country;
        own.websites = c.websites;
        net.beacon_flags = c.flags;
        EXPECT_EQ(local_head(15999), c.expected);
    }
}

TEST_F(DumpTest, StatisticsElement) {
    struct Case {
        const char* what;
        PublishedStats stats;
        uint32_t sender_ttl;
        bool measured;
        const char* expected;
    } cases[] = {
        {"no report from the sender yet: no ttl", figures(60, 95000, 0, 1.5f, 0.125f, 0, 0), 0, true,
         "\t\t\t\t<asm rptage=\"5\" loss=\"0.0\" delay=\"1.500\" jitter=\"0.125\" ooo=\"0.000\" dup=\"0.000\" />\n"},
        {"64 sent, 60 received", figures(60, 100000, 0, 0, 0, 0, 0), 64, true,
         "\t\t\t\t<asm ttl=\"4\" rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" "
         "dup=\"0.000\" />\n"},
        {"64 sent, no hop count received", figures(127, 100000, 0, 0, 0, 0, 0), 64, true,
         "\t\t\t\t<asm ttl=\"-63\" rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" "
         "dup=\"0.000\" />\n"},
        {"reported hop count as carried", figures(3, 90000, 0.5f, 12.25f, 0.5f, 0, 0.025f), 64, false,
         "\t\t\t\t<asm ttl=\"3\" rptage=\"10\" loss=\"50.0\" delay=\"12.250\" jitter=\"0.500\" ooo=\"0.000\" "
         "dup=\"2.500\" />\n"},
        {"reported form with sender_ttl 0 still has its ttl", figures(0, 100000, 0, 0, 0, 0, 0), 0, false,
         "\t\t\t\t<asm ttl=\"0\" rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" "
         "dup=\"0.000\" />\n"},
        {"sender's clock ahead", figures(60, 95000, 0.025f, -2.5f, 1.25f, 0.025f, 0), 64, true,
         "\t\t\t\t<asm ttl=\"4\" rptage=\"5\" loss=\"2.5\" delay=\"2.500\" future=\"true\" jitter=\"1.250\" "
         "ooo=\"2.500\" dup=\"0.000\" />\n"},
        // 1/80 in single precision times 100 is exactly 1.25 (printed 1.2 by
        // round-half-even); in double precision it is 1.2500000186 (1.3).
        // 157/89 likewise: 176.404 from the single-precision product, 176.405
        // from the double one.
        {"products formed in single precision", figures(60, 100000, 1.0f / 80.0f, 0, 0, 0, 157.0f / 89.0f), 0,
         true,
         "\t\t\t\t<asm rptage=\"0\" loss=\"1.2\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" dup=\"176.404\" />\n"},
        {"negative zero delay: no sign, no future", figures(60, 100000, 0, -0.0f, 0, 0, 0), 0, true,
         "\t\t\t\t<asm rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" dup=\"0.000\" />\n"},
        {"NaN delay with its sign bit set prints as a NaN", figures(60, 100000, 0, std::copysign(NAN, -1.0f), 0, 0, 0), 0, true,
         "\t\t\t\t<asm rptage=\"0\" loss=\"0.0\" delay=\"nan\" jitter=\"0.000\" ooo=\"0.000\" dup=\"0.000\" />\n"},
        {"duplicates above the window", figures(60, 100000, 0, 0, 0, 0.5f, 1.5f), 0, true,
         "\t\t\t\t<asm rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"50.000\" dup=\"150.000\" "
         "/>\n"},
    };
    for (const Case& c : cases) {
        std::string line = written_text(
            [&](FILE* out) { write_stats_element(out, "asm", c.stats, 100000, c.sender_ttl, c.measured); });
        EXPECT_EQ(line, c.expected) << c.what;
    }
    std::string ssm = written_text([&](FILE* out) {
        write_stats_element(out, "ssm", figures(60, 100000, 0, 0, 0, 0, 0), 100000, 0, true);
    });
    EXPECT_EQ(ssm.substr(0, 9), "\t\t\t\t<ssm ");
}

TEST_F(DumpTest, FullMatrix) {
    own.admin_contact = "noc@alpha.example";
    own.country_code = "SE";
    own.websites = {{'M', "http://alpha.example/matrix"}, {'G', "http://alpha.example/"}};
    net.ssm_socket = 5;
    net.ssm_group = make_address(AF_INET, "232.1.2.3", 10000);
    net.beacon_flags = FLAG_SSM | FLAG_SSMPING;
    context = DumpContext{&own, &net, 4.0182, 4000, 10.0, 2.5};
    const uint64_t now = 100000;

    // Listed last in the table: IPv6 after IPv4.
    Source delta;
    set_name(delta, "delta");
    delta.contact = "ops@delta.example";
    delta.country = "DE";
    delta.created_ms = 0;
    delta.last_update_ms = 100000;
    delta.last_local_rx_ms = 0;  // only heard of through reports
    delta.sender_ttl = 255;
    table.sources.emplace(make_address(AF_INET6, "2001:db8::5", 10000), delta);

    Source charlie;  // never identified
    charlie.created_ms = 50000;
    charlie.last_update_ms = 99000;
    charlie.last_local_rx_ms = 70001;  // 29999 ms ago
    charlie.flags = FLAG_SSM;
    charlie.websites = {{'L', "http://lg.example/?a=1&b=2"}};
    charlie.asm_stats.figures = figures(55, 100000, 0, 1.5f, 0.125f, 0, 0);
    charlie.ssm_stats.figures = figures(55, 100000, 0.5f, 9.0f, 1.0f, 0, 0);
    charlie.ssm_stats.figures.valid = 0;  // stale: not written
    table.sources.emplace(make_address(AF_INET, "192.0.2.20", 10000), charlie);

    Source bravo;
    set_name(bravo, "bravo");  // contact left empty
    bravo.country = "NL";
    bravo.created_ms = 10000;
    bravo.last_update_ms = 60000;
    bravo.last_local_rx_ms = 70000;  // exactly the time-out ago
    bravo.sender_ttl = 64;
    bravo.asm_stats.figures = figures(60, 95000, 0.025f, -2.5f, 1.25f, 0.025f, 0);
    bravo.ssm_stats.figures = figures(127, 99999, 0, 0, 0, 0, 0);
    ExternalSource heard;
    heard.identified = true;
    heard.name = "charlie";
    heard.age = 42;
    heard.asm_stats = figures(3, 90000, 0.5f, 12.25f, 0.5f, 0, 0.025f);
    bravo.external_sources.emplace(make_address(AF_INET, "192.0.2.20", 10000), heard);
    ExternalSource anonymous;
    anonymous.age = 7;
    bravo.external_sources.emplace(make_address(AF_INET6, "2001:db8::5", 10000), anonymous);
    table.sources.emplace(make_address(AF_INET, "192.0.2.10", 10000), bravo);

    std::string doc = render(now);
    EXPECT_EQ(doc,
              "<beacons rxrate=\"10.00\" txrate=\"2.50\" versioninfo=\"0.3.9.1 ($Rev: 409 $)\">\n"
              "<group addr=\"239.1.2.3/10000\" ssmgroup=\"232.1.2.3/10000\" int=\"4.02\">\n"
              "\t<beacon name=\"alpha\" addr=\"192.0.2.1/10000\" contact=\"noc@alpha.example\" country=\"SE\" "
              "age=\"96\" lastupdate=\"0\" rxlocal=\"true\">\n"
              "\t\t<flag name=\"SSM\" value=\"true\" />\n"
              "\t\t<flag name=\"SSMPing\" value=\"true\" />\n"
              "\t\t<website type=\"generic\" url=\"http://alpha.example/\" />\n"
              "\t\t<website type=\"matrix\" url=\"http://alpha.example/matrix\" />\n"
              "\t\t<sources>\n"
              "\t\t\t<source addr=\"192.0.2.10/10000\" name=\"bravo\" country=\"NL\" age=\"90\" lastupdate=\"40\">\n"
              "\t\t\t\t<asm ttl=\"4\" rptage=\"5\" loss=\"2.5\" delay=\"2.500\" future=\"true\" jitter=\"1.250\" "
              "ooo=\"2.500\" dup=\"0.000\" />\n"
              "\t\t\t\t<ssm ttl=\"-63\" rptage=\"0\" loss=\"0.0\" delay=\"0.000\" jitter=\"0.000\" ooo=\"0.000\" "
              "dup=\"0.000\" />\n"
              "\t\t\t</source>\n"
              "\t\t\t<source addr=\"192.0.2.20/10000\" age=\"50\" lastupdate=\"1\">\n"
              "\t\t\t\t<asm rptage=\"0\" loss=\"0.0\" delay=\"1.500\" jitter=\"0.125\" ooo=\"0.000\" dup=\"0.000\" />\n"
              "\t\t\t</source>\n"
              "\t\t\t<source addr=\"2001:db8::5/10000\" name=\"delta\" contact=\"ops@delta.example\" country=\"DE\" "
              "age=\"100\" lastupdate=\"0\">\n"
              "\t\t\t</source>\n"
              "\t\t</sources>\n"
              "\t</beacon>\n"
              "\n"
              "\t<beacon name=\"bravo\" addr=\"192.0.2.10/10000\" age=\"90\" rxlocal=\"false\" lastupdate=\"40\">\n"
              "\t\t<sources>\n"
              "\t\t\t<source name=\"charlie\" contact=\"\" addr=\"192.0.2.20/10000\" age=\"42\">\n"
              "\t\t\t\t<asm ttl=\"3\" rptage=\"10\" loss=\"50.0\" delay=\"12.250\" jitter=\"0.500\" ooo=\"0.000\" "
              "dup=\"2.500\" />\n"
              "\t\t\t</source>\n"
              "\t\t\t<source addr=\"2001:db8::5/10000\" age=\"7\">\n"
              "\t\t\t</source>\n"
              "\t\t</sources>\n"
              "\t</beacon>\n"
              "\t<beacon addr=\"192.0.2.20/10000\" age=\"50\" rxlocal=\"true\" lastupdate=\"1\">\n"
              "\t\t<flag name=\"SSM\" value=\"true\" />\n"
              "\t\t<website type=\"lg\" url=\"http://lg.example/?a=1&amp;b=2\" />\n"
              "\t\t<sources>\n"
              "\t\t</sources>\n"
              "\t</beacon>\n"
              "\t<beacon name=\"delta\" contact=\"ops@delta.example\" addr=\"2001:db8::5/10000\" age=\"100\" "
              "rxlocal=\"false\" lastupdate=\"0\">\n"
              "\t\t<sources>\n"
              "\t\t</sources>\n"
              "\t</beacon>\n"
              "</group>\n"
              "</beacons>\n");
    EXPECT_EQ(xml_fault(doc), "");
}

TEST(XmlEscape, CharactersAndBytes) {
    struct Case {
        std::string text, expected;
    } cases[] = {
        {"beacon-1.example.org", "beacon-1.example.org"},
        {"mailto:noc@example.net (24/7) $x %s", "mailto:noc@example.net (24/7) $x %s"},
        {"", ""},
        {"\"<&>'", "&quot;&lt;&amp;&gt;&apos;"},
        {"a&amp;b", "a&amp;amp;b"},
        {"\t\n\r", "&#9;&#10;&#13;"},
        {std::string("\x00\x01\x1f", 3), "???"},
        {"\x7f\x80\xe9\xff", "&#127;&#128;&#233;&#255;"},
        {"\x01\xe9", "?&#233;"},
    };
    for (const Case& c : cases) EXPECT_EQ(xml_escape(c.text), c.expected);
}

TEST(XmlEscape, EveryByteSurvivesTheRoundTripOrBecomesAQuestionMark) {
    for (int byte = 0; byte < 256; ++byte) {
        std::string text = "a" + std::string(1, static_cast<char>(byte)) + "b";
        std::string escaped = xml_escape(text);
        std::string doc = "<x v=\"" + escaped + "\" />";
        EXPECT_EQ(xml_fault(doc), "") << "byte " << byte;
        bool forbidden = byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
        EXPECT_EQ(unescape_attribute(escaped), forbidden ? "a?b" : text) << "byte " << byte;
    }
}

TEST_F(DumpTest, TextFromTheNetworkIsEscapedEverywhere) {
    const std::string hostile = "\"<&>'";
    own.beacon_name = "alpha & <omega>";
    own.admin_contact = "\"noc\"";
    own.country_code = "S'";
    own.websites = {{'G', "http://a.example/?x=1&y=\"2\""}};
    Source source;
    set_name(source, hostile);
    source.contact = "<contact>";
    source.country = std::string("\x01\xe9", 2);
    source.websites = {{'M', "http://m.example/<script>"}};
    ExternalSource external;
    external.identified = true;
    external.name = hostile;
    external.contact = "a&b";
    source.external_sources.emplace(make_address(AF_INET, "192.0.2.30", 10000), external);
    table.sources.emplace(make_address(AF_INET, "192.0.2.10", 10000), source);

    std::string doc = render(1000);
    EXPECT_EQ(xml_fault(doc), "") << doc;
    EXPECT_NE(doc.find("\t\t\t<source addr=\"192.0.2.10/10000\" name=\"&quot;&lt;&amp;&gt;&apos;\" "
                       "contact=\"&lt;contact&gt;\" country=\"?&#233;\" age=\"1\" lastupdate=\"1\">\n"),
              std::string::npos)
        << doc;
    // What a reader recovers is what was received.
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t<beacon name=\"alpha", "name")), own.beacon_name);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t<beacon name=\"alpha", "contact")), own.admin_contact);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t<beacon name=\"alpha", "country")), own.country_code);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "type=\"generic\"", "url")), own.websites['G']);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t<beacon name=\"&quot;", "name")), hostile);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t<beacon name=\"&quot;", "contact")), "<contact>");
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "type=\"matrix\"", "url")), "http://m.example/<script>");
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t\t\t<source name=", "name")), hostile);
    EXPECT_EQ(unescape_attribute(attribute_of(doc, "\t\t\t<source name=", "contact")), "a&b");
}

TEST(DumpRate, BitsPerMillisecondAndNoDivisionByZero) {
    EXPECT_DOUBLE_EQ(dump_rate(12500, 10000), 10.0);
    EXPECT_DOUBLE_EQ(dump_rate(0, 10000), 0.0);
    EXPECT_DOUBLE_EQ(dump_rate(1000, 0), 0.0);
    EXPECT_DOUBLE_EQ(dump_rate(0, 0), 0.0);
    // The byte count is multiplied as a 64-bit integer: no 32-bit wrap.
    EXPECT_DOUBLE_EQ(dump_rate(1000000000, 1000), 8000000.0);
}

// One dump, its file work done when this returns.
void dump_now() {
    write_dump();
    finish_dump_write();
}

// write_dump on the real globals, in a directory of its own.
class WriteDumpTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillon-dump-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        settings = Settings{};
        runtime = Runtime{};
        source_table.clear();
        reset_bandwidth_counters();
        settings.beacon_name = "alpha";
        settings.dump_file = dir + "/dump.xml";
        runtime.beacon_group_label = "239.1.2.3/10000";
        runtime.local_address = make_address(AF_INET, "192.0.2.1", 10000);
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
        settings = Settings{};
        runtime = Runtime{};
        reset_bandwidth_counters();
    }

    void write_script(const std::string& path, const std::string& body) {
        std::ofstream(path) << "#!/bin/sh\n" << body;
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }

    // Waits for the launched program, at most 10 seconds.
    int wait_child() {
        int status = -1;
        for (int i = 0; i < 1000; ++i) {
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid > 0) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "launched program did not end";
        return -1;
    }

    std::string dir;
};

TEST_F(WriteDumpTest, ReplacesTheFileAndResetsTheCounters) {
    std::ofstream(settings.dump_file) << "old dump";
    Source source;
    set_name(source, "bravo");
    source.created_ms = source.last_update_ms = now_ms();
    source_table.sources.emplace(make_address(AF_INET, "192.0.2.10", 10000), source);
    const uint64_t before = now_ms();
    ASSERT_GT(before, 10000u);
    const uint64_t start = before - 10000;
    last_dump_ms = start;
    dump_bytes_received = 12500;
    dump_bytes_sent = 2500;

    dump_now();
    const uint64_t after = now_ms();

    EXPECT_FALSE(exists(settings.dump_file + ".working"));
    std::string doc = read_file(settings.dump_file);
    EXPECT_EQ(xml_fault(doc), "") << doc;
    EXPECT_NE(doc.find("\t<beacon name=\"bravo\" addr=\"192.0.2.10/10000\""), std::string::npos) << doc;
    // 100000 bits over 10000 ms plus however long the test took to get here.
    double rx = std::stod(attribute_of(doc, "<beacons", "rxrate"));
    double tx = std::stod(attribute_of(doc, "<beacons", "txrate"));
    EXPECT_LE(rx, 10.0);
    EXPECT_GE(rx, 100000.0 / (after - start) - 0.005);
    EXPECT_LE(tx, 2.0);
    EXPECT_GE(tx, 20000.0 / (after - start) - 0.005);
    EXPECT_EQ(dump_bytes_received, 0u);
    EXPECT_EQ(dump_bytes_sent, 0u);
    EXPECT_GE(last_dump_ms, before);
    EXPECT_LE(last_dump_ms, after);
    source_table.clear();
}

TEST_F(WriteDumpTest, NoRateFromNoTime) {
    // last_dump_ms in the future of the clock reading is impossible; the same
    // reading twice is not, and must not give inf or nan.
    last_dump_ms = now_ms();
    dump_bytes_received = 100;
    dump_now();
    std::string doc = read_file(settings.dump_file);
    std::string rx = attribute_of(doc, "<beacons", "rxrate");
    EXPECT_EQ(rx.find_first_not_of("0123456789."), std::string::npos) << rx;
}

TEST_F(WriteDumpTest, UnopenableTemporaryFileLeavesEverythingAsItWas) {
    std::ofstream(settings.dump_file) << "old dump";
    ASSERT_EQ(mkdir((settings.dump_file + ".working").c_str(), 0755), 0);  // fopen fails even for root
    write_script(dir + "/launch.sh", "touch \"$0.ran\"\n");
    settings.launch_program = dir + "/launch.sh";
    dump_bytes_received = 111;
    dump_bytes_sent = 222;
    last_dump_ms = 12345;

    dump_now();

    EXPECT_EQ(read_file(settings.dump_file), "old dump");
    EXPECT_EQ(dump_bytes_received, 111u);
    EXPECT_EQ(dump_bytes_sent, 222u);
    EXPECT_EQ(last_dump_ms, 12345u);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child was started
    EXPECT_FALSE(exists(dir + "/launch.sh.ran"));
}

// Whatever the verbosity, one line when dumps start failing (the file, what
// failed and why) and one when a dump is written again; nothing in between.
TEST_F(WriteDumpTest, FailuresAreLoggedWhenTheyStartAndWhenDumpsWorkAgain) {
    settings.verbose = 0;
    dump_now();  // dumps work, whatever an earlier test left behind
    const std::string& file = settings.dump_file;
    const std::string working = file + ".working";
    const std::string again = "Dump file " + file + " written again";

    testing::internal::CaptureStderr();
    ASSERT_EQ(mkdir(working.c_str(), 0755), 0);  // the temporary file cannot be created
    for (int i = 0; i < 3; ++i) dump_now();
    ASSERT_EQ(rmdir(working.c_str()), 0);
    dump_now();
    dump_now();
    ASSERT_EQ(unlink(file.c_str()), 0);  // the rename cannot replace a directory that holds a file
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    std::ofstream(file + "/keep") << "x";
    dump_now();
    dump_now();
    std::vector<std::string> lines = log_messages(testing::internal::GetCapturedStderr());

    const std::vector<std::string> expected = {
        "Dump file " + file + " not written: cannot create " + working + ": " + strerror(EISDIR),
        again,
        "Dump file " + file + " not written: cannot rename to " + file + ": " + strerror(EISDIR),
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(WriteDumpTest, IncompleteFileDoesNotReplaceTheOldDump) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    std::ofstream(settings.dump_file) << "old dump";
    // Every write to the temporary name fails as on a full disk.
    ASSERT_EQ(symlink("/dev/full", (settings.dump_file + ".working").c_str()), 0);

    dump_now();

    struct stat info;
    ASSERT_EQ(lstat(settings.dump_file.c_str(), &info), 0);
    ASSERT_TRUE(S_ISREG(info.st_mode)) << "the temporary name was moved over the dump";
    EXPECT_EQ(read_file(settings.dump_file), "old dump");
    EXPECT_FALSE(exists(settings.dump_file + ".working"));
    EXPECT_TRUE(exists("/dev/full"));
}

TEST_F(WriteDumpTest, LaunchesTheProgramWithTheDumpFile) {
    const std::string marker = dir + "/marker";
    write_script(dir + "/launch.sh", "printf '%s|%s' \"$0\" \"$1\" > '" + marker + ".tmp'\nmv '" + marker +
                                         ".tmp' '" + marker + "'\n");
    settings.launch_program = dir + "/launch.sh";

    dump_now();

    int status = wait_child();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(marker), settings.launch_program + "|" + settings.dump_file);
}

// The loop keeps its handled signals blocked outside its wait; a launched
// program must start with the mask the beacon had before (here: empty) and
// without inherited dispositions, or SIGTERM and Ctrl-C could not stop it.
TEST_F(WriteDumpTest, LaunchedProgramStartsWithNoSignalBlockedOrIgnored) {
    const std::string marker = dir + "/signals";
    write_script(dir + "/launch.sh", "grep -E '^Sig(Blk|Ign):' /proc/self/status > '" + marker + ".tmp'\nmv '" +
                                         marker + ".tmp' '" + marker + "'\n");
    settings.launch_program = dir + "/launch.sh";
    sigset_t before;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    sigset_t wait_mask;
    block_handled_signals(wait_mask);
    struct sigaction ignore {}, old_usr1 {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &old_usr1);

    dump_now();
    int status = wait_child();

    sigaction(SIGUSR1, &old_usr1, nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = read_file(marker);
    EXPECT_EQ(text.substr(0, 24), "SigBlk:\t0000000000000000") << text;
    size_t ignored_at = text.find("SigIgn:\t");
    ASSERT_NE(ignored_at, std::string::npos) << text;
    unsigned long long ignored = std::stoull(text.substr(ignored_at + 8, 16), nullptr, 16);
    for (int sig : HANDLED_SIGNALS) EXPECT_EQ(ignored >> (sig - 1) & 1u, 0u) << "signal " << sig << " ignored";
}

TEST_F(WriteDumpTest, FailedExecEndsTheChildAtOnce) {
    settings.launch_program = dir + "/no-such-program";

    dump_now();

    int status = wait_child();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_TRUE(exists(settings.dump_file));
}

TEST_F(WriteDumpTest, AHangingProgramIsNotStartedAgainUntilItEnds) {
    // Each start appends a line; the program then waits for a release file.
    const std::string starts = dir + "/starts";
    const std::string release = dir + "/release";
    write_script(dir + "/hang.sh", "echo started >> '" + starts + "'\nwhile [ ! -e '" + release +
                                       "' ]; do sleep 0.02; done\n");
    settings.launch_program = dir + "/hang.sh";
    auto lines = [&] {
        std::string text = read_file(starts);
        return std::count(text.begin(), text.end(), '\n');
    };
    auto wait_lines = [&](long n) {
        for (int i = 0; i < 500 && lines() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return lines();
    };

    testing::internal::CaptureStderr();
    dump_now();
    EXPECT_EQ(wait_lines(1), 1);
    dump_now();
    dump_now();
    std::string log = testing::internal::GetCapturedStderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(lines(), 1) << "a second copy was started while the first still ran";
    EXPECT_NE(log.find("still running from an earlier dump; not started again"), std::string::npos) << log;
    EXPECT_EQ(log.find("not started again", log.find("not started again") + 1), std::string::npos)
        << "said once per episode: " << log;

    std::ofstream(release) << "";
    int status = wait_child();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unlink(release.c_str());
    dump_now();  // the earlier one has ended: a new one starts
    EXPECT_EQ(wait_lines(2), 2);
    std::ofstream(release) << "";
    wait_child();
}

// The figures are formatted without printf on the hot path; whatever float a
// report carries, the text must be exactly what printf gives.
TEST(StatsElementNumbers, MatchPrintfForAnyFloat) {
    std::vector<float> values = {0.0f,   -0.0f,   0.0005f,  0.0015f, 0.0025f, 2.5f,      0.025f, 1.0f / 80.0f,
                                 99.95f, 1e10f,   -1e10f,   3.4e38f, 1e-30f,  123.4565f, 1e15f,  999999.9f,
                                 NAN,    INFINITY, -INFINITY, 16777216.0f, 0.05f, 0.15f,  0.25f,  0.35f};
    uint32_t bits = 12345;
    for (int i = 0; i < 20000; ++i) {  // random bit patterns, NaNs and all
        bits = bits * 1664525u + 1013904223u;
        float f;
        memcpy(&f, &bits, sizeof f);
        values.push_back(f);
        values.push_back(static_cast<float>(bits % 100000) / 1000.0f);
    }
    for (float v : values) {
        PublishedStats stats = published_figures(0, v, v, v, v, v);
        std::string text = written_text([&](FILE* out) { write_stats_element(out, "asm", stats, 0, 0, false); });
        char expected[1024];
        float percent = v * 100.0f;
        // The delay is an absolute value: no sign on -0.0 or on a NaN.
        float delay = std::fabs(v);
        snprintf(expected, sizeof expected,
                 "\t\t\t\t<asm ttl=\"0\" rptage=\"0\" loss=\"%.1f\" delay=\"%.3f\"%s jitter=\"%.3f\" ooo=\"%.3f\" "
                 "dup=\"%.3f\" />\n",
                 static_cast<double>(percent), static_cast<double>(delay), v < 0 ? " future=\"true\"" : "",
                 static_cast<double>(v), static_cast<double>(percent), static_cast<double>(percent));
        EXPECT_EQ(text, expected) << "bits " << std::hex << [&] {
            uint32_t b;
            memcpy(&b, &v, sizeof b);
            return b;
        }();
    }
}

}  // namespace

// The file work is the writer's: while a write is held up (a pipe that
// nobody reads yet stands in for a slow disk), write_dump returns at once,
// the dumps due meanwhile are skipped and said once, the old dump stays,
// and the held-up write still delivers the whole dump.
TEST_F(WriteDumpTest, HeldUpWriteDoesNotHoldUpTheLoopAndNoSecondWriteStarts) {
    std::ofstream(settings.dump_file) << "old dump";
    const std::string working = settings.dump_file + ".working";
    ASSERT_EQ(mkfifo(working.c_str(), 0600), 0);
    int reader = open(working.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const uint64_t now = now_ms();
    for (int i = 0; i < 1000; ++i) {  // far more than a pipe holds
        Source source;
        set_name(source, "beacon-" + std::to_string(i));
        source.created_ms = source.last_update_ms = now;
        std::string address = "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        source_table.sources.emplace(make_address(AF_INET, address.c_str(), 10000), source);
    }

    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    write_dump();
    write_dump();
    write_dump();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(read_file(settings.dump_file), "old dump");

    std::string written;
    fcntl(reader, F_SETFL, 0);
    char chunk[65536];
    ssize_t n;
    while ((n = read(reader, chunk, sizeof chunk)) > 0) written.append(chunk, static_cast<size_t>(n));
    close(reader);
    finish_dump_write();
    std::vector<std::string> lines = log_messages(testing::internal::GetCapturedStderr());

    EXPECT_EQ(xml_fault(written), "");
    EXPECT_NE(written.find("name=\"beacon-999\""), std::string::npos);
    EXPECT_EQ(lines, std::vector<std::string>{"Dump file " + settings.dump_file +
                                              " still being written; this dump skipped"});
    source_table.clear();
}
