// quillon_flood: multicasts beacon probes (or reports) from many source
// addresses at a chosen rate, to load a beacon under test.
//
//   quillon_flood -g GROUP -p PORT -s FIRST_SOURCE [-k COUNT] [-r RATE]
//                 [-t SECONDS] [-m probe|report] [-n LISTED] [-i IFNAME]
//                 [-T TTL] [-b BURST]
//
// The sources are COUNT consecutive addresses from FIRST_SOURCE; they must be
// configured on this host.  One socket is bound to each, and the datagrams go
// to GROUP round-robin over the sockets, RATE datagrams per second in total
// (0: as fast as this host can), for SECONDS seconds or until SIGINT/SIGTERM.
// Every source keeps its own consecutive probe sequence.  With BURST > 1 up
// to BURST consecutive datagrams of one source go to the system in one
// sendmmsg() call, which saves system calls.  Only multicast
// destinations are accepted, and the TTL defaults to 1, so the flood never
// leaves the link it is sent on.
//
// In report mode each datagram is a report naming its sender and listing
// LISTED beacons (the other flood sources first) with ASM and SSM figures.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr size_t PROBE_LENGTH = 12;
constexpr uint8_t PROBE_HEADER[4] = {0xBE, 0xAC, 0x01, 0x00};

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

struct Options {
    std::string group;
    int port = 0;
    std::string first_source;
    int count = 1;
    double rate = 0;
    double seconds = 10;
    bool reports = false;
    int listed = -1;  // -1: every other source
    std::string ifname;
    int ttl = 1;
    int burst = 1;
};

void usage() {
    fprintf(stderr,
            "usage: quillon_flood -g GROUP -p PORT -s FIRST_SOURCE [-k COUNT] [-r RATE]\n"
            "                     [-t SECONDS] [-m probe|report] [-n LISTED] [-i IFNAME] [-T TTL] [-b BURST]\n"
            "  RATE: datagrams per second over all sources, 0 = as fast as possible\n"
            "  BURST: datagrams of one source handed to the system in one call (1..64)\n");
    exit(2);
}

bool parse_options(int argc, char** argv, Options& o) {
    int c;
    while ((c = getopt(argc, argv, "g:p:s:k:r:t:m:n:i:T:b:h")) != -1) {
        switch (c) {
        case 'g': o.group = optarg; break;
        case 'p': o.port = atoi(optarg); break;
        case 's': o.first_source = optarg; break;
        case 'k': o.count = atoi(optarg); break;
        case 'r': o.rate = atof(optarg); break;
        case 't': o.seconds = atof(optarg); break;
        case 'm':
            if (strcmp(optarg, "probe") == 0) o.reports = false;
            else if (strcmp(optarg, "report") == 0) o.reports = true;
            else return false;
            break;
        case 'n': o.listed = atoi(optarg); break;
        case 'i': o.ifname = optarg; break;
        case 'T': o.ttl = atoi(optarg); break;
        case 'b': o.burst = atoi(optarg); break;
        default: return false;
        }
    }
    return !o.group.empty() && o.port > 0 && o.port < 65536 && !o.first_source.empty() && o.count > 0 &&
           o.count <= 4096 && o.rate >= 0 && o.seconds > 0 && o.ttl >= 1 && o.ttl <= 255 && o.listed >= -1 &&
           o.burst >= 1 && o.burst <= 64;
}

// One address of either family, with the port.
struct Endpoint {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
};

bool parse_endpoint(const std::string& text, int port, Endpoint& e) {
    memset(&e.storage, 0, sizeof e.storage);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&e.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&e.storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        e.length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        e.length = sizeof *v6;
        return true;
    }
    return false;
}

bool is_multicast(const Endpoint& e) {
    if (e.family() == AF_INET)
        return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in*>(&e.storage)->sin_addr.s_addr));
    return reinterpret_cast<const sockaddr_in6*>(&e.storage)->sin6_addr.s6_addr[0] == 0xFF;
}

// The address `step` places after `base`: the low 32 bits count up.
Endpoint nth_address(const Endpoint& base, uint32_t step) {
    Endpoint e = base;
    if (e.family() == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&e.storage);
        a->sin_addr.s_addr = htonl(ntohl(a->sin_addr.s_addr) + step);
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&e.storage);
        uint32_t low;
        memcpy(&low, a->sin6_addr.s6_addr + 12, 4);
        low = htonl(ntohl(low) + step);
        memcpy(a->sin6_addr.s6_addr + 12, &low, 4);
    }
    return e;
}

const uint8_t* address_bytes(const Endpoint& e) {
    if (e.family() == AF_INET)
        return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(&e.storage)->sin_addr);
    return reinterpret_cast<const sockaddr_in6*>(&e.storage)->sin6_addr.s6_addr;
}

