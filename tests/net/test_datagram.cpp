#include "net/datagram.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/multicast.h"
#include "tests/net/support.h"

namespace {

bool same_storage(const Address& a, const Address& b) { return compare(a, b) == 0; }

// ---- read_control_messages on hand-built control buffers ----

struct ControlMessage {
    int level;
    int type;
    std::vector<uint8_t> payload;
};

template <typename T>
std::vector<uint8_t> bytes_of(const T& value) {
    std::vector<uint8_t> out(sizeof value);
    memcpy(out.data(), &value, sizeof value);
    return out;
}

ControlMessage int_message(int level, int type, int value) { return {level, type, bytes_of(value)}; }
ControlMessage byte_message(int level, int type, uint8_t value) { return {level, type, {value}}; }

ControlMessage timestamp_message(long seconds, long microseconds) {
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    return {SOL_SOCKET, SCM_TIMESTAMP, bytes_of(tv)};
}

ControlMessage pktinfo_message(const char* address, int extra_bytes = 0) {
    in6_pktinfo info;
    memset(&info, 0, sizeof info);
    inet_pton(AF_INET6, address, &info.ipi6_addr);
    info.ipi6_ifindex = 1;
    std::vector<uint8_t> payload = bytes_of(info);
    payload.resize(payload.size() + extra_bytes);  // extra_bytes < 0 cuts it short
    return {IPPROTO_IPV6, IPV6_PKTINFO, payload};
}

struct ControlBuffer {
    alignas(cmsghdr) uint8_t bytes[1024];
    msghdr message;

