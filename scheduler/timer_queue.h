// A delta list of typed timer events: each entry's delay counts from the due
// time of the entry before it, so only the head is ever counted down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>

enum EventType : uint32_t {
    GARBAGE_COLLECT = 0,
    DUMP_STATS = 1,
    BANDWIDTH_STATS = 2,
    BANDWIDTH_STATS_2 = 3,
    SEND_PROBE = 4,
    NEW_PROBE_BURST = 5,
    SSM_SEND_PROBE = 6,
    NEW_SSM_PROBE_BURST = 7,
    SEND_REPORT = 82,
    SEND_SSM_REPORT = 83,
    SEND_MAP_REPORT = 84,
    SEND_WEBSITE_REPORT = 85,
    LEAVE_REPORT = 86,  // a report kind only; never scheduled
    CLOCK_CHECK = 87,
};

struct TimerEvent {
    uint32_t type;
    uint32_t period;
    uint32_t delay;
};

class TimerQueue {
public:
    using Clock = uint64_t (*)();
    explicit TimerQueue(Clock clock = nullptr);  // nullptr: now_ms

    void insert_event(uint32_t type, uint32_t period);
    void update_taccum(uint64_t now);
    // The wait until the head is due; UINT32_MAX when the queue is empty.
    uint32_t next_timeout();
    // Removes and gives the head when it is due.
    bool pop_due(TimerEvent& event);
    bool empty() const { return entries_.empty(); }
    uint64_t count() const { return entries_.size(); }

    uint64_t lastclk() const { return lastclk_; }
    uint32_t taccum() const { return taccum_; }
    const std::list<TimerEvent>& entries() const { return entries_; }

private:
    Clock clock_;
    std::list<TimerEvent> entries_;
    uint64_t lastclk_ = 0;
    uint32_t taccum_ = 0;
};

// The queue of the running beacon.
extern TimerQueue timer_queue;

// "Unknown event" for a type outside the twelve defined ones.
const char* event_name(uint32_t type);
