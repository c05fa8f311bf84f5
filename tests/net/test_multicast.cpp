#include "net/multicast.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "tests/net/support.h"

// Every join here is made on the loopback interface, named explicitly, so
// that no membership report ever leaves the host.

namespace {

Address family_only(int family) {
    Address a;
    a.set_family(family);
    return a;
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &size), 0) << strerror(errno);
    return value;
}

bool ipv6_usable() {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The descriptor the next socket() will get: the lowest free one.
int next_descriptor() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    close(fd);
    return fd;
}

class MulticastTest : public SocketTest {
protected:
    void use_loopback_interface() {
        settings.interface_index = if_nametoindex("lo");
        ASSERT_NE(settings.interface_index, 0u);
    }
};

TEST(ProtocolLevel, ByFamily) {
    EXPECT_EQ(protocol_level(family_only(AF_INET6)), IPPROTO_IPV6);
    EXPECT_EQ(protocol_level(family_only(AF_INET)), IPPROTO_IP);
    EXPECT_EQ(protocol_level(Address()), IPPROTO_IP);
}

TEST_F(MulticastTest, OptionsOnEveryFamily) {
    struct Case {
        int family;
        int level;
        int hop_reception;
        int hops;
    };
    for (const Case& c : {Case{AF_INET, IPPROTO_IP, IP_RECVTTL, IP_MULTICAST_TTL},
                          Case{AF_INET6, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, IPV6_MULTICAST_HOPS}}) {
        if (c.family == AF_INET6 && !ipv6_usable()) continue;
        SCOPED_TRACE(c.family == AF_INET ? "IPv4" : "IPv6");
        // As for beacon_socket: a cleared address of the family, unbound and
        // not joined.
        int fd = keep(open_multicast_socket(family_only(c.family), false, false));
        ASSERT_GE(fd, 0);
        EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
        EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_TIMESTAMP), 1);
        EXPECT_EQ(int_option(fd, c.level, c.hop_reception), 1);
        EXPECT_EQ(int_option(fd, c.level, c.hops), MULTICAST_HOPS);
        EXPECT_EQ(MULTICAST_HOPS, 127);
        Address local = bound_address(fd);
        EXPECT_EQ(local.port(), 0) << "an unbound socket has no port";
        EXPECT_TRUE(local.is_unspecified());
    }
}

TEST_F(MulticastTest, BindsToTheAddressWhenAsked) {
    int fd = keep(open_multicast_socket(make_address(AF_INET, "127.0.0.1", 0), true, false));
    ASSERT_GE(fd, 0);
    Address local = bound_address(fd);
    EXPECT_EQ(local.to_string(false), "127.0.0.1");
    EXPECT_NE(local.port(), 0);
}

TEST_F(MulticastTest, FailedCreationIsReported) {
    testing::internal::CaptureStderr();
    int fd = open_multicast_socket(Address(), false, false);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(text, std::string("Failed to create multicast socket: ") + strerror(EAFNOSUPPORT) + "\n");
}

TEST_F(MulticastTest, FailedBindIsReportedAndClosesTheSocket) {
    // A socket without address reuse holds the port, so the bind must fail.
    int holder = keep(socket(AF_INET, SOCK_DGRAM, 0));
    Address taken = make_address(AF_INET, "127.0.0.1", 0);
    ASSERT_EQ(bind(holder, taken.as_sockaddr(), taken.length()), 0);
    taken = bound_address(holder);

    int expected_fd = next_descriptor();
    testing::internal::CaptureStderr();
    int fd = open_multicast_socket(taken, true, false);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(text, std::string("Failed to bind multicast socket: ") + strerror(EADDRINUSE) + "\n");
    EXPECT_EQ(next_descriptor(), expected_fd) << "the failed socket was left open";
}

TEST_F(MulticastTest, SetMulticastHops) {
    for (int family : {AF_INET, AF_INET6}) {
        if (family == AF_INET6 && !ipv6_usable()) continue;
        Address address = family_only(family);
        int fd = keep(open_multicast_socket(address, false, false));
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(set_multicast_hops(fd, address, 64));
        EXPECT_EQ(int_option(fd, protocol_level(address), family == AF_INET6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL),
                  64);
        EXPECT_FALSE(set_multicast_hops(-1, address, 64));
    }
}

