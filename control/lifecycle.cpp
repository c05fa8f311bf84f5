#include "control/lifecycle.h"

#include <unistd.h>

#include <cstdio>

#include "control/log.h"
#include "control/process.h"
#include "control/settings.h"
#include "protocol/report.h"
#include "scheduler/timer_queue.h"

void write_pid_file() {
    FILE* file = fopen(settings.pid_file.c_str(), "w");
    if (!file) {
        log_message(LOG_ERR, "Failed to open PID file to write.");
        return;
    }
    fprintf(file, "%u\n", static_cast<unsigned>(getpid()));
    fclose(file);
}

void farewell_and_exit() {
    send_report(LEAVE_REPORT);
    // Only a daemon writes the file, so only a daemon removes it.
    if (settings.daemonize && settings.has_pid_file) unlink(settings.pid_file.c_str());
    end_process(0);
}
