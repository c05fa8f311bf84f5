#include "control/process.h"

#include <cstdlib>

namespace {
ExitHook exit_hook = nullptr;
sigset_t mask_before_blocking;
bool mask_saved = false;
}  // namespace

void set_exit_hook(ExitHook hook) { exit_hook = hook; }

void end_process(int status) {
    if (exit_hook) exit_hook(status);
    std::exit(status);
}

void block_handled_signals(sigset_t& wait_mask) {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : HANDLED_SIGNALS) sigaddset(&held, sig);
    sigset_t before;
    sigprocmask(SIG_BLOCK, &held, &before);
    if (!mask_saved) {
        mask_before_blocking = before;
        mask_saved = true;
    }
    wait_mask = before;
    for (int sig : HANDLED_SIGNALS) sigdelset(&wait_mask, sig);
}

void restore_signals_for_exec() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig : HANDLED_SIGNALS) sigaction(sig, &action, nullptr);
    // Without the loop having blocked anything, the mask is still the one
    // the process started with.
    if (mask_saved) sigprocmask(SIG_SETMASK, &mask_before_blocking, nullptr);
}
