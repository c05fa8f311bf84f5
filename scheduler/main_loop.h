// The one loop: wait for datagrams and due events, read what waits on each
// ready socket (a bounded number per pass), then fire every due event.
#pragma once

#include <sys/select.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/runtime.h"
#include "net/address.h"
#include "scheduler/timer_queue.h"

constexpr size_t PACKET_BUFFER_SIZE = 8192;
constexpr uint32_t PROBES_PER_BURST = 10;
constexpr uint32_t PROBE_SPACING_MS = 100;
// Datagrams read from one socket in one pass: enough to empty a socket that
// filled while the loop was busy within a few passes, few enough that the
// due events are never late by more than a few milliseconds.
constexpr int READS_PER_SOCKET_PASS = 32;

struct ReceiveSocket {
    int32_t fd;
    int32_t kind;
    // The socket's drop count as of the last datagram read from it.
    uint32_t drops = 0;
};

extern std::vector<ReceiveSocket> receive_sockets;
extern fd_set receive_set;
extern int32_t max_receive_fd;
extern uint8_t packet_buffer[PACKET_BUFFER_SIZE];
extern uint32_t probe_count;
extern uint32_t ssm_probe_count;
extern uint64_t loop_start_ms;
extern uint64_t last_dump_ms;

// Requests recorded by the signal handlers; the loop does the work.
extern volatile sig_atomic_t terminate_requested;
extern volatile sig_atomic_t bandwidth_report_requested;
extern volatile sig_atomic_t child_exited;

// false when the descriptor cannot be waited on (at or above FD_SETSIZE).
bool register_receive_socket(int32_t kind, int32_t fd);
// Takes a registered socket out of the wait (an SSM socket that holds no
// membership any more); the caller closes it.
void unregister_receive_socket(int32_t fd);
// Counts the changes of receive_sockets, so that a pass reading the sockets
// notices when a datagram's handling has changed the list.
extern uint32_t receive_sockets_changes;
// Adds a descriptor to the wait without a ReceiveSocket entry.
bool add_to_receive_set(int32_t fd);

// The pause before a new burst for beacon_interval b and a rand() value r.
uint32_t burst_pause_ms(double b, int r);
// The period a report event is inserted with again.
uint32_t report_period_ms(uint32_t type, double b);

// The work of each event type, replaceable by tests.
struct EventWork {
    void (*garbage_collect)();
    void (*dump_stats)();
    void (*bandwidth_stats)();
    void (*bandwidth_stats_long)();
    void (*send_probe)();
    void (*send_ssm_probe)();
    void (*send_report)(uint32_t kind);
    int (*random)();
    void (*clock_check)();
};
extern EventWork event_work;

// Reading one datagram (receive_datagram), replaceable by tests.
using ReceiveFunction = int (*)(int fd, Address& from, Address& to, uint8_t* buffer, int capacity, int& hop_count,
                                uint64_t& receive_ms, uint32_t* drops);
extern ReceiveFunction receive_function;

// Reads the sockets of `ready`: up to READS_PER_SOCKET_PASS datagrams each.
void read_ready_sockets(const fd_set& ready);

// Does the work of one popped event and inserts its follow-up.
void dispatch_event(TimerQueue& queue, const TimerEvent& event);

// Does what the signal handlers asked for: the farewell (and exit), the
// bandwidth report, reaping finished children.
void handle_pending_requests();

[[noreturn]] void run_main_loop();
