// serve over loopback: routes, methods, the 503 before a good dump, and the
// last good model kept when the file breaks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "view/server.h"
#include "view_test_util.h"

using namespace view;

namespace {

struct Reply {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
};

// One request on its own connection; the answer is read to its end.
Reply request(unsigned short port, const std::string& method, const std::string& path, const std::string& body = "") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Reply reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return reply;
    }
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    (void)!write(fd, text.data(), text.size());
    std::string answer;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    size_t split = answer.find("\r\n\r\n");
    if (split == std::string::npos) return reply;
    reply.head = answer.substr(0, split);
    reply.body = answer.substr(split + 4);
    std::sscanf(reply.head.c_str(), "HTTP/1.1 %d", &reply.status);
    return reply;
}

std::string header(const Reply& reply, const std::string& name) {
    size_t at = reply.head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return reply.head.substr(at, reply.head.find("\r\n", at) - at);
}

class Serve : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillon-serve-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        options.dump = dir + "/dump.xml";
        options.listen = "127.0.0.1:0";
        options.threads = 2;
        server = std::make_unique<Server>(options);
        ASSERT_EQ(server->start(), "");
        port = server->port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        server.reset();
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    // Replaced as the daemon replaces it: a new file renamed over the old.
    void write_dump(const std::string& text) {
        std::string temporary = options.dump + ".working";
        std::ofstream(temporary) << text;
        std::rename(temporary.c_str(), options.dump.c_str());
    }
    std::string dir;
    ServeOptions options;
    std::unique_ptr<Server> server;
    unsigned short port = 0;
};

TEST_F(Serve, AnswersOnlyItsPathsWithGetAndHead) {
    Reply before = request(port, "GET", "/matrix.json");
    EXPECT_EQ(before.status, 503);
    EXPECT_EQ(before.body, "no good dump read yet: " + options.dump + ": No such file or directory\n");

    write_dump(view_test::small_dump());
    Reply json = request(port, "GET", "/matrix.json");
    ASSERT_EQ(json.status, 200);
    EXPECT_EQ(header(json, "Content-Type"), "application/json");
    nlohmann::json j = nlohmann::json::parse(json.body);
    EXPECT_EQ(j["beacons"].size(), 3u);
    EXPECT_TRUE(j["status"]["error"].is_null());
    EXPECT_TRUE(j["status"]["dump_interval_s"].is_null());  // not learnt yet
    EXPECT_LE(j["status"]["dump_age_s"].get<double>(), 5.0);

    Reply page = request(port, "GET", "/");
    ASSERT_EQ(page.status, 200);
    std::string policy = header(page, "Content-Security-Policy");
    size_t at = policy.find("'nonce-");
    ASSERT_NE(at, std::string::npos);
    std::string nonce = policy.substr(at + 7, 24);
    EXPECT_NE(page.body.find("<script nonce=\"" + nonce + "\""), std::string::npos);
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_NE(page.body.find("id=\"quillon-live\">true</script>"), std::string::npos);
    EXPECT_NE(page.body.find("alpha \\u003cscript\\u003e"), std::string::npos);
    EXPECT_EQ(page.body.find("alpha <script>"), std::string::npos);

    EXPECT_EQ(request(port, "GET", "/dump.xml").body, view_test::small_dump());

    Reply head = request(port, "HEAD", "/dump.xml");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(header(head, "Content-Length"), std::to_string(view_test::small_dump().size()));

    for (const char* path : {"/x", "/dump.xml/", "/../dump.xml", "/etc/passwd", "//dump.xml", "/matrix.json.bak"})
        EXPECT_EQ(request(port, "GET", path).status, 404) << path;
    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        Reply refused = request(port, method, "/", "a=1");
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(header(refused, "Allow"), "GET, HEAD");
    }
}

