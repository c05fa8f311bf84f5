// The outputs rendered from the model: table, JSON, the filled page, and
// the program's commands on files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "view/json_output.h"
#include "view/model.h"
#include "view/page.h"
#include "view/table.h"
#include "view_test_util.h"

using namespace view;

namespace {

TEST(TerminalText, NonAsciiAndControlsShownAsTheDumpsEscapes) {
    struct {
        std::string in, out;
    } cases[] = {
        {"plain name-1.example", "plain name-1.example"},
        {"b\u00C8ta", "b&#200;ta"},         // the dump's &#200;, read back as U+00C8
        {"tab\there\nline", "tab&#9;here&#10;line"},
        {"\x1b[2J", "&#27;[2J"},             // no terminal control reaches the screen
        {"raw \xff byte", "raw &#255; byte"},  // not UTF-8: the byte itself
        {"cut \xc3", "cut &#195;"},
        {"\x7f", "&#127;"},
    };
    for (const auto& c : cases) EXPECT_EQ(terminal_text(c.in), c.out) << c.in;
}

TEST(Table, RowsReceiveColumnsSendWithLegendAndNoRawBytes) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    TableOptions options;
    std::string table = render_table(model, options);
    std::istringstream lines(table);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) all.push_back(line);
    ASSERT_GE(all.size(), 10u);
    EXPECT_EQ(all[2], " rx\\tx     1     2     3");
    EXPECT_EQ(all[3], "     1         2.5     -");
    EXPECT_EQ(all[4], "     2  0.0*        10.0");  // 100 s old: stale
    EXPECT_EQ(all[5], "     3     -     -      ");
    EXPECT_EQ(all[7], "     1  alpha <script>  10.77.0.1/43210  (this dump's beacon)");
    EXPECT_EQ(all[8], "     2  b&#200;ta&#9;'  10.77.0.2/43211");
    for (unsigned char c : table) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);

    options.metric = Metric::Delay;
    options.channel = Channel::Ssm;
    options.colour = true;
    table = render_table(model, options);
    EXPECT_NE(table.find("\033[34m1.300\033[0m"), std::string::npos) << table;  // good, the dump's precision
    options.channel = Channel::Asm;
    table = render_table(model, options);
    EXPECT_NE(table.find("\033[34m-1.250\033[0m"), std::string::npos) << table;  // from the future
    options.metric = Metric::Loss;
    table = render_table(model, options);
    EXPECT_NE(table.find("\033[33m2.5\033[0m"), std::string::npos);    // degraded: 1 <= 2.5 < 5
    EXPECT_NE(table.find("\033[1;31m10.0\033[0m"), std::string::npos);  // bad
    EXPECT_NE(table.find("\033[2m0.0\033[0m"), std::string::npos);      // stale

    model.beacons.resize(MAX_TABLE_BEACONS + 1);
    EXPECT_THROW(render_table(model, options), std::length_error);
}

TEST(Thresholds, DefaultsSettingAndAbsoluteDelay) {
    Thresholds t;
    EXPECT_EQ(t.level(Metric::Loss, 0.9), Level::Good);
    EXPECT_EQ(t.level(Metric::Loss, 1.0), Level::Degraded);
    EXPECT_EQ(t.level(Metric::Loss, 5.0), Level::Bad);
    EXPECT_EQ(t.level(Metric::Delay, -260), Level::Bad);  // a clock ahead is no excuse
    EXPECT_EQ(t.level(Metric::Ttl, 16), Level::Degraded);
    EXPECT_FALSE(t.set("jitter=2,4.5"));
    EXPECT_EQ(t.level(Metric::Jitter, 3), Level::Degraded);
    for (const char* bad : {"jitter", "jitter=2", "speed=1,2", "loss=5,1", "loss=-1,2", "loss=a,b", "loss=1,inf"})
        EXPECT_TRUE(t.set(bad)) << bad;
}

TEST(Json, TheModelsDocumentWithNullsForMissingFigures) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    nlohmann::json j = nlohmann::json::parse(model_json(model));
    EXPECT_EQ(j["group"], "239.1.2.3/10000");
    EXPECT_EQ(j["ssm_group"], "232.2.3.2/10000");
    EXPECT_EQ(j["interval"], 5.0);
    EXPECT_EQ(j["local"], 0);
    ASSERT_EQ(j["beacons"].size(), 3u);
    EXPECT_EQ(j["beacons"][0]["name"], "alpha <script>");
    EXPECT_EQ(j["beacons"][0]["flags"], nlohmann::json({"SSM", "SSMPing"}));
    EXPECT_EQ(j["beacons"][0]["websites"]["lg"], "javascript:alert(1)");
    EXPECT_EQ(j["beacons"][1]["name"], "b\u00C8ta\t'");
    EXPECT_TRUE(j["beacons"][2]["country"].is_null());
    ASSERT_EQ(j["measurements"].size(), 4u);
    const nlohmann::json& first = j["measurements"][0];
    EXPECT_EQ(first, nlohmann::json::parse(R"({"receiver":0,"sender":1,"channel":"asm","ttl":2,"age_s":3,
        "loss_percent":2.5,"delay_ms":-1.25,"jitter_ms":0.1,"ooo_percent":0.25,"dup_percent":0.0,"stale":false})"));
    EXPECT_EQ(j["measurements"][2]["stale"], true);  // rptage 100 > 6 x 5 s
    EXPECT_EQ(j["stale_after_s"], 30.0);
    EXPECT_EQ(j["beacons"][1]["identity"], "10.77.0.2");
    EXPECT_TRUE(j["measurements"][1]["ttl"].is_null());
    EXPECT_EQ(j["measurements"][1]["channel"], "ssm");
    EXPECT_FALSE(j.contains("status"));

    // A dump holding bytes that are not UTF-8 still gives valid JSON.
    model.beacons[0].name = std::string("bad \xff\xfe");
    EXPECT_NO_THROW(nlohmann::json::parse(model_json(model)));
}

