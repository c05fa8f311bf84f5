// The ends of the beacon's life that are not the loop's business: the PID
// file written after detaching, and the farewell at SIGINT or SIGTERM.
#pragma once

#include <string>

// Writes the process id to settings.pid_file; a file that cannot be opened
// is logged and the beacon goes on without one.
void write_pid_file();

// Sends the farewell report, removes the PID file when the beacon wrote one
// and ends the process with status 0.
[[noreturn]] void farewell_and_exit();

// The path as seen from directory: the path itself when it is absolute or
// when directory is empty (unknown), else directory/path.
std::string absolute_path(const std::string& path, const std::string& directory);

// The working directory, or an empty text when it cannot be read.
std::string working_directory();

// Daemon mode moves the working directory to '/': before it does, the dump
// file, the PID file and a launched program named with a '/' are taken from
// the working directory of start-up.  A program named without '/' is still
// looked up in the search path.
void resolve_relative_paths();