TEST_F(MulticastTest, RequestDestinationInfo) {
    // IPv4 carries no destination information; nothing is asked of the
    // system, so even a descriptor that is not one succeeds.
    EXPECT_TRUE(request_destination_info(-1, family_only(AF_INET)));
    if (!ipv6_usable()) GTEST_SKIP() << "no IPv6";
    Address v6 = family_only(AF_INET6);
    EXPECT_FALSE(request_destination_info(-1, v6));
    int fd = keep(open_multicast_socket(v6, false, false));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(int_option(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO), 0);
    EXPECT_TRUE(request_destination_info(fd, v6));
    EXPECT_EQ(int_option(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO), 1);
}

TEST_F(MulticastTest, DetectionLogsOnlyWhenVerbose) {
    settings.verbose = 0;
    testing::internal::CaptureStderr();
    detect_multicast_api();
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("Using new Multicast Filter API"), std::string::npos);

    settings.verbose = 1;
    testing::internal::CaptureStderr();
    detect_multicast_api();
    bool logged = testing::internal::GetCapturedStderr().find("Using new Multicast Filter API") != std::string::npos;
    EXPECT_EQ(logged, filter_api_selected());
}

// A second join of a group the socket is already a member of is refused
// with EADDRINUSE: that is how these tests see a membership.
void expect_member(int result_of_second_join) {
    EXPECT_EQ(result_of_second_join, -1);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(MulticastTest, JoinRoutinesOnLoopback) {
    use_loopback_interface();
    struct Case {
        const char* name;
        int family;
        const char* group;
        int (*join)(int, const Address&);
    };
    std::vector<Case> cases = {
        {"filter API, IPv4", AF_INET, "239.255.42.1", join_group_filter_api},
        {"filter API, IPv6", AF_INET6, "ff15::4201", join_group_filter_api},
        {"classic, IPv6 on the named interface", AF_INET6, "ff15::4202", join_group_classic},
        {"selected routine, IPv6", AF_INET6, "ff15::4203", join_group},
    };
    for (const Case& c : cases) {
        if (c.family == AF_INET6 && !ipv6_usable()) continue;
        SCOPED_TRACE(c.name);
        int fd = keep(socket(c.family, SOCK_DGRAM, 0));
        Address group = make_address(c.family, c.group, 10000);
        ASSERT_EQ(c.join(fd, group), 0) << strerror(errno);
        expect_member(c.join(fd, group));
    }
}

TEST_F(MulticastTest, AnyOtherInterfaceIsRefused) {
    if (!ipv6_usable()) GTEST_SKIP() << "no IPv6";
    // An index no interface has: the request must carry it.
    settings.interface_index = 999999;
    int fd = keep(socket(AF_INET6, SOCK_DGRAM, 0));
    Address group = make_address(AF_INET6, "ff15::4204", 10000);
    EXPECT_NE(join_group_classic(fd, group), 0);
    EXPECT_NE(join_group_filter_api(fd, group), 0);
    EXPECT_NE(join_ssm_source(fd, make_address(AF_INET6, "ff35::4204", 10000), make_address(AF_INET6, "::1", 0)), 0);
}

TEST_F(MulticastTest, AsmGroupSocketIsBoundAndJoined) {
    if (!ipv6_usable()) GTEST_SKIP() << "no IPv6";
    use_loopback_interface();
    Address group = make_address(AF_INET6, "ff15::4210", 0);
    int fd = keep(open_multicast_socket(group, true, false));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bound_address(fd).to_string(false), "ff15::4210");
    expect_member(join_group(fd, group));
}

TEST_F(MulticastTest, SsmGroupSocketJoinsPerSource) {
    use_loopback_interface();
    struct Case {
        int family;
        const char* group;
        const char* source;
    };
    for (const Case& c : {Case{AF_INET, "232.43.1.1", "127.0.0.1"}, Case{AF_INET6, "ff35::4211", "::1"}}) {
        if (c.family == AF_INET6 && !ipv6_usable()) continue;
        SCOPED_TRACE(c.group);
        Address group = make_address(c.family, c.group, 0);
        Address source = make_address(c.family, c.source, 10000);
        int fd = keep(open_multicast_socket(group, true, true));
        ASSERT_GE(fd, 0);
        EXPECT_EQ(bound_address(fd).to_string(false), c.group);
        // A member of nothing yet: there is no channel to leave.
        EXPECT_NE(leave_ssm_source(fd, group, source), 0);
        ASSERT_EQ(join_ssm_source(fd, group, source), 0) << strerror(errno);
        EXPECT_NE(join_ssm_source(fd, group, source), 0) << "the channel is joined already";
        EXPECT_EQ(leave_ssm_source(fd, group, source), 0);
        EXPECT_NE(leave_ssm_source(fd, group, source), 0);
        // Joined again after leaving.
        EXPECT_EQ(join_ssm_source(fd, group, source), 0);
    }
}

}  // namespace