TEST(Json, NumbersReadBackExactly) {
    for (double v : {0.0, 2.5, -1.25, 16.538, 1e-7, 123456789.125, 0.1}) {
        std::string text;
        append_json_number(text, v);
        EXPECT_EQ(nlohmann::json::parse(text).get<double>(), v) << text;
    }
}

TEST(Page, FilledWithNonceCspLiveAndDataThatCannotCloseItsScript) {
    Model model = parse_dump(view_test::small_dump(), "d.xml");
    model.beacons[1].name = "</script><script>alert(1)</script> {{NONCE}} & >";
    Status status;
    status.generated = 1700000000;
    status.error = "d.xml: line 3: bad";
    std::string data = with_status(model_json(model), status);
    std::string nonce = make_nonce();
    std::string page = render_page(data, true, nonce);

    EXPECT_EQ(nonce.size(), 24u);
    EXPECT_NE(make_nonce(), nonce);
    // The only placeholder text left is the one inside the data.
    EXPECT_GT(page.find("{{NONCE}}"), page.find("quillon-data"));
    EXPECT_EQ(page.find("{{CSP}}"), std::string::npos);
    EXPECT_EQ(page.find("{{DATA}}"), std::string::npos);
    EXPECT_EQ(page.find("{{LIVE}}"), std::string::npos);
    EXPECT_NE(page.find("nonce=\"" + nonce + "\""), std::string::npos);
    EXPECT_NE(page.find(content_security_policy(nonce, false)), std::string::npos);
    EXPECT_EQ(page.find("frame-ancestors"), std::string::npos);  // not allowed in <meta>
    EXPECT_NE(page.find("id=\"quillon-live\">true</script>"), std::string::npos);

    // The embedded data is exactly the JSON with <, > and & escaped, and
    // parses back to the same document.
    const std::string open = "id=\"quillon-data\">";
    size_t begin = page.find(open) + open.size();
    size_t end = page.find("</script>", begin);
    std::string embedded = page.substr(begin, end - begin);
    EXPECT_EQ(embedded.find_first_of("<>&"), std::string::npos);
    nlohmann::json back = nlohmann::json::parse(embedded);
    EXPECT_EQ(back, nlohmann::json::parse(data));
    EXPECT_EQ(back["beacons"][1]["name"], "</script><script>alert(1)</script> {{NONCE}} & >");
    EXPECT_EQ(back["status"]["error"], "d.xml: line 3: bad");
    EXPECT_EQ(back["status"]["thresholds"]["delay"], nlohmann::json({100.0, 250.0}));
}

// The program itself on files: what a bad dump leaves behind.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillon-view-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir + "/" + name) << text; }
    std::string slurp(const std::string& name) {
        std::ifstream in(dir + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int run(const std::string& arguments) {
        std::string command = "cd '" + dir + "' && " + QUILLON_VIEW_BINARY + " " + arguments +
                              " >out.txt 2>err.txt";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir;
};

TEST_F(Program, BadDumpsWriteNothingAndSayWhyOnOneLine) {
    std::string good = view_test::small_dump();
    write("truncated.xml", good.substr(0, good.size() - 30));
    write("empty.xml", "");
    for (const char* command : {"json", "table", "html"}) {
        for (const char* dump : {"truncated.xml", "empty.xml", "missing.xml"}) {
            std::string arguments = std::string(command) + " " + dump + (command[0] == 'h' ? " -o page.html" : "");
            EXPECT_EQ(run(arguments), 1) << arguments;
            EXPECT_EQ(slurp("out.txt"), "") << arguments;
            std::string error = slurp("err.txt");
            EXPECT_EQ(error.rfind(std::string("quillon-view: ") + dump + ": ", 0), 0u) << error;
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
        }
    }
    EXPECT_EQ(std::system(("test -z \"$(ls '" + dir + "' | grep page)\"").c_str()), 0) << "html left a file";
    EXPECT_EQ(run("table d.xml --metric speed"), 2);
    EXPECT_EQ(run("json"), 2);
}

TEST_F(Program, HtmlReplacesThePageWholeAndTableHasNoColourOffATerminal) {
    write("d.xml", view_test::small_dump());
    write("page.html", "old page");
    ASSERT_EQ(run("html d.xml -o page.html"), 0) << slurp("err.txt");
    EXPECT_NE(slurp("page.html").find("\"dump_interval_s\":null,\"dump_overdue_after_s\":null"), std::string::npos);
    ASSERT_EQ(run("html d.xml -o page.html --dump-interval 10"), 0) << slurp("err.txt");
    std::string page = slurp("page.html");
    EXPECT_NE(page.find("\"dump_interval_s\":10.0,\"dump_overdue_after_s\":30.0"), std::string::npos);
    EXPECT_NE(page.find("id=\"quillon-live\">false</script>"), std::string::npos);
    EXPECT_EQ(std::system(("test \"$(ls '" + dir + "' | grep -c page)\" = 1").c_str()), 0) << "temporary file left";
    struct stat st {};
    ASSERT_EQ(stat((dir + "/page.html").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IROTH, 0u) << "the page should be readable by a web server";

    ASSERT_EQ(run("table d.xml --metric ttl --threshold ttl=1,2"), 0);
    std::string table = slurp("out.txt");
    EXPECT_EQ(table.find('\033'), std::string::npos);
    EXPECT_NE(table.find("ttl (hops) on asm"), std::string::npos);
    EXPECT_NE(table.find("good below 1 hops, degraded from 1 hops, bad from 2 hops"), std::string::npos);
}

}  // namespace
