// Whether the kernel keeps the wall clock synchronised.  One-way delays are
// differences of two hosts' wall clocks, so they mean nothing while either
// clock runs free; the beacon asks at start-up and every ten minutes and
// says so once per change, whatever the verbosity.  Nothing on the wire or
// in the dump depends on the answer.
#pragma once

#include <sys/timex.h>

#include <cstdint>
#include <string>

constexpr uint32_t CLOCK_CHECK_MS = 600000;
// An estimated error above this is warned about like an unsynchronised clock.
constexpr long CLOCK_ERROR_LIMIT_US = 10000;

enum class ClockState {
    UNKNOWN,         // not asked yet
    UNREADABLE,      // the kernel refused the question
    UNSYNCHRONISED,  // TIME_ERROR or STA_UNSYNC
    IMPRECISE,       // synchronised, estimated error above the limit
    SYNCHRONISED,
};

// One answer of the kernel: the result of ntp_adjtime, errno when it
// failed, the status bits and the estimated error in microseconds.
struct ClockReading {
    int result = TIME_OK;
    int error = 0;
    int status = 0;
    long esterror_us = 0;
};

struct ClockLine {
    int priority = 0;
    std::string text;
};

ClockState classify_clock(const ClockReading& reading);

// Moves `state` to what the reading says; true with the line to log when
// the state changed in a way the operator must hear about.  A clock that is
// fine from the start is not mentioned.
bool clock_transition(ClockState& state, const ClockReading& reading, ClockLine& line);

// The query of the clock discipline; ntp_adjtime, replaceable by tests.
using ClockQuery = int (*)(struct timex*);
extern ClockQuery clock_query;
// What the last check found.
extern ClockState clock_state;

// Asks the kernel (read-only: modes 0) and logs a change of state.
void check_clock();
