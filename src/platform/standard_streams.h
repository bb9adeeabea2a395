// The process's standard streams as byte streams: whether one is a terminal, restored bytes
// written to standard output, and the end a closed pipe gives a writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::platform {

enum class StandardStream { input, output, error };

// Whether `stream` is a terminal.
bool is_terminal(StandardStream stream);

// Makes standard input and output pass bytes unchanged. Nothing to do where streams are bytes
// already (Linux); where the C runtime translates line ends, it must turn that off.
void use_binary_standard_streams();

// Asks for a pipe buffer of 1 MiB when standard output is a pipe, so that its reader is woken
// once per MiB rather than once per 64 KiB: a restore of 100 MiB into a pipe at -p2 took a third
// less time. Nothing changes for anything else, nor where the system refuses or has no such call.
void widen_standard_output_pipe();

// Writes all `size` bytes to standard output, past the C library's buffer. Gives 0, or the
// errno of the failure (EPIPE when nobody reads the pipe any more; SIGPIPE must be ignored).
int write_standard_output(const std::uint8_t* data, std::size_t size);

// Ends the process as a closed pipe ends a writer that does not ignore it: by the SIGPIPE
// signal, which shells and tar take as a reader that stopped, not as a failure. Where there is
// no such signal, exit status 1 without a word.
[[noreturn]] void end_by_broken_pipe();

}  // namespace uq::platform
