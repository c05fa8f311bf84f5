#include "net/multicast.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "control/log.h"
#include "control/settings.h"
#include "net/address.h"

namespace {

using JoinRoutine = int (*)(int, const Address&);

// Chosen once by detect_multicast_api before any socket exists.
JoinRoutine selected_join = join_group_classic;

// Copies the IPv4 or IPv6 socket address, port included; any other family
// leaves the target zero.
void copy_socket_address(sockaddr_storage& target, const Address& address) {
    if (address.family() == AF_INET || address.family() == AF_INET6)
        memcpy(&target, address.as_sockaddr(), address.length());
}

int set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

// Up to the system's limit without privilege; beyond it with CAP_NET_ADMIN.
// A smaller buffer is no reason to give up: the drops it causes are counted.
void ask_receive_buffer(int fd) {
    if (set_int_option(fd, SOL_SOCKET, SO_RCVBUFFORCE, RECEIVE_BUFFER_BYTES) != 0)
        (void)set_int_option(fd, SOL_SOCKET, SO_RCVBUF, RECEIVE_BUFFER_BYTES);
}

int hops_option(const Address& address) {
    return address.family() == AF_INET6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL;
}

int source_group_request(int fd, int option, const Address& group, const Address& source) {
    struct group_source_req request;
    memset(&request, 0, sizeof request);
    request.gsr_interface = settings.interface_index;
    copy_socket_address(request.gsr_group, group);
    copy_socket_address(request.gsr_source, source);
    return setsockopt(fd, protocol_level(source), option, &request, sizeof request);
}

}  // namespace

int protocol_level(const Address& address) { return address.family() == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP; }

void detect_multicast_api() {
#ifdef MCAST_MSFILTER
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    struct group_filter filter;
    memset(&filter, 0, sizeof filter);
    socklen_t size = sizeof filter;
    if (getsockopt(fd, IPPROTO_IP, MCAST_MSFILTER, &filter, &size) == 0) {
        if (settings.verbose != 0) log_info("Using new Multicast Filter API");
        selected_join = join_group_filter_api;
    }
    close(fd);
#endif
}

bool filter_api_selected() { return selected_join == join_group_filter_api; }

int join_group(int fd, const Address& group) { return selected_join(fd, group); }

int join_group_classic(int fd, const Address& group) {
    if (group.family() == AF_INET6) {
        struct ipv6_mreq request;
        memset(&request, 0, sizeof request);
        memcpy(&request.ipv6mr_multiaddr, group.address_bytes(), 16);
        request.ipv6mr_interface = settings.interface_index;
        return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
    }
    // IPv4 joins through this interface always leave the choice of interface
    // to the routing table.
    struct ip_mreq request;
    memset(&request, 0, sizeof request);
    if (group.family() == AF_INET) memcpy(&request.imr_multiaddr, group.address_bytes(), 4);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int join_group_filter_api(int fd, const Address& group) {
    struct group_req request;
    memset(&request, 0, sizeof request);
    request.gr_interface = settings.interface_index;
    copy_socket_address(request.gr_group, group);
    return setsockopt(fd, protocol_level(group), MCAST_JOIN_GROUP, &request, sizeof request);
}

int join_ssm_source(int fd, const Address& group, const Address& source) {
    return source_group_request(fd, MCAST_JOIN_SOURCE_GROUP, group, source);
}

int leave_ssm_source(int fd, const Address& group, const Address& source) {
    return source_group_request(fd, MCAST_LEAVE_SOURCE_GROUP, group, source);
}

int open_multicast_socket(const Address& address, bool bind_to_address, bool skip_join) {
    // Close-on-exec: the program launched after a dump must not inherit the
    // beacon's sockets and memberships.
    int fd = socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("Failed to create multicast socket");
        return -1;
    }
    // perror first: close() may change errno.
    auto fail = [fd](const char* what) {
        perror(what);
        close(fd);
        return -1;
    };
    const bool v6 = address.family() == AF_INET6;
    if (set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0) return fail("setsockopt");
    if (bind_to_address && bind(fd, address.as_sockaddr(), address.length()) != 0)
        return fail("Failed to bind multicast socket");
    if (set_int_option(fd, SOL_SOCKET, SO_TIMESTAMP, 1) != 0) return fail("setsockopt(SO_TIMESTAMP)");
    ask_receive_buffer(fd);
    // Each datagram then carries the socket's count of datagrams dropped
    // for want of buffer space, so the beacon can tell its own losses from
    // the network's.  Kernels without it only lose that distinction.
    (void)set_int_option(fd, SOL_SOCKET, SO_RXQ_OVFL, 1);
    if (set_int_option(fd, protocol_level(address), v6 ? IPV6_RECVHOPLIMIT : IP_RECVTTL, 1) != 0)
        return fail("receiving hop limit/ttl setsockopt()");
    if (set_int_option(fd, protocol_level(address), hops_option(address), MULTICAST_HOPS) != 0)
        return fail("SetHops");
    if (skip_join) return fd;
    if (address.is_multicast() && join_group(fd, address) != 0) return fail("Failed to join multicast group");
    return fd;
}

int granted_receive_buffer(int fd) {
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
    return size;
}

bool set_multicast_hops(int fd, const Address& address, int hops) {
    return set_int_option(fd, protocol_level(address), hops_option(address), hops) == 0;
}

bool request_destination_info(int fd, const Address& address) {
    if (address.family() != AF_INET6) return true;
    return set_int_option(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1) == 0;
}
