// Process-level services: processor count, signal set-up, error texts and the immediate exit.
#pragma once

namespace uq::platform {

// The CPUs this process may run on, or the online count when that can't be read; at least 1.
int processor_count();

// Ignores SIGPIPE and SIGXFSZ, so a closed pipe or a file-size limit becomes a failed write that
// the program reports instead of a signal that kills it half way.
void ignore_fatal_write_signals();

// Makes a write past the file-size limit fail (EFBIG) rather than end the process with SIGXFSZ.
// Nothing to do where there is no such signal.
void ignore_file_size_signal();

// The C runtime's text for the errno value `err`, as strerror gives it.
const char* error_text(int err);

// Which of the standard streams the process was started without.
struct StandardStreams {
  bool input_closed = false;
  bool output_closed = false;
  bool error_closed = false;
};

// Opens the null device in place of each standard stream (input, output, error) the process was
// started without, so that no file opened later takes its place: an archive must never be written
// where messages go, nor messages into an archive. Call it once, before anything else is opened.
void guard_standard_streams();

// Which streams guard_standard_streams() found missing (none when it was not called).
const StandardStreams& missing_standard_streams();

// Flushes standard output and standard error, then ends the process at once with `status`
// without running destructors under live threads. POSIX keeps the status modulo 256, so -1 is
// seen as 255; Windows keeps all 32 bits, so -1 is the exit code 0xFFFFFFFF.
[[noreturn]] void exit_now(int status);

}  // namespace uq::platform
