#include "control/log.h"

#include <cstdio>
#include <ctime>

#include "control/process.h"
#include "control/settings.h"

bool logger_started = false;

std::string format_log_line(const struct timeval& when, const char* message) {
    char stamp[64];
    struct tm local;
    time_t seconds = when.tv_sec;
    localtime_r(&seconds, &local);
    if (strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local) == 0) stamp[0] = '\0';
    char line[64 + LOG_LINE_MAX + 16];
    snprintf(line, sizeof line, "%s.%06u %s\n", stamp, static_cast<unsigned>(when.tv_usec), message);
    return line;
}

void log_vmessage(int priority, const char* format, va_list args) {
    char message[LOG_LINE_MAX];
    vsnprintf(message, sizeof message, format, args);
    if (settings.use_syslog && logger_started) {
        // The text is data, never a format: a '%' in a beacon name stays as is.
        syslog(priority, "%s", message);
        return;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    std::string line = format_log_line(now, message);
    fputs(line.c_str(), stderr);
}

void log_message(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vmessage(priority, format, args);
    va_end(args);
}

void log_info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vmessage(LOG_INFO, format, args);
    va_end(args);
}

void log_fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vmessage(LOG_CRIT, format, args);
    va_end(args);
    end_process(255);
}
