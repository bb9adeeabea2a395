// Runs a program as a child process and captures its standard output, standard error and exit
// status, so that tests see exactly what a user of the binary sees.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace uq::test {

// A time limit for a run that takes a second or two when all is well: a fault that makes it hang
// fails its test soon.
inline constexpr std::chrono::seconds kQuickRun{20};

struct RunOptions {
  std::string cwd = {};      // working directory; empty: the test's own
  // Limits POSIX alone has; a Windows run that asks for one fails.
  long max_open_files = -1;  // RLIMIT_NOFILE for the child (ulimit -n); -1 leaves it
  long max_file_size = -1;   // RLIMIT_FSIZE in bytes (ulimit -f); -1 leaves it
  bool empty_argv0 = false;  // start the child with argc == 0
  bool stdout_closed = false;  // nobody reads the child's standard output (a closed pipe)
  bool stderr_closed = false;  // nobody reads the child's standard error (a closed pipe)
  std::vector<std::string> env = {};  // "NAME=VALUE" entries set in the child's environment
  // A child still running after this long is killed, and run_program throws, which fails the
  // test at once: a hang costs the limit, not CTest's time-out.
  std::chrono::seconds time_limit{120};
  // Standard input: /dev/null unless one of these is given.
  std::string stdin_file = {};      // this file
  bool stdin_pipe = false;          // a pipe, fed `stdin_data` and then closed
  std::string stdin_data = {};
  // A pseudo-terminal (POSIX alone: a Windows run that asks for one fails), on which nothing but
  // `typed` is typed.
  bool stdin_terminal = false;
  std::string typed = {};  // ("\x04" at the start of a line: the end of the input)
  // Standard output is read up to this many bytes, then closed (a reader that stops, as head -c).
  std::size_t stdout_limit = static_cast<std::size_t>(-1);
  // More than this many seconds (0: no limit), and the child is killed (timed_out), so that a hang
  // fails in seconds.
  int timeout_seconds = 0;
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
  long max_rss_kib = 0;  // the child's peak resident size (on Windows its peak working set)
  bool timed_out = false;  // killed after options.timeout_seconds
};

// The exit status of a fatal end (exit status -1) as run_program gives it: 255 on POSIX, which
// keeps 8 bits, and -1 (the exit code 0xFFFFFFFF) on Windows.
extern const int kFatalStatus;

// Runs argv[0] (a path) with the arguments argv[1..]. Throws std::runtime_error when the child
// outlives options.time_limit.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace uq::test
