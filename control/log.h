// The logger: standard error with a microsecond time stamp, or the system log.
#pragma once

#include <sys/time.h>
#include <syslog.h>

#include <cstdarg>
#include <cstddef>
#include <string>

constexpr int LOG_LINE_MAX = 256;

// Set by start-up once the log destination is settled; never cleared.
extern bool logger_started;

void log_vmessage(int priority, const char* format, va_list args);
void log_message(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void log_fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The standard-error form of one message: "%b %d %H:%M:%S.uuuuuu message\n"
// in local time.
std::string format_log_line(const struct timeval& when, const char* message);
