#include "control/lifecycle.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

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

std::string absolute_path(const std::string& path, const std::string& directory) {
    if (path.empty() || path[0] == '/' || directory.empty()) return path;
    if (directory.back() == '/') return directory + path;
    return directory + "/" + path;
}

std::string working_directory() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size())) return buffer.data();
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

void resolve_relative_paths() {
    const std::string directory = working_directory();
    if (directory.empty()) {
        log_message(LOG_WARNING, "Cannot read the working directory (%s): relative paths are taken from /.",
                    strerror(errno));
        return;
    }
    settings.dump_file = absolute_path(settings.dump_file, directory);
    if (settings.has_pid_file) settings.pid_file = absolute_path(settings.pid_file, directory);
    if (settings.launch_program.find('/') != std::string::npos)
        settings.launch_program = absolute_path(settings.launch_program, directory);
}