    explicit ControlBuffer(const std::vector<ControlMessage>& list) {
        memset(bytes, 0, sizeof bytes);
        memset(&message, 0, sizeof message);
        size_t total = 0;
        for (const ControlMessage& m : list) total += CMSG_SPACE(m.payload.size());
        message.msg_control = total ? bytes : nullptr;
        message.msg_controllen = total;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        for (const ControlMessage& m : list) {
            c->cmsg_level = m.level;
            c->cmsg_type = m.type;
            c->cmsg_len = CMSG_LEN(m.payload.size());
            memcpy(CMSG_DATA(c), m.payload.data(), m.payload.size());
            c = CMSG_NXTHDR(&message, c);
        }
    }
};

Address with_destination(const Address& start, const char* v6_address) {
    // What a destination message makes of `to`: family and address change,
    // everything else of the storage (port included) stays.
    Address out = start;
    sockaddr_storage s = out.storage();
    s.ss_family = AF_INET6;
    inet_pton(AF_INET6, v6_address, &reinterpret_cast<sockaddr_in6*>(&s)->sin6_addr);
    memcpy(out.as_sockaddr(), &s, sizeof s);
    return out;
}

struct ControlCase {
    const char* name;
    std::vector<ControlMessage> messages;
    int hop_count;
    uint64_t receive_ms;
    const char* destination;  // nullptr: `to` unchanged
};

void run_control_cases(const Address& local) {
    const std::vector<ControlCase> cases = {
        {"no messages", {}, 127, 0, nullptr},
        {"IPv4 TTL as int", {int_message(IPPROTO_IP, IP_TTL, 33)}, 33, 0, nullptr},
        {"IPv4 TTL as one byte", {byte_message(IPPROTO_IP, IP_RECVTTL, 7)}, 7, 0, nullptr},
        {"IPv4 TTL byte 255", {byte_message(IPPROTO_IP, IP_RECVTTL, 255)}, 255, 0, nullptr},
        {"IPv6 hop limit", {int_message(IPPROTO_IPV6, IPV6_HOPLIMIT, 250)}, 250, 0, nullptr},
        {"kernel time stamp", {timestamp_message(1700000000, 123999)}, 127, 1700000000123ull, nullptr},
        {"time stamp under a millisecond", {timestamp_message(0, 999)}, 127, 0, nullptr},
        {"destination", {pktinfo_message("2001:db8::42")}, 127, 0, "2001:db8::42"},
        {"destination too long is ignored", {pktinfo_message("2001:db8::42", 4)}, 127, 0, nullptr},
        {"destination too short is ignored", {pktinfo_message("2001:db8::42", -4)}, 127, 0, nullptr},
        {"unknown messages are ignored",
         {int_message(IPPROTO_IP, IP_TOS, 5), int_message(IPPROTO_IPV6, IPV6_TCLASS, 9),
          int_message(SOL_SOCKET, SO_RCVBUF, 3)},
         127,
         0,
         nullptr},
        {"hop count from the later message", {int_message(IPPROTO_IP, IP_TTL, 10), int_message(IPPROTO_IPV6, IPV6_HOPLIMIT, 20)},
         20, 0, nullptr},
        {"later time stamp wins", {timestamp_message(100, 5000), timestamp_message(200, 7000)}, 127, 200007, nullptr},
        {"later destination wins", {pktinfo_message("::1"), pktinfo_message("ff3e::4321:1234")}, 127, 0,
         "ff3e::4321:1234"},
        {"all at once",
         {timestamp_message(1, 2000), byte_message(IPPROTO_IP, IP_RECVTTL, 64), pktinfo_message("::1")},
         64,
         1002,
         "::1"},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        ControlBuffer buffer(c.messages);
        Address to = local;
        int hop_count = 127;
        uint64_t receive_ms = 0;
        read_control_messages(buffer.message, to, hop_count, receive_ms);
        EXPECT_EQ(hop_count, c.hop_count);
        EXPECT_EQ(receive_ms, c.receive_ms);
        Address expected = c.destination ? with_destination(local, c.destination) : local;
        EXPECT_TRUE(same_storage(to, expected)) << to.to_string(true);
        if (c.destination) {
            EXPECT_EQ(to.family(), AF_INET6);
            EXPECT_EQ(to.to_string(false), c.destination);
            EXPECT_EQ(to.port(), local.port());
        }
    }
}

TEST(ReadControlMessages, IPv6LocalAddress) { run_control_cases(make_address(AF_INET6, "2001:db8::10", 10000)); }

TEST(ReadControlMessages, IPv4LocalAddress) { run_control_cases(make_address(AF_INET, "192.0.2.10", 10000)); }

TEST(ReadControlMessages, CutMessagesAreIgnored) {
    // The kernel cuts the last message when the control buffer runs out:
    // its length then covers only part of the payload.
    ControlBuffer cut({timestamp_message(1700000000, 0)});
    CMSG_FIRSTHDR(&cut.message)->cmsg_len = CMSG_LEN(sizeof(struct timeval) / 2);
    cut.message.msg_controllen = CMSG_LEN(sizeof(struct timeval) / 2);
    // A header that claims more than the buffer holds.
    ControlBuffer overlong({timestamp_message(1700000000, 0)});
    overlong.message.msg_controllen = CMSG_LEN(sizeof(struct timeval) / 2);
    ControlBuffer ttl({int_message(IPPROTO_IP, IP_TTL, 33)});
    CMSG_FIRSTHDR(&ttl.message)->cmsg_len = CMSG_LEN(2);
    for (ControlBuffer* buffer : {&cut, &overlong, &ttl}) {
        Address to;
        int hop_count = 127;
        uint64_t receive_ms = 0;
        read_control_messages(buffer->message, to, hop_count, receive_ms);
        EXPECT_EQ(hop_count, 127);
        EXPECT_EQ(receive_ms, 0u);
    }
}

// ---- wall clock ----

TEST(WallclockMs, MatchesGettimeofday) {
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    int64_t ms = wallclock_ms();
    gettimeofday(&after, nullptr);
    int64_t low = static_cast<int64_t>(before.tv_sec) * 1000 + before.tv_usec / 1000;
    int64_t high = static_cast<int64_t>(after.tv_sec) * 1000 + after.tv_usec / 1000;
    EXPECT_GE(ms, low);
    EXPECT_LE(ms, high);
}

// ---- real datagrams over loopback ----

bool ipv6_loopback_usable() {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 a;
    memset(&a, 0, sizeof a);
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

class DatagramSocketTest : public SocketTest {
protected:
    // A receive socket as the beacon opens it, on an ephemeral loopback port.
    int receiver(int family, const char* loopback) {
        return keep(open_multicast_socket(make_address(family, loopback, 0), true, true));
    }
    int sender(int family, int hops) {
        int fd = keep(socket(family, SOCK_DGRAM, 0));
        if (family == AF_INET6)
            EXPECT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops), 0);
        else
            EXPECT_EQ(setsockopt(fd, IPPROTO_IP, IP_TTL, &hops, sizeof hops), 0);
        return fd;
    }
};