int open_sender(const Endpoint& source, const Endpoint& group, int ttl, unsigned ifindex) {
    int family = group.family();
    int fd = socket(family, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int one = 1;
    int zero = 0;
    bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              bind(fd, reinterpret_cast<const sockaddr*>(&source.storage), source.length) == 0;
    if (ok && family == AF_INET) {
        unsigned char t = static_cast<unsigned char>(ttl);
        unsigned char loop = 0;
        ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &t, sizeof t) == 0 &&
             setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
        if (ok && ifindex) {
            ip_mreqn req{};
            req.imr_ifindex = static_cast<int>(ifindex);
            ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req) == 0;
        }
    } else if (ok) {
        ok = setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl) == 0 &&
             setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &zero, sizeof zero) == 0;
        if (ok && ifindex) ok = setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifindex, sizeof ifindex) == 0;
    }
    // A connected socket keeps its route, so a send does not look it up.
    if (ok) ok = connect(fd, reinterpret_cast<const sockaddr*>(&group.storage), group.length) == 0;
    if (!ok) {
        char text[INET6_ADDRSTRLEN] = "";
        inet_ntop(family, address_bytes(source), text, sizeof text);
        fprintf(stderr, "quillon_flood: cannot set up a socket on %s: %s\n", text, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

double monotonic_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t wallclock_ms32() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void put_float(uint8_t* p, float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    put_u32(p, bits);
}

void append_text_tlv(std::vector<uint8_t>& out, uint8_t type, const std::string& text) {
    out.push_back(type);
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void append_figures(std::vector<uint8_t>& out, uint8_t type, uint32_t now_ms32, uint32_t age, float delay) {
    uint8_t v[20];
    put_u32(v, now_ms32);
    put_u32(v + 4, age);
    v[8] = 1;  // hops
    put_float(v + 9, delay);
    put_float(v + 13, delay / 10.0f);
    v[17] = 3;  // loss 3/255
    v[18] = 0;  // duplicates
    v[19] = 1;  // out of order 1/255
    out.push_back(type);
    out.push_back(20);
    out.insert(out.end(), v, v + 20);
}

// A report from flood source `sender` listing `listed` beacons: the other
// flood sources in order, then addresses past the last one.
std::vector<uint8_t> build_report(const std::vector<Endpoint>& sources, size_t sender, int listed, int port) {
    std::vector<uint8_t> out = {0xBE, 0xAC, 0x01, 0x01, 0x7F};
    append_text_tlv(out, 'n', "flood-" + std::to_string(sender));
    append_text_tlv(out, 'a', "flood-" + std::to_string(sender) + "@lab.invalid");
    bool v6 = sources[0].family() == AF_INET6;
    uint32_t now32 = wallclock_ms32();
    int written = 0;
    for (uint32_t step = 0; written < listed; ++step) {
        if (step == sender) continue;
        Endpoint listed_address = nth_address(sources[0], step);
        out.push_back(v6 ? 'I' : 'i');
        out.push_back(static_cast<uint8_t>((v6 ? 18 : 6) + 44));
        const uint8_t* a = address_bytes(listed_address);
        out.insert(out.end(), a, a + (v6 ? 16 : 4));
        out.push_back(static_cast<uint8_t>(port >> 8));
        out.push_back(static_cast<uint8_t>(port));
        append_figures(out, 'A', now32, 100 + step, 1.5f + static_cast<float>(step % 7));
        append_figures(out, 'S', now32, 100 + step, 1.5f + static_cast<float>(step % 5));
        ++written;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) usage();
    if (o.listed > 1200) o.listed = 1200;  // keeps a report within one datagram

    Endpoint group;
    Endpoint first;
    if (!parse_endpoint(o.group, o.port, group) || !parse_endpoint(o.first_source, 0, first) ||
        group.family() != first.family()) {
        fprintf(stderr, "quillon_flood: GROUP and FIRST_SOURCE must be numeric addresses of one family\n");
        return 2;
    }
    if (!is_multicast(group)) {
        fprintf(stderr, "quillon_flood: %s is not a multicast group\n", o.group.c_str());
        return 2;
    }
    unsigned ifindex = 0;
    if (!o.ifname.empty() && (ifindex = if_nametoindex(o.ifname.c_str())) == 0) {
        fprintf(stderr, "quillon_flood: no interface %s\n", o.ifname.c_str());
        return 2;
    }

    std::vector<Endpoint> sources;
    std::vector<int> fds;
    for (int i = 0; i < o.count; ++i) {
        sources.push_back(nth_address(first, static_cast<uint32_t>(i)));
        int fd = open_sender(sources.back(), group, o.ttl, ifindex);
        if (fd < 0) return 1;
        fds.push_back(fd);
    }
    int listed = o.listed >= 0 ? o.listed : o.count - 1;
    if (o.reports) {
        // A beacon receives into 8192 bytes; a longer report would arrive cut.
        size_t size = build_report(sources, 0, listed, o.port).size();
        if (size > 8192)
            fprintf(stderr, "quillon_flood: warning: a report of %d listed sources is %zu bytes, over 8192\n", listed,
                    size);
    }

    std::vector<uint32_t> sequence(fds.size());
    srand(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid()));
    for (uint32_t& s : sequence) s = static_cast<uint32_t>(rand());

    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);

    std::vector<mmsghdr> messages(static_cast<size_t>(o.burst));
    std::vector<iovec> parts(static_cast<size_t>(o.burst));
    std::vector<std::array<uint8_t, PROBE_LENGTH>> probe_buffers(static_cast<size_t>(o.burst));
    for (size_t i = 0; i < messages.size(); ++i) {
        memset(&messages[i], 0, sizeof messages[i]);
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    uint64_t errors = 0;
    uint64_t bytes = 0;
    size_t next = 0;
    double start = monotonic_seconds();
    double deadline = start + o.seconds;
    double now = start;
    // Reports are rebuilt once per second per sender; the figures' time
    // stamps do not need to be fresher than that for a load test.
    std::vector<std::vector<uint8_t>> reports(o.reports ? fds.size() : 0);
    std::vector<double> built_at(reports.size(), -1.0);

    // Paced sending: at most `batch` datagrams between two readings of the
    // clock, and a sender that has fallen more than MAX_BEHIND behind its
    // schedule gives the lost time up rather than catching up in a burst.
    const uint64_t batch = std::max<uint64_t>(32, static_cast<uint64_t>(o.burst));
    constexpr double MAX_BEHIND = 0.002;
    double base = start;      // schedule origin
    uint64_t base_sent = 0;   // datagrams sent before base
    while (!stop_requested && now < deadline) {
        uint64_t due = sent + batch;
        if (o.rate > 0) {
            double late = now - base - static_cast<double>(sent - base_sent) / o.rate;
            if (late > MAX_BEHIND) {
                base = now - MAX_BEHIND;
                base_sent = sent;
            }
            uint64_t on_time = base_sent + static_cast<uint64_t>((now - base) * o.rate) + 1;
            if (sent >= on_time) {
                // Ahead of the schedule: sleep until the next datagram is due.
                double wake = base + static_cast<double>(sent - base_sent) / o.rate;
                if (wake > deadline) wake = deadline;
                double wait = wake - now;
                if (wait > 0) {
                    timespec ts;
                    ts.tv_sec = static_cast<time_t>(wait);
                    ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
                    nanosleep(&ts, nullptr);
                }
                now = monotonic_seconds();
                continue;
            }
            if (on_time < due) due = on_time;
        }
        while (sent < due && !stop_requested) {
            // Up to `burst` datagrams of one source in one system call.
            size_t n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(o.burst), due - sent));
            for (size_t i = 0; i < n; ++i) {
                if (o.reports) {
                    if (built_at[next] < 0 || now - built_at[next] >= 1.0) {
                        reports[next] = build_report(sources, next, listed, o.port);
                        built_at[next] = now;
                    }
                    parts[i].iov_base = reports[next].data();
                    parts[i].iov_len = reports[next].size();
                } else {
                    uint8_t* probe = probe_buffers[i].data();
                    memcpy(probe, PROBE_HEADER, sizeof PROBE_HEADER);
                    put_u32(probe + 4, sequence[next]++);
                    put_u32(probe + 8, wallclock_ms32());
                    parts[i].iov_base = probe;
                    parts[i].iov_len = PROBE_LENGTH;
                }
            }
            int done = sendmmsg(fds[next], messages.data(), static_cast<unsigned>(n), 0);
            if (done < 0) done = 0;
            for (int i = 0; i < done; ++i) bytes += messages[static_cast<size_t>(i)].msg_len;
            errors += n - static_cast<size_t>(done);
            sent += n;
            if (++next == fds.size()) next = 0;
        }
        now = monotonic_seconds();
    }
    double elapsed = monotonic_seconds() - start;
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    printf("quillon_flood: sent %llu %s from %zu sources in %.3f s: %.0f datagrams/s, %llu bytes, %llu send errors, "
           "%.3f s CPU\n",
           static_cast<unsigned long long>(sent), o.reports ? "reports" : "probes", fds.size(), elapsed,
           elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0, static_cast<unsigned long long>(bytes),
           static_cast<unsigned long long>(errors), cpu);
    fflush(stdout);
    for (int fd : fds) close(fd);
    return 0;
}
