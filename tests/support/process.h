// Runs a program as a child process and captures its standard output, standard error and exit
// status, so that tests see exactly what a user of the binary sees.
#pragma once

#include <string>
#include <vector>

namespace uq::test {

struct RunOptions {
  std::string cwd = {};      // working directory; empty: the test's own
  long max_open_files = -1;  // RLIMIT_NOFILE for the child (ulimit -n); -1 leaves it
  long max_file_size = -1;   // RLIMIT_FSIZE in bytes (ulimit -f); -1 leaves it
  bool empty_argv0 = false;  // start the child with argc == 0
  bool stdout_closed = false;  // nobody reads the child's standard output (a closed pipe)
  bool stderr_closed = false;  // nobody reads the child's standard error (a closed pipe)
  std::vector<std::string> env = {};  // "NAME=VALUE" entries set in the child's environment
};

struct RunResult {
  int status = -1;  // exit status 0..255, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with the arguments argv[1..].
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace uq::test
