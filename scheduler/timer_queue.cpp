#include "scheduler/timer_queue.h"

#include <cstdint>

#include "scheduler/clock.h"

TimerQueue timer_queue;

TimerQueue::TimerQueue(Clock clock) : clock_(clock ? clock : now_ms) {}

void TimerQueue::insert_event(uint32_t type, uint32_t period) {
    if (entries_.empty()) {
        // Nothing is pending, so the reference point restarts now.
        lastclk_ = clock_();
        taccum_ = 0;
    }
    // Walk the delta list until the running due time reaches the period.
    // ">=" puts a new event in front of those due at the same millisecond.
    uint32_t before = 0;
    auto it = entries_.begin();
    for (; it != entries_.end(); ++it) {
        uint32_t sum = before + it->delay;
        if (sum >= period) {
            it->delay = sum - period;
            break;
        }
        before = sum;
    }
    entries_.insert(it, TimerEvent{type, period, period - before});
}

void TimerQueue::update_taccum(uint64_t now) {
    // A reading below lastclk cannot come from a monotonic clock; charge no
    // time for it and measure on from the new reading.
    if (now >= lastclk_) taccum_ += static_cast<uint32_t>(now - lastclk_);
    lastclk_ = now;
}

uint32_t TimerQueue::next_timeout() {
    if (entries_.empty()) return UINT32_MAX;
    TimerEvent& head = entries_.front();
    if (taccum_ >= head.delay) {
        taccum_ -= head.delay;
        head.delay = 0;
    } else {
        head.delay -= taccum_;
        taccum_ = 0;
    }
    return head.delay;
}

bool TimerQueue::pop_due(TimerEvent& event) {
    if (entries_.empty() || taccum_ < entries_.front().delay) return false;
    event = entries_.front();
    // The reference point moves to the head's due time, so an event put back
    // right away keeps its schedule however late it was taken.
    taccum_ -= event.delay;
    entries_.pop_front();
    return true;
}

const char* event_name(uint32_t type) {
    static const char* const names[] = {
        "Garbage Collect", "Dump Stats",          "Bandwidth stats",  "Bandwidth stats [2]",
        "Send Probe",      "New send probe process", "SSM Send Probe", "New SSM send probe process",
        "Send Report",     "Send SSM Report",     "Send Map-Report",  "Send Website-Report",
    };
    if (type <= NEW_SSM_PROBE_BURST) return names[type];
    if (type >= SEND_REPORT && type <= SEND_WEBSITE_REPORT) return names[type - 74];
    if (type == CLOCK_CHECK) return "Clock check";
    return "Unknown event";
}
