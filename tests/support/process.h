// Runs a program as a child process and captures its standard output, standard error and exit
// status, so that tests see exactly what a user of the binary sees.
#pragma once

#include <string>
#include <vector>

namespace uq::test {

struct RunOptions {
  std::string cwd = {};      // working directory; empty: the test's own
  // Limits POSIX alone has; a Windows run that asks for one fails.
  long max_open_files = -1;  // RLIMIT_NOFILE for the child (ulimit -n); -1 leaves it
  long max_file_size = -1;   // RLIMIT_FSIZE in bytes (ulimit -f); -1 leaves it
  bool empty_argv0 = false;  // start the child with argc == 0
  bool stdout_closed = false;  // nobody reads the child's standard output (a closed pipe)
  std::vector<std::string> env = {};  // "NAME=VALUE" entries set in the child's environment
};

struct RunResult {
  // POSIX: the exit status 0..255, or 128 + signal number. Windows: the exit code, all 32 bits
  // (-1 for 0xFFFFFFFF).
  int status = -1;
  // The streams as a reader in text mode sees them: on Windows, where the C runtime writes each
  // "\n" of a console program as "\r\n", each "\r\n" read back as "\n".
  std::string out;
  std::string err;
  // The bytes as the program wrote them.
  std::string raw_out;
  std::string raw_err;
};

// The exit status of a fatal end (exit status -1) as run_program gives it: 255 on POSIX, which
// keeps 8 bits, and -1 (the exit code 0xFFFFFFFF) on Windows.
extern const int kFatalStatus;

// Runs argv[0] (a path) with the arguments argv[1..].
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace uq::test
