// Runs a program as a child process and captures its standard output, standard error and exit
// status, so that tests see exactly what a user of the binary sees.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace uq::test {

// A time limit for a run that takes a second or two when all is well: a fault that makes it hang
// fails its test soon.
inline constexpr std::chrono::seconds kQuickRun{20};

// How RunOptions::stdout_file is opened, as a shell would hand it over.
enum class FileOutput {
  replace,        // > file: made, or emptied
  append,         // >> file: in append mode
  after_content,  // { printf lead; program; } > file: at the file's end, not in append mode
};

struct RunOptions {
  std::string cwd = {};      // working directory; empty: the test's own
  // Limits POSIX alone has; a Windows run that asks for one fails.
  long max_open_files = -1;  // RLIMIT_NOFILE for the child (ulimit -n); -1 leaves it
  long max_file_size = -1;   // RLIMIT_FSIZE in bytes (ulimit -f); -1 leaves it
  bool empty_argv0 = false;  // start the child with argc == 0
  int umask = -1;  // POSIX alone: the child's file-creation mask; -1 leaves it
  bool stdout_closed = false;  // nobody reads the child's standard output (a closed pipe)
  bool stderr_closed = false;  // nobody reads the child's standard error (a closed pipe)
  // The child starts without this stream at all (a shell's <&- and >&-).
  bool stdin_absent = false;
  bool stdout_absent = false;
  // Standard output into this file, opened as `stdout_mode` says, in place of the pipe read into
  // `out`.
  std::string stdout_file = {};
  FileOutput stdout_mode = FileOutput::replace;
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

// Runs argv[0] with the arguments argv[1..] in `cwd`, its standard input and output the null
// device and its standard error a pseudo-terminal in raw mode (its bytes as written), and with
// `stdout_too` standard output that terminal as well; gives what it wrote there and sets `status`
// as RunResult::status. POSIX alone: Windows has no pseudo-terminal to give a child, and throws.
std::string run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd, int* status,
                            bool stdout_too = false);

// Starts argv[0] with the arguments argv[1..] in `cwd`, every standard stream the null device,
// and interrupts it (SIGINT) once `ready()` says so, or after `limit`. Gives the signal that ended
// it, or 0 when it exited by itself. POSIX alone: Windows has no signals to send (its Ctrl-C is
// tested in tests/windows), and throws.
int interrupted_run(const std::vector<std::string>& argv, const std::string& cwd, const std::function<bool()>& ready,
                    std::chrono::seconds limit);

}  // namespace uq::test
