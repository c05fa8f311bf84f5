// Sends standard output and error to /dev/null while the daemon's code runs
// on an input, so that its log lines and texts do not flood the fuzzer's log.
// Sanitizer reports keep the real standard error.  FUZZ_OUTPUT=1 keeps
// everything.
#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

class QuietOutput {
public:
    QuietOutput() {
        const char* keep = getenv("FUZZ_OUTPUT");
        if (keep && *keep == '1') return;
        saved_stdout_ = dup(1);
        saved_stderr_ = dup(2);
        null_ = open("/dev/null", O_WRONLY);
        if (saved_stdout_ < 0 || saved_stderr_ < 0 || null_ < 0) {
            perror("quiet output");
            abort();
        }
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved_stderr_)));
    }

    void silence() { redirect(null_, null_); }
    void restore() { redirect(saved_stdout_, saved_stderr_); }

private:
    void redirect(int out, int err) {
        if (null_ < 0) return;
        fflush(stdout);
        fflush(stderr);
        dup2(out, 1);
        dup2(err, 2);
    }

    int saved_stdout_ = -1;
    int saved_stderr_ = -1;
    int null_ = -1;
};
