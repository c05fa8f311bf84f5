// The one loop: wait for datagrams and due events, read one datagram per
// ready socket, then fire every due event.
#pragma once

#include <sys/select.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/runtime.h"
#include "scheduler/timer_queue.h"

constexpr size_t PACKET_BUFFER_SIZE = 8192;
constexpr uint32_t PROBES_PER_BURST = 10;
constexpr uint32_t PROBE_SPACING_MS = 100;

struct ReceiveSocket {
    int32_t fd;
    int32_t kind;
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

// Does the work of one popped event and inserts its follow-up.
void dispatch_event(TimerQueue& queue, const TimerEvent& event);

// Does what the signal handlers asked for: the farewell (and exit), the
// bandwidth report, reaping finished children.
void handle_pending_requests();

[[noreturn]] void run_main_loop();
