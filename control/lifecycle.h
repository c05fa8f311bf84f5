// The ends of the beacon's life that are not the loop's business: the PID
// file written after detaching, and the farewell at SIGINT or SIGTERM.
#pragma once

// Writes the process id to settings.pid_file; a file that cannot be opened
// is logged and the beacon goes on without one.
void write_pid_file();

// Sends the farewell report, removes the PID file when the beacon wrote one
// and ends the process with status 0.
[[noreturn]] void farewell_and_exit();
