#include "control/clock_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/log.h"

ClockQuery clock_query = ntp_adjtime;
ClockState clock_state = ClockState::UNKNOWN;

ClockState classify_clock(const ClockReading& reading) {
    if (reading.result < 0) return ClockState::UNREADABLE;
    if (reading.result == TIME_ERROR || (reading.status & STA_UNSYNC)) return ClockState::UNSYNCHRONISED;
    if (reading.esterror_us > CLOCK_ERROR_LIMIT_US) return ClockState::IMPRECISE;
    return ClockState::SYNCHRONISED;
}

bool clock_transition(ClockState& state, const ClockReading& reading, ClockLine& line) {
    ClockState previous = state;
    state = classify_clock(reading);
    if (state == previous) return false;
    char text[LOG_LINE_MAX];
    switch (state) {
        case ClockState::UNREADABLE:
            snprintf(text, sizeof text,
                     "Clock state unreadable (%s): cannot tell whether measured delays are meaningful; "
                     "make sure the clock is synchronised (NTP or PTP).",
                     strerror(reading.error));
            line = {LOG_WARNING, text};
            return true;
        case ClockState::UNSYNCHRONISED:
            line = {LOG_WARNING,
                    "Clock not synchronised: measured delays are not meaningful until the clock is "
                    "synchronised (NTP or PTP)."};
            return true;
        case ClockState::IMPRECISE:
            snprintf(text, sizeof text,
                     "Clock error estimated at %.1f ms, above 10 ms: measured delays are not meaningful "
                     "until the clock is synchronised more closely (NTP or PTP).",
                     reading.esterror_us / 1000.0);
            line = {LOG_WARNING, text};
            return true;
        case ClockState::SYNCHRONISED:
            if (previous == ClockState::UNKNOWN) return false;
            snprintf(text, sizeof text, "Clock synchronised (estimated error %.1f ms): measured delays are meaningful.",
                     reading.esterror_us / 1000.0);
            line = {LOG_NOTICE, text};
            return true;
        case ClockState::UNKNOWN:
            break;
    }
    return false;
}

void check_clock() {
    struct timex tx;
    memset(&tx, 0, sizeof tx);  // modes 0: only read
    ClockReading reading;
    errno = 0;
    reading.result = clock_query(&tx);
    reading.error = errno;
    reading.status = tx.status;
    reading.esterror_us = tx.esterror;
    ClockLine line;
    if (clock_transition(clock_state, reading, line)) log_message(line.priority, "%s", line.text.c_str());
}