TEST_F(Serve, KeepsTheLastGoodModelAndSaysWhyWhenTheFileBreaks) {
    write_dump(view_test::small_dump());
    ASSERT_EQ(request(port, "GET", "/matrix.json").status, 200);

    std::string good = view_test::small_dump();
    struct {
        const char* what;
        std::string text;
        const char* expected;
    } breaks[] = {
        {"half written", good.substr(0, good.size() / 2), ": line 1"},
        {"not a dump", "<html></html>\n", ": line 1: not a dump"},
        {"emptied", "", ": line 1: empty file"},
    };
    for (const auto& b : breaks) {
        write_dump(b.text);
        Reply reply = request(port, "GET", "/matrix.json");
        ASSERT_EQ(reply.status, 200) << b.what;
        nlohmann::json j = nlohmann::json::parse(reply.body);
        EXPECT_EQ(j["beacons"].size(), 3u) << b.what;
        std::string error = j["status"]["error"];
        EXPECT_EQ(error.rfind(options.dump + b.expected, 0), 0u) << error;
        EXPECT_EQ(request(port, "GET", "/dump.xml").body, good) << "the last good file is served";
    }
    unlink(options.dump.c_str());
    nlohmann::json missing = nlohmann::json::parse(request(port, "GET", "/matrix.json").body);
    EXPECT_EQ(missing["status"]["error"], options.dump + ": No such file or directory");

    std::string changed = good;
    changed.replace(changed.find("gamma"), 5, "delta");
    write_dump(changed);
    nlohmann::json back = nlohmann::json::parse(request(port, "GET", "/matrix.json").body);
    EXPECT_TRUE(back["status"]["error"].is_null());
    EXPECT_EQ(back["beacons"][2]["name"], "delta");
}

// The beacon rewrites its dump every 10 s; serve sees the rewrites that
// fall between requests, one of them late and one right after a restart.
TEST_F(Serve, LearnsTheDumpIntervalAndAgesTheFiguresOfADumpNoLongerWritten) {
    auto written_at = [&](std::time_t when) {
        write_dump(view_test::small_dump());
        struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, options.dump.c_str(), times, 0), 0);
        ASSERT_EQ(request(port, "GET", "/metrics").status, 200);
    };
    auto metric = [&](const std::string& name) {
        std::string body = request(port, "GET", "/metrics").body;
        size_t at = body.find("\n" + name + " ");
        return at == std::string::npos ? std::string("absent") : body.substr(at + name.size() + 2, body.find('\n', at + 1) - at - name.size() - 2);
    };
    std::time_t now = std::time(nullptr);
    for (std::time_t at : {now - 64, now - 54, now - 44}) written_at(at);
    EXPECT_EQ(metric("quillon_dump_interval_seconds"), "10");
    for (std::time_t at : {now - 24, now - 21}) written_at(at);  // one missed; a restart 3 s later
    EXPECT_EQ(metric("quillon_dump_interval_seconds"), "10");
    EXPECT_EQ(metric("quillon_dump_overdue_after_seconds"), "30");
    EXPECT_EQ(metric("quillon_dump_timestamp_seconds"), std::to_string(now - 21));

    // Written 26 s ago: the 3 s old figures are 29 s old, fresh (limit 30 s).
    written_at(now - 26);
    nlohmann::json j = nlohmann::json::parse(request(port, "GET", "/matrix.json").body);
    EXPECT_EQ(j["measurements"][0]["stale"], false);
    EXPECT_EQ(j["status"]["dump_overdue_after_s"], 30.0);
    EXPECT_NE(metric("quillon_loss_ratio{receiver=\"alpha <script>\",sender=\"b\u00C8ta\t'\",receiver_address="
                     "\"10.77.0.1\",sender_address=\"10.77.0.2\",channel=\"asm\"}"), "absent");
    // The beacon stops writing: the same file ages its figures past the
    // limit without being rewritten.
    while (std::time(nullptr) < now + 2) usleep(50000);
    j = nlohmann::json::parse(request(port, "GET", "/matrix.json").body);
    EXPECT_EQ(j["measurements"][0]["stale"], true);
    EXPECT_EQ(metric("quillon_loss_ratio{receiver=\"alpha <script>\",sender=\"b\u00C8ta\t'\",receiver_address="
                     "\"10.77.0.1\",sender_address=\"10.77.0.2\",channel=\"asm\"}"), "absent");
}

TEST(Listen, AddressAndPort) {
    std::string host;
    unsigned short port = 0;
    EXPECT_TRUE(parse_listen("127.0.0.1:9798", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 9798);
    EXPECT_TRUE(parse_listen("[::1]:80", host, port));
    EXPECT_EQ(host, "::1");
    for (const char* bad : {"127.0.0.1", "localhost:80", "1.2.3.4:65536", "1.2.3.4:", ":80", "1.2.3.4:8x"})
        EXPECT_FALSE(parse_listen(bad, host, port)) << bad;
}

}  // namespace
