// The SSM channel's sockets: joins refused for the per-socket source limit go
// to further sockets, memberships are left where they are held, emptied
// sockets are closed (never the first), and the one warning when no socket
// can be opened.  The system is a fake with a small per-socket limit.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "control/settings.h"
#include "state/source_table.h"
#include "state/ssm_channel.h"
#include "tests/state/support.h"

namespace {

// Sockets that hold at most `limit` sources each (ENOBUFS beyond, as Linux),
// descriptors from 10 on; `open_error` non-zero makes open fail.
struct FakeSockets : SsmSocketSystem {
    size_t limit = 2;
    int open_error = 0;
    std::map<int, std::vector<std::string>> members;
    std::vector<std::string> calls;

    int open(int& error) override {
        calls.push_back("open");
        if (open_error != 0) {
            error = open_error;
            return -1;
        }
        // The lowest free descriptor, as the system gives it.
        int fd = 10;
        while (members.count(fd) != 0) ++fd;
        members[fd];
        return fd;
    }
    int join(int fd, const Address& source) override {
        std::string text = source.to_string(true);
        calls.push_back("join " + std::to_string(fd) + " " + text);
        if (members[fd].size() >= limit) return ENOBUFS;
        members[fd].push_back(text);
        return 0;
    }
    void leave(int fd, const Address& source) override {
        calls.push_back("leave " + std::to_string(fd) + " " + source.to_string(true));
        // Held by address: the port of the leave need not be the join's.
        auto& held = members[fd];
        for (auto it = held.begin(); it != held.end(); ++it)
            if (it->substr(0, it->find('/')) == source.to_string(false)) {
                held.erase(it);
                break;
            }
    }
    void close(int fd) override {
        calls.push_back("close " + std::to_string(fd));
        members.erase(fd);
    }
};

Address source(int k, uint16_t port = 10000) { return make_address(("10.0.0." + std::to_string(k)).c_str(), port); }

std::vector<std::pair<int, uint32_t>> layout(const SsmChannel& channel) {
    std::vector<std::pair<int, uint32_t>> out;
    for (const auto& socket : channel.sockets()) out.push_back({socket.fd, socket.members});
    return out;
}

using Layout = std::vector<std::pair<int, uint32_t>>;

class SsmChannelTest : public testing::Test {
protected:
    void SetUp() override { settings = Settings{}; }
    void TearDown() override { settings = Settings{}; }

    template <typename F>
    std::vector<std::string> logged(F f) {
        testing::internal::CaptureStderr();
        f();
        return log_messages(testing::internal::GetCapturedStderr());
    }