TEST_F(DatagramSocketTest, ReceivesIPv4WithTtlTimeAndLocalDestination) {
    runtime.local_address = make_address(AF_INET, "127.0.0.9", 10000);
    int rx = receiver(AF_INET, "127.0.0.1");
    ASSERT_GE(rx, 0);
    int tx = sender(AF_INET, 42);
    Address destination = bound_address(rx);

    const uint8_t data[] = {0xBE, 0xAC, 1, 0, 9};
    int64_t before = wallclock_ms();
    ASSERT_EQ(sendto(tx, data, sizeof data, 0, destination.as_sockaddr(), destination.length()),
              static_cast<ssize_t>(sizeof data));
    ASSERT_TRUE(wait_readable(rx));

    Address from, to;
    uint8_t buffer[8192];
    int hop_count = -1;
    uint64_t receive_ms = 0;
    int length = receive_datagram(rx, from, to, buffer, sizeof buffer, hop_count, receive_ms);
    int64_t after = wallclock_ms();

    ASSERT_EQ(length, 5);
    EXPECT_EQ(memcmp(buffer, data, sizeof data), 0);
    EXPECT_EQ(hop_count, 42);
    EXPECT_GE(static_cast<int64_t>(receive_ms), before - 2);
    EXPECT_LE(static_cast<int64_t>(receive_ms), after + 2);
    EXPECT_TRUE(same_storage(to, runtime.local_address));
    EXPECT_EQ(from.to_string(true), "127.0.0.1/" + std::to_string(bound_address(tx).port()));
}

// Time stamp, hop limit and destination all arrive together, as on the SSM
// Ping socket.
TEST_F(DatagramSocketTest, ReceivesIPv6WithHopLimitAndDestination) {
    if (!ipv6_loopback_usable()) GTEST_SKIP() << "no IPv6 loopback";
    runtime.local_address = make_address(AF_INET6, "2001:db8::1", 10000);
    int rx = receiver(AF_INET6, "::1");
    ASSERT_GE(rx, 0);
    ASSERT_TRUE(request_destination_info(rx, runtime.local_address));
    int tx = sender(AF_INET6, 17);
    Address destination = bound_address(rx);

    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
    int64_t before = wallclock_ms();
    ASSERT_EQ(send_from(tx, data, sizeof data, make_address(AF_INET6, "::1", 0), destination), 7);
    ASSERT_TRUE(wait_readable(rx));

    Address from, to;
    uint8_t buffer[8192];
    int hop_count = -1;
    uint64_t receive_ms = 0;
    int length = receive_datagram(rx, from, to, buffer, sizeof buffer, hop_count, receive_ms);
    int64_t after = wallclock_ms();

    ASSERT_EQ(length, 7);
    EXPECT_EQ(hop_count, 17);
    EXPECT_GE(static_cast<int64_t>(receive_ms), before - 2);
    EXPECT_LE(static_cast<int64_t>(receive_ms), after + 2);
    EXPECT_EQ(to.family(), AF_INET6);
    EXPECT_EQ(to.to_string(true), "::1/10000");
    EXPECT_EQ(from.family(), AF_INET6);
    EXPECT_EQ(from.to_string(true), "::1/" + std::to_string(bound_address(tx).port()));
}

TEST_F(DatagramSocketTest, IPv6WithoutDestinationInfoKeepsLocalAddress) {
    if (!ipv6_loopback_usable()) GTEST_SKIP() << "no IPv6 loopback";
    runtime.local_address = make_address(AF_INET6, "2001:db8::1", 10000);
    int rx = receiver(AF_INET6, "::1");
    ASSERT_GE(rx, 0);
    int tx = sender(AF_INET6, 5);
    Address destination = bound_address(rx);
    const uint8_t data[] = {9};
    ASSERT_EQ(sendto(tx, data, 1, 0, destination.as_sockaddr(), destination.length()), 1);
    ASSERT_TRUE(wait_readable(rx));

    Address from, to;
    uint8_t buffer[16];
    int hop_count = -1;
    uint64_t receive_ms = 0;
    ASSERT_EQ(receive_datagram(rx, from, to, buffer, sizeof buffer, hop_count, receive_ms), 1);
    EXPECT_EQ(hop_count, 5);
    EXPECT_TRUE(same_storage(to, runtime.local_address));
}

TEST_F(DatagramSocketTest, LongDatagramIsCutToCapacity) {
    runtime.local_address = make_address(AF_INET, "127.0.0.9", 10000);
    int rx = receiver(AF_INET, "127.0.0.1");
    ASSERT_GE(rx, 0);
    int tx = sender(AF_INET, 64);
    Address destination = bound_address(rx);
    uint8_t data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(sendto(tx, data, sizeof data, 0, destination.as_sockaddr(), destination.length()), 20);
    ASSERT_TRUE(wait_readable(rx));

    Address from, to;
    uint8_t buffer[12];
    memset(buffer, 0xEE, sizeof buffer);
    int hop_count = -1;
    uint64_t receive_ms = 0;
    ASSERT_EQ(receive_datagram(rx, from, to, buffer, 8, hop_count, receive_ms), 8);
    EXPECT_EQ(memcmp(buffer, data, 8), 0);
    EXPECT_EQ(buffer[8], 0xEE);
    EXPECT_EQ(hop_count, 64);
}

