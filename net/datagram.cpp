#include "net/datagram.h"

#include <netinet/in.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "control/runtime.h"
#include "net/address.h"
#include "net/multicast.h"

static_assert(CONTROL_BUFFER_SIZE >= CMSG_SPACE(sizeof(struct timeval)) + CMSG_SPACE(sizeof(int)) +
                                         CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(in6_pktinfo)),
              "control buffer too small for time stamp, hop count, drop count and destination");

namespace {

// The payload of a control message of at least `size` bytes that lies wholly
// inside the message's control buffer, or nullptr.
const uint8_t* payload(const msghdr& message, const cmsghdr* c, size_t size) {
    if (c->cmsg_len < CMSG_LEN(size)) return nullptr;
    const uint8_t* data = CMSG_DATA(c);
    const uint8_t* end = static_cast<const uint8_t*>(message.msg_control) + message.msg_controllen;
    return data + size <= end ? data : nullptr;
}

template <typename T>
bool read_payload(const msghdr& message, const cmsghdr* c, T& value) {
    const uint8_t* data = payload(message, c, sizeof value);
    if (!data) return false;
    memcpy(&value, data, sizeof value);
    return true;
}

}  // namespace

int64_t wallclock_ms() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

void read_control_messages(const struct msghdr& message, Address& to, int& hop_count, uint64_t& receive_ms,
                           uint32_t* drops) {
    msghdr& walk = const_cast<msghdr&>(message);  // CMSG_NXTHDR wants a mutable header; nothing is written
    for (cmsghdr* c = CMSG_FIRSTHDR(&walk); c; c = CMSG_NXTHDR(&walk, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
            int ttl;
            if (read_payload(message, c, ttl)) hop_count = ttl;
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVTTL) {
            uint8_t ttl;
            if (read_payload(message, c, ttl)) hop_count = ttl;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) {
            int hops;
            if (read_payload(message, c, hops)) hop_count = hops;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t count;
            if (drops && read_payload(message, c, count)) *drops = count;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
            struct timeval stamp;
            if (read_payload(message, c, stamp))
                receive_ms = static_cast<uint64_t>(static_cast<int64_t>(stamp.tv_sec) * 1000 + stamp.tv_usec / 1000);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
                   c->cmsg_len == CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo info;
            if (!read_payload(message, c, info)) continue;
            // Only family and address change; the port stays that of the
            // address `to` started as.
            to.set_family(AF_INET6);
            reinterpret_cast<sockaddr_in6*>(to.as_sockaddr())->sin6_addr = info.ipi6_addr;
        }
    }
}

int receive_datagram(int fd, Address& from, Address& to, uint8_t* buffer, int capacity, int& hop_count,
                     uint64_t& receive_ms, uint32_t* drops) {
    int family = runtime.local_address.family();
    if (family == AF_INET || family == AF_INET6) from.set_family(family);

    struct iovec data;
    data.iov_base = buffer;
    data.iov_len = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    alignas(cmsghdr) uint8_t control[CONTROL_BUFFER_SIZE];
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = from.as_sockaddr();
    message.msg_namelen = from.length();
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ssize_t length = recvmsg(fd, &message, 0);
    if (length < 0) return static_cast<int>(length);

    receive_ms = 0;
    hop_count = MULTICAST_HOPS;
    to = runtime.local_address;
    // The kernel sends the count only once the socket has dropped something.
    if (drops) *drops = 0;
    read_control_messages(message, to, hop_count, receive_ms, drops);
    if (receive_ms == 0) receive_ms = static_cast<uint64_t>(wallclock_ms());
    return static_cast<int>(length);
}

int send_from(int fd, const uint8_t* data, int length, const Address& source_address,
              const Address& destination_address) {
    if (length < 0) {
        errno = EINVAL;
        return -1;
    }
    size_t size = static_cast<size_t>(length);
    if (source_address.family() != AF_INET6)
        return static_cast<int>(
            sendto(fd, data, size, 0, destination_address.as_sockaddr(), destination_address.length()));

    struct iovec part;
    part.iov_base = const_cast<uint8_t*>(data);
    part.iov_len = size;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))];
    memset(control, 0, sizeof control);
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = const_cast<sockaddr*>(destination_address.as_sockaddr());
    message.msg_namelen = destination_address.length();
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    in6_pktinfo info;
    memset(&info, 0, sizeof info);
    memcpy(&info.ipi6_addr, source_address.address_bytes(), 16);
    memcpy(CMSG_DATA(c), &info, sizeof info);
    return static_cast<int>(sendmsg(fd, &message, 0));
}
