// Ending the process, and the signal state around the main loop and the
// programs the beacon launches.  Every path that ends the beacon goes
// through end_process(), so that tests and fuzz targets can observe a fatal
// path without losing their own process.
#pragma once

#include <signal.h>

// Called instead of exit() when set; it must not return (it may longjmp).
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);

[[noreturn]] void end_process(int status);

// The signals whose handlers only record a request for the main loop.
constexpr int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGUSR1, SIGCHLD};

// Blocks the handled signals and gives in wait_mask the mask to wait with
// (the one before, with the handled signals let through).  The mask before
// is remembered for launched programs.
void block_handled_signals(sigset_t& wait_mask);

// For a forked child before exec: the signal mask the process had before the
// loop blocked the handled signals, and the default dispositions of those
// signals, so the program can be stopped like any other.
void restore_signals_for_exec();
