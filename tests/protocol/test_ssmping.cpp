#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/datagram.h"
#include "protocol/ssmping.h"
#include "scheduler/main_loop.h"
#include "tests/protocol/support.h"

namespace {

// The IPv6 addresses of the beacon and of the requester in the isolated
// network: on one end of a veth pair, which (unlike the loopback interface)
// delivers IPv6 multicast back to local members.
constexpr const char* BEACON_IPV6 = "fd00:1::1";
constexpr const char* REQUESTER_IPV6 = "fd00:1::2";
constexpr const char* IPV6_INTERFACE = "q0";

// Runs the scenario in a child process inside a network namespace of its
// own: answers to the SSM Ping groups cannot leave it.  The scenario gives ""
// or a description of what failed.
void run_isolated(const std::function<std::string()>& scenario, bool with_ipv6_link = false) {
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        int control = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request{};
        strcpy(request.ifr_name, "lo");
        ioctl(control, SIOCGIFFLAGS, &request);
        request.ifr_flags |= IFF_UP | IFF_MULTICAST;
        if (ioctl(control, SIOCSIFFLAGS, &request) != 0) _exit(77);
        close(control);
        if (with_ipv6_link &&
            system("ip link add q0 type veth peer name q1 && ip link set q1 up && ip link set q0 up && "
                   "ip -6 addr add fd00:1::1/64 dev q0 nodad && ip -6 addr add fd00:1::2/64 dev q0 nodad && "
                   "ip -6 route add ff00::/8 dev q0 table local") != 0)
            _exit(77);
        std::string failure = scenario();
        if (write(channel[1], failure.data(), failure.size()) < 0) _exit(2);
        _exit(0);
    }
    close(channel[1]);
    std::string failure;
    char chunk[512];
    ssize_t n;
    while ((n = read(channel[0], chunk, sizeof chunk)) > 0) failure.append(chunk, static_cast<size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot build a private network";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "scenario crashed";
    EXPECT_EQ(failure, "");
}

int udp_socket(const Address& bind_to) {
    int fd = socket(bind_to.family(), SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind_to.family() == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, bind_to.as_sockaddr(), bind_to.length()) != 0) return -1;
    timeval limit{0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

struct Answer {
    Bytes data;
    Address source;
    uint16_t source_port = 0;
    int hops = -1;
};

Answer receive_answer(int fd) {
    Answer answer;
    Address from;
    Address to;
    uint8_t buffer[2048];
    int hops = 0;
    uint64_t when = 0;
    int n = receive_datagram(fd, from, to, buffer, sizeof buffer, hops, when);
    if (n < 0) return answer;
    answer.data.assign(buffer, buffer + n);
    answer.source = from;
    answer.source_port = from.port();
    answer.hops = hops;
    return answer;
}

// One request through the responder set up by setup_ssmping: the requester
// sends from `requester` port 5000, the responder reads it as the main loop
// would and answers.  The group listener sits on the SSM Ping group, port 5000.
std::string exchange(const char* beacon_text, const char* requester_text, const char* group_text, const Bytes& request,
                     bool answered) {
    runtime = Runtime{};
    runtime.local_address = make_address(beacon_text, 10000);
    bool v6 = runtime.local_address.family() == AF_INET6;
    if (setup_ssmping() != 0) return "setup_ssmping failed";
    // Multicast leaves by the loopback interface, the only one here.
    unsigned index = if_nametoindex(v6 ? IPV6_INTERFACE : "lo");
    in_addr loopback4{htonl(INADDR_LOOPBACK)};
    if (v6) {
        setsockopt(ssmping_socket, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
    } else {
        setsockopt(ssmping_socket, IPPROTO_IP, IP_MULTICAST_IF, &loopback4, sizeof loopback4);
    }

    Address requester = make_address(requester_text, 5000);
    Address group = make_address(group_text, 5000);
    int unicast = udp_socket(requester);
    int listener = udp_socket(group);
    if (unicast < 0 || listener < 0) return "cannot open the requester's sockets";
    int on = 1;
    if (v6) {
        ipv6_mreq join{};
        inet_pton(AF_INET6, group_text, &join.ipv6mr_multiaddr);
        join.ipv6mr_interface = index;
        setsockopt(listener, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join);
        setsockopt(listener, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    } else {
        ip_mreq join{};
        inet_pton(AF_INET, group_text, &join.imr_multiaddr);
        join.imr_interface = loopback4;
        setsockopt(listener, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
        setsockopt(listener, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    }

    Address responder = make_address(beacon_text, SSMPING_PORT);
    if (sendto(unicast, request.data(), request.size(), 0, responder.as_sockaddr(), responder.length()) < 0)
        return "cannot send the request";
    Address from;
    Address to;
    int hops = 0;
    uint64_t when = 0;
    int n = receive_datagram(ssmping_socket, from, to, packet_buffer, PACKET_BUFFER_SIZE, hops, when);
    if (n != static_cast<int>(request.size())) return "the responder did not read the request";
    handle_ssmping(ssmping_socket, from, to, packet_buffer, n);

    Bytes expected = request;
    if (!expected.empty()) expected[0] = 'A';
    Answer direct = receive_answer(unicast);
    Answer multicast = receive_answer(listener);
    close(unicast);
    close(listener);
    close(ssmping_socket);
    ssmping_socket = -1;

    std::string failure;
    if (!answered) {
        if (!direct.data.empty() || !multicast.data.empty()) failure += "answered a request it must ignore; ";
        return failure;
    }
    if (direct.data != expected) failure += "unicast answer differs; ";
    if (direct.source_port != SSMPING_PORT) failure += "unicast answer not from port 4321; ";
    if (v6 && (!direct.source.same_address(responder) || !multicast.source.same_address(responder)))
        failure += "answers not from the address the request was sent to; ";
    if (multicast.data != expected) failure += "multicast answer differs; ";
    if (multicast.source_port != SSMPING_PORT) failure += "multicast answer not from port 4321; ";
    if (multicast.hops != SSMPING_HOPS) failure += "multicast answer hops " + std::to_string(multicast.hops) + "; ";
    return failure;
}

Bytes request_of(size_t size, uint8_t first = 'Q') {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>('a' + i % 26);
    if (size) b[0] = first;
    return b;
}

class SsmPingTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
    }
};

TEST_F(SsmPingTest, IPv4RequestIsAnsweredByUnicastAndToTheGroup) {
    run_isolated([] { return exchange("127.0.0.1", "127.0.0.2", SSMPING_GROUP_IPV4, request_of(40), true); });
}

TEST_F(SsmPingTest, IPv6RequestIsAnsweredByUnicastAndToTheGroup) {
    run_isolated([] { return exchange(BEACON_IPV6, REQUESTER_IPV6, SSMPING_GROUP_IPV6, request_of(40), true); }, true);
}

TEST_F(SsmPingTest, RequestSizeLimits) {
    struct Case {
        Bytes request;
        bool answered;
    };
    const Case cases[] = {
        {request_of(1), true},
        {request_of(SSMPING_MAX_REQUEST), true},
        {request_of(SSMPING_MAX_REQUEST + 1), false},
        {request_of(40, 'A'), false},  // another responder's answer
    };
    for (const Case& c : cases) {
        run_isolated([&] { return exchange("127.0.0.1", "127.0.0.2", SSMPING_GROUP_IPV4, c.request, c.answered); });
    }
}

TEST_F(SsmPingTest, SetupRegistersTheResponderOnPort4321) {
    run_isolated([] {
        runtime.local_address = make_address("::1", 10000);
        size_t registered = receive_sockets.size();
        if (setup_ssmping() != 0) return std::string("setup failed");
        sockaddr_in6 bound{};
        socklen_t length = sizeof bound;
        getsockname(ssmping_socket, reinterpret_cast<sockaddr*>(&bound), &length);
        std::string failure;
        if (bound.sin6_family != AF_INET6 || ntohs(bound.sin6_port) != SSMPING_PORT) failure += "not bound to 4321; ";
        if (!IN6_IS_ADDR_UNSPECIFIED(&bound.sin6_addr)) failure += "not on the wildcard address; ";
        if (receive_sockets.size() != registered + 1 || receive_sockets.back().fd != ssmping_socket ||
            receive_sockets.back().kind != KIND_SSMPING)
            failure += "not registered; ";
        int hops = 0;
        socklen_t size = sizeof hops;
        getsockopt(ssmping_socket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, &size);
        if (hops != SSMPING_HOPS) failure += "multicast hops " + std::to_string(hops) + "; ";
        return failure;
    });
}

TEST_F(SsmPingTest, SetupWithoutALocalFamilyFails) {
    EXPECT_EQ(ssmping_socket, -1);
    runtime.local_address = Address();
    EXPECT_EQ(setup_ssmping(), -1);
    EXPECT_EQ(ssmping_socket, -1);
}

TEST_F(SsmPingTest, IgnoredDatagramsAreLeftAlone) {
    settings.verbose = 2;
    Address from = make_address("2001:db8::1", 5000);
    Address to = make_address("2001:db8::2", 10000);
    struct Case {
        Bytes data;
        int length;
    };
    const Case cases[] = {
        {{'Q', 'x'}, 0}, {{'A', 'x'}, 2}, {{'q', 'x'}, 2}, {request_of(SSMPING_MAX_REQUEST + 1), SSMPING_MAX_REQUEST + 1},
    };
    for (Case c : cases) {
        Bytes before = c.data;
        testing::internal::CaptureStderr();
        handle_ssmping(-1, from, to, c.data.data(), c.length);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(c.data, before);
    }
}

TEST_F(SsmPingTest, RequestIsLoggedFromVerbosityTwo) {
    // Descriptor -1: every send fails, nothing leaves the process.
    Address from = make_address("2001:db8::1", 5000);
    Address to = make_address("2001:db8::2", 10000);
    Bytes data = {'Q', 'x', 'y'};
    settings.verbose = 1;
    testing::internal::CaptureStderr();
    handle_ssmping(-1, from, to, data.data(), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(data, (Bytes{'A', 'x', 'y'}));

    settings.verbose = 2;
    data[0] = 'Q';
    testing::internal::CaptureStderr();
    handle_ssmping(-1, from, to, data.data(), 3);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Got SSM Ping Request from 2001:db8::1/5000\n"), std::string::npos) << err;
}

}  // namespace
