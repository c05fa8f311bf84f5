#include "scheduler/main_loop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control/clock_check.h"
#include "control/lifecycle.h"
#include "control/log.h"
#include "control/process.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/local_drops.h"
#include "net/multicast.h"
#include "output/bandwidth.h"
#include "output/dump.h"
#include "protocol/decode.h"
#include "protocol/probe.h"
#include "protocol/report.h"
#include "protocol/ssmping.h"
#include "scheduler/beacon_interval.h"
#include "scheduler/clock.h"
#include "state/expiry.h"

std::vector<ReceiveSocket> receive_sockets;
fd_set receive_set;
int32_t max_receive_fd = 0;
uint32_t receive_sockets_changes = 0;
uint8_t packet_buffer[PACKET_BUFFER_SIZE];
uint32_t probe_count = 0;
uint32_t ssm_probe_count = 0;
uint64_t loop_start_ms = 0;
uint64_t last_dump_ms = 0;

volatile sig_atomic_t terminate_requested = 0;
volatile sig_atomic_t bandwidth_report_requested = 0;
volatile sig_atomic_t child_exited = 0;

namespace {

// Descriptors in the wait that belong to no ReceiveSocket (the sending
// socket): whatever reaches them is read and dropped, so a stray unicast
// datagram can never leave the wait returning at once for ever.
std::vector<int32_t> drain_fds;

bool fits_fd_set(int32_t fd) { return fd >= 0 && fd < FD_SETSIZE; }

void note_fd(int32_t fd) {
    if (max_receive_fd < fd) max_receive_fd = fd;
    FD_SET(fd, &receive_set);
}

void work_garbage_collect() { expire_sources(); }
void work_dump_stats() { write_dump(); }
void work_bandwidth_stats() { bandwidth_stats(); }
void work_bandwidth_stats_long() { bandwidth_stats_long(now_ms()); }
void work_send_probe() { send_probe(runtime.beacon_group, probe_sequence); }
void work_send_ssm_probe() { send_probe(runtime.ssm_group, ssm_probe_sequence); }
void work_send_report(uint32_t kind) { send_report(kind); }

// Low 32 bits of a non-negative double truncated toward zero, without the
// undefined behaviour of converting an out-of-range double straight to a
// 32-bit integer.
uint32_t low32(double value) {
    if (!(value >= 0.0)) return 0;
    if (value >= 18446744073709551616.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

}  // namespace

ReceiveFunction receive_function = receive_datagram;

EventWork event_work = {work_garbage_collect, work_dump_stats,     work_bandwidth_stats, work_bandwidth_stats_long,
                        work_send_probe,      work_send_ssm_probe, work_send_report,     rand,
                        check_clock};

bool register_receive_socket(int32_t kind, int32_t fd) {
    if (!fits_fd_set(fd)) return false;
    // The loop reads a socket until it is empty: the read that finds it
    // empty must not wait.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    note_fd(fd);
    receive_sockets.push_back({fd, kind});
    ++receive_sockets_changes;
    return true;
}

void unregister_receive_socket(int32_t fd) {
    for (auto it = receive_sockets.begin(); it != receive_sockets.end(); ++it) {
        if (it->fd != fd) continue;
        receive_sockets.erase(it);
        ++receive_sockets_changes;
        FD_CLR(fd, &receive_set);
        max_receive_fd = 0;
        for (const ReceiveSocket& socket : receive_sockets) max_receive_fd = std::max(max_receive_fd, socket.fd);
        for (int32_t drained : drain_fds) max_receive_fd = std::max(max_receive_fd, drained);
        return;
    }
}

bool add_to_receive_set(int32_t fd) {
    if (!fits_fd_set(fd)) return false;
    note_fd(fd);
    drain_fds.push_back(fd);
    return true;
}

uint32_t burst_pause_ms(double b, int r) {
    int x = r;
    if (r == 0) x = 1;
    if (r == 2147483647) x = 2147483646;
    double t = x / (-2147483647.0) + 1.0;
    double y = std::log(t) * (-b);
    double c = std::ceil(y);
    return low32(c * 1000.0);
}

uint32_t report_period_ms(uint32_t type, double b) {
    switch (type) {
        case SEND_REPORT: return low32((b + b) * 1000.0);
        case SEND_SSM_REPORT: return low32(b * 4 * 1000.0);
        case SEND_MAP_REPORT: return low32(b * 6 * 1000.0);
        case SEND_WEBSITE_REPORT: return low32(b * 24 * 1000.0);
        default: return 0;
    }
}

namespace {

// After a probe of a channel: the next probe 100 ms on, or after the tenth
// the start of the next burst after a random pause.
void continue_burst(TimerQueue& queue, const TimerEvent& event, uint32_t& count, uint32_t next_burst) {
    if (++count == PROBES_PER_BURST)
        queue.insert_event(next_burst, burst_pause_ms(beacon_interval, event_work.random()));
    else
        queue.insert_event(event.type, event.period);
}

}  // namespace

void dispatch_event(TimerQueue& queue, const TimerEvent& event) {
    switch (event.type) {
        case GARBAGE_COLLECT:
            event_work.garbage_collect();
            queue.insert_event(event.type, event.period);
            break;
        case CLOCK_CHECK:
            event_work.clock_check();
            queue.insert_event(event.type, event.period);
            break;
        case DUMP_STATS:
            event_work.dump_stats();
            queue.insert_event(event.type, event.period);
            break;
        case BANDWIDTH_STATS:
            event_work.bandwidth_stats();
            queue.insert_event(event.type, event.period);
            break;
        case BANDWIDTH_STATS_2:
            event_work.bandwidth_stats_long();
            queue.insert_event(event.type, event.period);
            break;
        case SEND_PROBE:
            event_work.send_probe();
            continue_burst(queue, event, probe_count, NEW_PROBE_BURST);
            break;
        case NEW_PROBE_BURST:
            probe_count = 0;
            queue.insert_event(SEND_PROBE, PROBE_SPACING_MS);
            break;
        case SSM_SEND_PROBE:
            event_work.send_ssm_probe();
            continue_burst(queue, event, ssm_probe_count, NEW_SSM_PROBE_BURST);
            break;
        case NEW_SSM_PROBE_BURST:
            ssm_probe_count = 0;
            queue.insert_event(SSM_SEND_PROBE, PROBE_SPACING_MS);
            break;
        case SEND_REPORT:
        case SEND_SSM_REPORT:
        case SEND_MAP_REPORT:
        case SEND_WEBSITE_REPORT:
            event_work.send_report(event.type);
            queue.insert_event(event.type, report_period_ms(event.type, beacon_interval));
            break;
        default:
            queue.insert_event(event.type, event.period);
            break;
    }
}

namespace {

// Reads one datagram of receive_sockets[index]; false when none waits.
bool receive_one(size_t index) {
    ReceiveSocket& entry = receive_sockets[index];
    Address from;
    Address to;
    int hop_count = 0;
    uint64_t receive_ms = 0;
    uint32_t drops = entry.drops;
    int length =
        receive_function(entry.fd, from, to, packet_buffer, PACKET_BUFFER_SIZE, hop_count, receive_ms, &drops);
    if (length < 0) return false;
    if (drops != entry.drops) {
        // Cumulative since the socket opened; a smaller figure is a new count.
        uint32_t dropped = drops > entry.drops ? drops - entry.drops : drops;
        entry.drops = drops;
        local_drop_log.note(dropped, now_ms(), granted_receive_buffer(entry.fd));
    }
    // Handling the datagram may change the list: work on a copy.
    const ReceiveSocket socket = entry;
    // Our own multicast comes back through loopback.
    if (from.same_address(runtime.local_address)) return true;
    if (settings.verbose >= 4) {
        char text[64];
        from.to_string(text, sizeof text, true);
        log_info("RecvMsg(%s): len = %u", text, static_cast<unsigned>(length));
    }
    switch (socket.kind) {
        case KIND_SSMPING:
            handle_ssmping(socket.fd, from, to, packet_buffer, length);
            break;
        case KIND_ASM:
        case KIND_SSM:
            bytes_received += static_cast<uint32_t>(length);
            handle_beacon_packet(from, receive_ms, hop_count, packet_buffer, length, socket.kind == KIND_SSM,
                                 socket.drops);
            break;
        default:
            break;
    }
    return true;
}

void drain(int32_t fd) {
    uint8_t scratch[64];
    (void)recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
}

}  // namespace

void handle_pending_requests() {
    if (terminate_requested) farewell_and_exit();
    if (bandwidth_report_requested) {
        bandwidth_report_requested = 0;
        bandwidth_report_on_demand(now_ms());
    }
    if (child_exited) {
        child_exited = 0;
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
            if (pid == dump_writer_pid()) dump_writer_ended(status);
    }
}

void read_ready_sockets(const fd_set& ready) {
    // Handling a datagram may close an SSM socket (a farewell leaves its
    // last membership): the rest of the list is then read in the next
    // pass, which waits on the list as it is now.
    const uint32_t changes = receive_sockets_changes;
    for (size_t i = 0; i < receive_sockets.size() && receive_sockets_changes == changes; ++i) {
        if (!FD_ISSET(receive_sockets[i].fd, &ready)) continue;
        for (int n = 0; n < READS_PER_SOCKET_PASS && receive_sockets_changes == changes; ++n)
            if (!receive_one(i)) break;
    }
    for (int32_t fd : drain_fds)
        if (FD_ISSET(fd, &ready)) drain(fd);
}

void run_main_loop() {
    loop_start_ms = now_ms();
    bw_window_start = loop_start_ms;
    last_dump_ms = loop_start_ms;

    // The signals whose handlers only record a request are held back except
    // while the loop waits, so a request can never slip in between the check
    // and the wait and then sit unnoticed until the next event.
    sigset_t wait_mask;
    block_handled_signals(wait_mask);

    for (;;) {
        handle_pending_requests();

        fd_set read_set = receive_set;
        timer_queue.update_taccum(now_ms());
        struct timespec timeout;
        struct timespec* wait = nullptr;
        if (!timer_queue.empty()) {
            uint32_t w = timer_queue.next_timeout();
            timeout.tv_sec = w / 1000;
            timeout.tv_nsec = static_cast<long>(w % 1000) * 1000000L;
            wait = &timeout;
        }
        int ready = pselect(max_receive_fd + 1, &read_set, nullptr, nullptr, wait, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log_fatal("Select failed: %s", strerror(errno));
        }
        if (ready > 0) read_ready_sockets(read_set);

        timer_queue.update_taccum(now_ms());
        TimerEvent event;
        while (timer_queue.pop_due(event)) dispatch_event(timer_queue, event);
    }
}
