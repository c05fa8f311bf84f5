#include "control/process.h"

#include <cstdlib>

namespace {
ExitHook exit_hook = nullptr;
}

void set_exit_hook(ExitHook hook) { exit_hook = hook; }

void end_process(int status) {
    if (exit_hook) exit_hook(status);
    std::exit(status);
}
