// quillon_bare_receiver: the least a single-threaded beacon must do per
// datagram, as a yardstick for the real one under a flood.
//
//   quillon_bare_receiver -g GROUP -p PORT [-t SECONDS]
//
// It opens one socket with the options a beacon's group socket has (address
// reuse, bound to the group and port, kernel time stamps, hop count
// reception, multicast hop limit 127, member of the group on the interface
// the system chooses) and then, in a loop, waits in select() and reads one
// datagram per pass with recvmsg() into an 8192-byte buffer with a 256-byte
// control buffer, exactly as the beacon's loop does, and only counts them.
//
// SIGUSR1 prints the running totals; SIGINT, SIGTERM or the end of SECONDS
// (0: no limit) print them and end the program.  A line of totals reads
//   count=N bytes=B utime_us=U stime_us=S cpu_us_per_datagram=C maxrss_kb=M
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int MULTICAST_HOPS = 127;
constexpr size_t BUFFER_SIZE = 8192;
constexpr size_t CONTROL_SIZE = 256;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t status_requested = 0;

void on_stop(int) { stop_requested = 1; }
void on_status(int) { status_requested = 1; }

void print_totals(const char* label, unsigned long long count, unsigned long long bytes) {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    long long utime = static_cast<long long>(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec;
    long long stime = static_cast<long long>(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec;
    double per = count ? static_cast<double>(utime + stime) / static_cast<double>(count) : 0.0;
    printf("%s count=%llu bytes=%llu utime_us=%lld stime_us=%lld cpu_us_per_datagram=%.3f maxrss_kb=%ld\n", label,
           count, bytes, utime, stime, per, usage.ru_maxrss);
    fflush(stdout);
}

int open_group_socket(const sockaddr_storage& group, socklen_t length) {
    int family = group.ss_family;
    int level = family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
    int fd = socket(family, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int one = 1;
    int hops = MULTICAST_HOPS;
    group_req join{};
    join.gr_interface = 0;
    memcpy(&join.gr_group, &group, length);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&group), length) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one) != 0 ||
        setsockopt(fd, level, family == AF_INET6 ? IPV6_RECVHOPLIMIT : IP_RECVTTL, &one, sizeof one) != 0 ||
        setsockopt(fd, level, family == AF_INET6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL, &hops, sizeof hops) != 0 ||
        setsockopt(fd, level, MCAST_JOIN_GROUP, &join, sizeof join) != 0) {
        perror("quillon_bare_receiver: socket set-up");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const char* group_text = nullptr;
    int port = 0;
    double seconds = 0;
    int c;
    while ((c = getopt(argc, argv, "g:p:t:")) != -1) {
        switch (c) {
        case 'g': group_text = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 't': seconds = atof(optarg); break;
        default: group_text = nullptr; port = 0; break;
        }
    }
    sockaddr_storage group{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&group);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&group);
    if (group_text && port > 0 && port < 65536 && inet_pton(AF_INET, group_text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (group_text && port > 0 && port < 65536 && inet_pton(AF_INET6, group_text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        fprintf(stderr, "usage: quillon_bare_receiver -g GROUP -p PORT [-t SECONDS]\n");
        return 2;
    }

    int fd = open_group_socket(group, length);
    if (fd < 0 || fd >= FD_SETSIZE) return 1;

    struct sigaction action{};
    action.sa_handler = on_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = on_status;
    sigaction(SIGUSR1, &action, nullptr);

    fd_set receive_set;
    FD_ZERO(&receive_set);
    FD_SET(fd, &receive_set);
    static uint8_t buffer[BUFFER_SIZE];
    unsigned long long count = 0;
    unsigned long long bytes = 0;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    printf("ready\n");
    fflush(stdout);

    while (!stop_requested) {
        if (status_requested) {
            status_requested = 0;
            print_totals("status", count, bytes);
        }
        long wait_ms = 1000;
        if (seconds > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            double left = seconds - (static_cast<double>(now.tv_sec - start.tv_sec) +
                                     static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9);
            if (left <= 0) break;
            if (left * 1000 < wait_ms) wait_ms = static_cast<long>(left * 1000) + 1;
        }
        fd_set read_set = receive_set;
        timeval timeout;
        timeout.tv_sec = wait_ms / 1000;
        timeout.tv_usec = (wait_ms % 1000) * 1000;
        int ready = select(fd + 1, &read_set, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            perror("select");
            return 1;
        }
        if (ready == 0 || !FD_ISSET(fd, &read_set)) continue;

        sockaddr_storage from;
        iovec data;
        data.iov_base = buffer;
        data.iov_len = sizeof buffer;
        alignas(cmsghdr) uint8_t control[CONTROL_SIZE];
        msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_name = &from;
        message.msg_namelen = length;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &message, 0);
        if (n < 0) continue;
        ++count;
        bytes += static_cast<unsigned long long>(n);
    }
    print_totals("final", count, bytes);
    close(fd);
    return 0;
}
