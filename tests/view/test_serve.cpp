// serve over loopback: routes, methods, the 503 before a good dump, and the
// last good model kept when the file breaks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <vector>
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

// A connected socket to the server from source (any local address when
// empty), or -1.
int connect_to(const std::string& server, unsigned short port, const std::string& source = "") {
    sockaddr_storage to{}, from{};
    socklen_t length = 0;
    bool v6 = server.find(':') != std::string::npos;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&to);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, server.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&to);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, server.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    int fd = socket(to.ss_family, SOCK_STREAM, 0);
    if (!source.empty()) {
        auto* a = reinterpret_cast<sockaddr_in*>(&from);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &a->sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof *a) != 0) {
            close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request on its own connection; the answer is read to its end.
Reply request(unsigned short port, const std::string& method, const std::string& path, const std::string& body = "",
              const std::string& headers = "", const std::string& server = "127.0.0.1") {
    int fd = connect_to(server, port);
    Reply reply;
    if (fd < 0) return reply;
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers;
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

std::string gunzip(const std::string& data) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + 15), Z_OK);
    std::string out;
    char buffer[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    EXPECT_EQ(result, Z_STREAM_END) << "a complete gzip stream, its CRC and length right";
    EXPECT_EQ(z.avail_in, 0u) << "nothing after it";
    inflateEnd(&z);
    return out;
}

// True when the server keeps the connection open (admitted), false when it
// closes it at once (refused).
bool held_open(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 150) == 0;
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
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(line);
        };
        configure(options);
        server = std::make_unique<Server>(options);
        ASSERT_EQ(server->start(), "");
        port = server->port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        server.reset();
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    // Replaced as the daemon replaces it: a new file renamed over the old
    // (written at the given time, or now).
    void write_dump(const std::string& text, std::time_t written = 0) {
        std::string temporary = options.dump + ".working";
        std::ofstream(temporary) << text;
        if (written) {
            struct timespec times[2] = {{written, 0}, {written, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, temporary.c_str(), times, 0), 0);
        }
        std::rename(temporary.c_str(), options.dump.c_str());
    }
    virtual void configure(ServeOptions&) {}
    std::string dir;
    ServeOptions options;
    std::mutex log_mutex;
    std::vector<std::string> log;
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
    std::lock_guard<std::mutex> lock(log_mutex);
    ASSERT_EQ(log.size(), 2u) << "one line when reading starts failing, one when it works again";
    EXPECT_EQ(log[0].rfind(options.dump + ": line ", 0), 0u) << log[0];
    EXPECT_NE(log[0].find("truncated?); serving the last good dump"), std::string::npos) << log[0];
    EXPECT_EQ(log[1], options.dump + ": read again, 3 beacons");
}

TEST_F(Serve, BodiesAreSharedPerDumpAndGzipWhenAccepted) {
    write_dump(view_test::small_dump());
    for (const char* path : {"/metrics", "/matrix.json", "/", "/dump.xml"}) {
        Reply plain = request(port, "GET", path);
        Reply packed = request(port, "GET", path, "", "Accept-Encoding: deflate, gzip;q=0.5\r\n");
        ASSERT_EQ(packed.status, 200) << path;
        EXPECT_EQ(header(plain, "Content-Encoding"), "") << path;
        EXPECT_EQ(header(packed, "Content-Encoding"), "gzip") << path;
        EXPECT_EQ(header(packed, "Vary"), "Accept-Encoding") << path;
        std::string unpacked = gunzip(packed.body);
        if (std::string(path) == "/") {
            EXPECT_NE(unpacked.find("alpha \\u003cscript\\u003e"), std::string::npos);
            EXPECT_NE(unpacked.find("\\u003c/html"), 0u);
        } else if (std::string(path) == "/matrix.json") {
            nlohmann::json a = nlohmann::json::parse(plain.body), b = nlohmann::json::parse(unpacked);
            a.erase("status");
            b.erase("status");
            EXPECT_EQ(a, b);
        } else {
            // The dump's age may have ticked between the two.
            auto without_age = [](std::string text) {
                size_t at = text.find("\nquillon_dump_age_seconds ");
                if (at != std::string::npos) text.erase(at, text.find('\n', at + 1) - at);
                return text;
            };
            EXPECT_EQ(without_age(unpacked), without_age(plain.body)) << path;
        }
    }
    EXPECT_EQ(header(request(port, "GET", "/metrics", "", "Accept-Encoding: gzip;q=0\r\n"), "Content-Encoding"), "");

    Site& site = server->site();
    const Piece* first = site.answer("GET", "/metrics").body.pieces.at(0).get();
    EXPECT_EQ(site.answer("GET", "/metrics").body.pieces.at(0).get(), first) << "rendered once per dump";
    std::string changed = view_test::small_dump();
    changed.replace(changed.find("gamma"), 5, "delta");
    write_dump(changed);
    Response fresh = site.answer("GET", "/metrics");
    EXPECT_NE(fresh.body.text().find("delta"), std::string::npos) << "rendered again for a new dump";
}

