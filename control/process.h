// Ending the process.  Every path that ends the beacon goes through
// end_process(), so that tests and fuzz targets can observe a fatal path
// without losing their own process.
#pragma once

// Called instead of exit() when set; it must not return (it may longjmp).
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);

[[noreturn]] void end_process(int status);
