// The command line of quillon-view and what each subcommand does.
#pragma once

namespace view {

// Runs the program; gives its exit status.
int run(int argc, char** argv);

}  // namespace view