    FakeSockets system;
    SsmChannel channel{system, 3};
};

TEST_F(SsmChannelTest, JoinsBeyondTheLimitOpenSocketsAndMembershipsAreLeftWhereHeld) {
    for (int k = 1; k <= 5; ++k) ASSERT_EQ(channel.join(source(k)), 0) << k;
    EXPECT_EQ(layout(channel), (Layout{{3, 2}, {10, 2}, {11, 1}}));
    EXPECT_EQ(system.calls, lines_of("join 3 10.0.0.1/10000", "join 3 10.0.0.2/10000", "join 3 10.0.0.3/10000", "open",
                                     "join 10 10.0.0.3/10000", "join 10 10.0.0.4/10000", "join 10 10.0.0.5/10000",
                                     "open", "join 11 10.0.0.5/10000"));
    EXPECT_EQ(channel.holder(source(4, 1234)), 10);  // by address, whatever the port

    // Left on the socket that holds it; the freed place is used before a
    // new socket is opened, and full sockets are not asked again.
    system.calls.clear();
    channel.leave(source(3, 41000));
    ASSERT_EQ(channel.join(source(6)), 0);
    EXPECT_EQ(system.calls, lines_of("leave 10 10.0.0.3/41000", "join 10 10.0.0.6/10000"));
    EXPECT_EQ(layout(channel), (Layout{{3, 2}, {10, 2}, {11, 1}}));

    // A socket holding nothing any more is closed; the first never is.
    system.calls.clear();
    channel.leave(source(5));
    channel.leave(source(1));
    channel.leave(source(2));
    EXPECT_EQ(system.calls,
              lines_of("leave 11 10.0.0.5/10000", "close 11", "leave 3 10.0.0.1/10000", "leave 3 10.0.0.2/10000"));
    EXPECT_EQ(layout(channel), (Layout{{3, 0}, {10, 2}}));
    EXPECT_EQ(channel.holder(source(1)), -1);

    // The first socket has room again and comes first.
    system.calls.clear();
    ASSERT_EQ(channel.join(source(7)), 0);
    EXPECT_EQ(system.calls, lines_of("join 3 10.0.0.7/10000"));
    channel.leave(source(4));
    channel.leave(source(6));
    EXPECT_EQ(layout(channel), (Layout{{3, 1}}));

    // Leaving what is not held asks nothing of the system.
    system.calls.clear();
    channel.leave(source(9));
    EXPECT_TRUE(system.calls.empty());
}

// Refusals another socket cannot mend: an error other than the source limit
// opens nothing; a fresh socket refusing too is closed again.
TEST_F(SsmChannelTest, RefusalsAnotherSocketCannotMend) {
    system.limit = 0;  // no socket takes anything: the limit is not per socket
    EXPECT_EQ(channel.join(source(1)), ENOBUFS);
    EXPECT_EQ(system.calls, lines_of("join 3 10.0.0.1/10000", "open", "join 10 10.0.0.1/10000", "close 10"));
    EXPECT_EQ(layout(channel), (Layout{{3, 0}}));

    struct Fails : FakeSockets {
        int join(int fd, const Address& s) override {
            calls.push_back("join " + std::to_string(fd) + " " + s.to_string(true));
            return EADDRNOTAVAIL;
        }
    } fails;
    SsmChannel other(fails, 3);
    EXPECT_EQ(other.join(source(1)), EADDRNOTAVAIL);
    EXPECT_EQ(fails.calls, lines_of("join 3 10.0.0.1/10000"));
    EXPECT_EQ(other.holder(source(1)), -1);
}

TEST_F(SsmChannelTest, NoFurtherSocketWarnsOnceAndOpensAgainOnlyAfterAClose) {
    const std::string warning =
        std::string(
            "SSM join refused: every SSM socket (2) is at its source limit and no further socket can be "
            "opened (") +
        strerror(EMFILE) + "); raise the descriptor limit to receive SSM from every beacon";
    EXPECT_LT(warning.size(), 255u);
    for (int k = 1; k <= 4; ++k) ASSERT_EQ(channel.join(source(k)), 0);
    system.open_error = EMFILE;
    system.calls.clear();

    auto lines = logged([&] {
        EXPECT_EQ(channel.join(source(5)), ENOBUFS);
        EXPECT_EQ(channel.join(source(6)), ENOBUFS);
    });
    EXPECT_EQ(lines, lines_of(warning));  // whatever the verbosity, once
    // The socket not yet known to be full is asked first; then opening is
    // not tried again while nothing was closed.
    EXPECT_EQ(system.calls, lines_of("join 10 10.0.0.5/10000", "open"));

    // A place freed on an open socket is used without opening.
    system.calls.clear();
    channel.leave(source(1));
    EXPECT_EQ(channel.join(source(5)), 0);
    EXPECT_EQ(system.calls, lines_of("leave 3 10.0.0.1/10000", "join 3 10.0.0.5/10000"));

    // Once a socket is closed, opening is tried again; the warning stays said.
    system.open_error = 0;
    channel.leave(source(3));
    channel.leave(source(4));
    EXPECT_EQ(layout(channel), (Layout{{3, 2}}));
    system.calls.clear();
    lines = logged([&] {
        EXPECT_EQ(channel.join(source(6)), 0);
        system.open_error = ENFILE;
        EXPECT_EQ(channel.join(source(7)), 0);
        EXPECT_EQ(channel.join(source(8)), ENOBUFS);
    });
    EXPECT_EQ(lines, lines_of());
    EXPECT_EQ(system.calls, lines_of("join 3 10.0.0.6/10000", "open", "join 10 10.0.0.6/10000",
                                     "join 10 10.0.0.7/10000", "join 10 10.0.0.8/10000", "open"));
}

TEST_F(SsmChannelTest, LogLinesSayWhichSocketAJoinWentTo) {
    ASSERT_EQ(channel.join(source(1)), 0);
    ASSERT_EQ(channel.join(source(2)), 0);
    struct Case {
        int verbose;
        std::vector<std::string> lines;
    } cases[] = {
        {0, {}},
        {1,
         {"Opened SSM socket 2 (descriptor 10): the other SSM sockets are at their source limit",
          "Closed SSM socket (descriptor 10): it holds no membership any more"}},
        {2,
         {"Opened SSM socket 2 (descriptor 10): the other SSM sockets are at their source limit",
          "SSM (S, G) where S = 10.0.0.3/10000 is on SSM socket 2 of 2 (descriptor 10)",
          "SSM (S, G) where S = 10.0.0.4/10000 is on SSM socket 2 of 2 (descriptor 10)",
          "Closed SSM socket (descriptor 10): it holds no membership any more"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verbose);
        settings.verbose = c.verbose;
        auto lines = logged([&] {
            ASSERT_EQ(channel.join(source(3)), 0);
            ASSERT_EQ(channel.join(source(4)), 0);
            channel.leave(source(3));
            channel.leave(source(4));
        });
        if (c.verbose == 0) {
            EXPECT_EQ(lines, lines_of());
        } else {
            EXPECT_EQ(lines, c.lines);
        }
    }
}

// A bootstrap entry on the default port and the real beacon on its own port
// share one membership: the bootstrap entry expiring must not leave it.
TEST_F(SsmChannelTest, BootstrapEntryExpiringKeepsTheSharedMembership) {
    SourceTable table;
    table.ssm = &channel;
    testing::internal::CaptureStderr();
    table.get_or_create_source(source(1, 10000), nullptr, 1, false);
    table.get_or_create_source(source(1, 41190), nullptr, 2, true);
    table.remove_source(source(1, 10000), true);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(system.calls, lines_of("join 3 10.0.0.1/10000"));
    EXPECT_EQ(channel.holder(source(1)), 3);
    testing::internal::CaptureStderr();
    table.clear();
    testing::internal::GetCapturedStderr();
}

}  // namespace
