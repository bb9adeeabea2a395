// The run driver: from the command line to the exit status.
#pragma once

namespace uq::cli {

// Runs the whole program; gives the process's exit status (0, 1 after the usage text) unless a
// fatal condition ends the process first.
int run(int argc, const char* const* argv);

}  // namespace uq::cli