TEST_F(DatagramSocketTest, FailedReceiveWritesNoOutput) {
    runtime.local_address = make_address(AF_INET, "127.0.0.9", 10000);
    Address from, to;
    Address before_to = to;
    uint8_t buffer[16];
    int hop_count = -5;
    uint64_t receive_ms = 77;
    EXPECT_LT(receive_datagram(-1, from, to, buffer, sizeof buffer, hop_count, receive_ms), 0);
    EXPECT_EQ(hop_count, -5);
    EXPECT_EQ(receive_ms, 77u);
    EXPECT_TRUE(same_storage(to, before_to));
}

TEST_F(DatagramSocketTest, SendFromIPv4SourceUsesPlainSend) {
    int rx = receiver(AF_INET, "127.0.0.1");
    ASSERT_GE(rx, 0);
    int tx = sender(AF_INET, 64);
    const uint8_t data[] = {1, 2, 3};
    // The source plays no part for IPv4: even one that is not ours is fine.
    ASSERT_EQ(send_from(tx, data, 3, make_address(AF_INET, "192.0.2.200", 0), bound_address(rx)), 3);
    ASSERT_TRUE(wait_readable(rx));
    uint8_t buffer[8];
    EXPECT_EQ(recv(rx, buffer, sizeof buffer, 0), 3);
}

TEST_F(DatagramSocketTest, SendFromIPv6FixesTheSource) {
    if (!ipv6_loopback_usable()) GTEST_SKIP() << "no IPv6 loopback";
    int rx = receiver(AF_INET6, "::1");
    ASSERT_GE(rx, 0);
    int tx = sender(AF_INET6, 64);
    const uint8_t data[] = {1, 2, 3};
    // A source address this host does not own is refused by the system,
    // which shows the source really travels with the datagram.
    errno = 0;
    EXPECT_LT(send_from(tx, data, 3, make_address(AF_INET6, "2001:db8::dead:beef", 0), bound_address(rx)), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(send_from(tx, data, -1, make_address(AF_INET6, "::1", 0), bound_address(rx)), 0);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(send_from(tx, data, 3, make_address(AF_INET6, "::1", 0), bound_address(rx)), 3);
    ASSERT_TRUE(wait_readable(rx));
    uint8_t buffer[8];
    EXPECT_EQ(recv(rx, buffer, sizeof buffer, 0), 3);
}

}  // namespace

// The beacon's receive socket gets the buffer it asks for (as far as the
// system allows) and the kernel's count of what it dropped: every datagram
// sent is either read or counted as dropped here.
TEST_F(DatagramSocketTest, OverflowedSocketCountsItsDrops) {
    runtime.local_address = make_address(AF_INET, "127.0.0.9", 10000);
    int rx = receiver(AF_INET, "127.0.0.1");
    ASSERT_GE(rx, 0);
    long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    // The kernel reports twice the figure asked for.
    EXPECT_GE(granted_receive_buffer(rx), 2 * std::min<long>(RECEIVE_BUFFER_BYTES, rmem_max));

    ASSERT_EQ(fcntl(rx, F_SETFL, O_NONBLOCK), 0);  // as the loop reads it: until empty
    int tiny = 1;  // the kernel's minimum: a few datagrams
    ASSERT_EQ(setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
    int tx = sender(AF_INET, 64);
    Address destination = bound_address(rx);
    const int sent = 200;
    uint8_t data[100] = {};
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(sendto(tx, data, sizeof data, 0, destination.as_sockaddr(), destination.length()), 100);

    Address from, to;
    uint8_t buffer[256];
    int hop_count = -1;
    uint64_t receive_ms = 0;
    uint32_t drops = 99;
    int read = 0;
    // The datagrams queued arrived before the first drop: they carry none.
    while (receive_datagram(rx, from, to, buffer, sizeof buffer, hop_count, receive_ms, &drops) == 100) {
        EXPECT_EQ(drops, 0u);
        ++read;
    }
    EXPECT_GT(read, 0);
    EXPECT_LT(read, sent);
    // The next one brings the count of all those that found the buffer full.
    ASSERT_EQ(sendto(tx, data, sizeof data, 0, destination.as_sockaddr(), destination.length()), 100);
    ASSERT_TRUE(wait_readable(rx));
    ASSERT_EQ(receive_datagram(rx, from, to, buffer, sizeof buffer, hop_count, receive_ms, &drops), 100);
    EXPECT_EQ(static_cast<int>(drops), sent - read);
}