TEST_F(Serve, SaysWhichAddressItCannotBind) {
    ServeOptions taken = options;
    taken.listen = "127.0.0.1:" + std::to_string(port);
    Server second(taken);
    EXPECT_EQ(second.start(), "cannot listen on " + taken.listen + ": Address already in use");
}

class ServeLimits : public Serve {
protected:
    void configure(ServeOptions& o) override {
        o.connection_limit = 6;
        o.per_address_limit = 3;
        o.reserved = 2;
        o.request_deadline_s = 3;  // longer than the attempts below take
    }
};

TEST_F(ServeLimits, PerAddressLimitReservedSlotsAndAnAbsoluteDeadline) {
    write_dump(view_test::small_dump());
    std::vector<int> fds;
    auto attempt = [&](const char* source) {
        int fd = connect_to("127.0.0.1", port, source);
        if (fd < 0) return false;
        fds.push_back(fd);
        return held_open(fd);
    };
    // One address: up to its limit, not one more.
    EXPECT_TRUE(attempt("127.0.0.2"));
    EXPECT_TRUE(attempt("127.0.0.2"));
    EXPECT_TRUE(attempt("127.0.0.2"));
    EXPECT_FALSE(attempt("127.0.0.2")) << "above the per-address limit";
    // 4 of 6 held: the last 2 only for addresses that hold none.
    EXPECT_TRUE(attempt("127.0.0.3"));
    EXPECT_FALSE(attempt("127.0.0.3")) << "a reserved slot taken by an address that holds one";
    EXPECT_TRUE(attempt("127.0.0.4"));
    EXPECT_TRUE(attempt("127.0.0.5"));
    EXPECT_FALSE(attempt("127.0.0.6")) << "every slot taken";

    // Activity does not keep a connection: a header line every 0.15 s is
    // cut at the deadline.
    int slow = -1;
    for (int fd : fds) close(fd);
    fds.clear();
    usleep(300000);
    slow = connect_to("127.0.0.1", port, "127.0.0.7");
    ASSERT_GE(slow, 0);
    std::string line = "GET /metrics HTTP/1.1\r\n";
    auto started = std::chrono::steady_clock::now();
    bool cut = false;
    for (int i = 0; i < 40 && !cut; ++i) {
        if (send(slow, line.data(), line.size(), MSG_NOSIGNAL) < 0) cut = true;
        line = "X-Slow-" + std::to_string(i) + ": 1\r\n";
        cut = cut || !held_open(slow);
    }
    double held = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    close(slow);
    EXPECT_TRUE(cut);
    EXPECT_GE(held, 2.8);
    EXPECT_LE(held, 4.0);
    EXPECT_EQ(request(port, "GET", "/metrics").status, 200) << "served again once the crowd is gone";
}

TEST(ServeDualStack, TheIpv6WildcardTakesBothFamilies) {
    ServeOptions options;
    options.dump = "/nonexistent/dump.xml";
    options.listen = "[::]:0";
    options.log = [](const std::string&) {};
    Server server(options);
    ASSERT_EQ(server.start(), "");
    EXPECT_EQ(request(server.port(), "GET", "/metrics", "", "", "::1").status, 503);
    EXPECT_EQ(request(server.port(), "GET", "/metrics", "", "", "127.0.0.1").status, 503);
}

// The beacon rewrites its dump every 10 s; serve learns that from the
// rewrites, whether asked between them or not, and a restart's odd gap
// does not change it.
TEST_F(Serve, LearnsTheDumpIntervalAndAgesTheFiguresOfADumpNoLongerWritten) {
    auto written_at = [&](std::time_t when) {
        write_dump(view_test::small_dump(), when);
        ASSERT_EQ(request(port, "GET", "/metrics").status, 200);
    };
    auto metric = [&](const std::string& name) {
        std::string body = request(port, "GET", "/metrics").body;
        size_t at = body.find("\n" + name + " ");
        return at == std::string::npos ? std::string("absent") : body.substr(at + name.size() + 2, body.find('\n', at + 1) - at - name.size() - 2);
    };
    std::time_t now = std::time(nullptr);
    for (std::time_t at : {now - 64, now - 54, now - 44}) {
        write_dump(view_test::small_dump(), at);  // nobody asks
        usleep(1200000);
    }
    EXPECT_EQ(metric("quillon_dump_interval_seconds"), "10");
    for (std::time_t at : {now - 34, now - 31}) written_at(at);  // a restart 3 s later
    EXPECT_EQ(metric("quillon_dump_interval_seconds"), "10");
    EXPECT_EQ(metric("quillon_dump_overdue_after_seconds"), "30");
    EXPECT_EQ(metric("quillon_dump_timestamp_seconds"), std::to_string(now - 31));

    // Written 26 s ago: the 3 s old figures are 29 s old, fresh (limit 30 s).
    now = std::time(nullptr);
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
