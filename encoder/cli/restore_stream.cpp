// quarvex -d -c ARCHIVE, and quarvex -d with no name (standard input): one archive restored to
// standard output through the library's ordered stream. A stream can't hold a hole: on damage it
// ends after the last block that could go out in order, and one line says where and why. The
// checksum is known only once every byte has gone out; `quarvex -t` checks an archive first.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/file_status.h"
#include "platform/standard_streams.h"
#include "platform/system.h"
#include "progress.h"
#include "restore_run.h"
#include "unquarvex.h"

namespace uq::suite {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Where the stream stopped, for the line that says why.
std::string what_went_out(const StreamRestore& r) {
  if (r.blocks_out == 0) return "nothing went to standard output";
  return "standard output ends after block " + std::to_string(r.blocks_out - 1) + " (" + std::to_string(r.bytes_out) +
         " bytes)";
}

void report_failure(const std::string& name, const StreamRestore& r, std::uint64_t memory_limit, Progress& progress) {
  if (r.write_failed) {
    say(progress, "write error on standard output: " + std::string(std::strerror(r.write_err)));
    return;
  }
  if (r.window_full) {
    say(progress, name + ": its records lie too far out of order to be put in order within " +
                      human_bytes(memory_limit) + " of memory; " + what_went_out(r) +
                      ". Restore it from a file, or raise UNQUARVEX_MEMORY_LIMIT");
    return;
  }
  const bool named = r.named_problem >= 0;
  const bool damage = !named || is_damage(r.problems[static_cast<std::size_t>(r.named_problem)]);
  // A checksum that does not match is known only once every block has gone out.
  const std::string where = !named && r.blocks_out >= r.block_count ? "every byte went to standard output already"
                                                                    : what_went_out(r);
  say(progress, name + ": " + (damage ? "damaged: " : "") + r.reason + "; " + where);
}

}  // namespace

int run_restore_to_stream(const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  // A closed pipe is then a failed write, which ends the run by its own path.
  platform::ignore_fatal_write_signals();
  platform::use_binary_standard_streams();
  platform::widen_standard_output_pipe();
  Progress progress(options.verbose && platform::is_terminal(platform::StandardStream::error), 0);

  StreamSource source;
  const bool from_stdin = options.inputs.empty() || options.inputs.front() == "-";
  // A stream the process was started without now reads and writes the null device: read, it
  // would be no archive; written, the restored bytes would go nowhere with status 0.
  if (platform::missing_standard_streams().output_closed) {
    say(progress, "standard output is closed: the restored file would go nowhere");
    return 1;
  }
  std::string name;
  if (from_stdin) {
    name = "standard input";
    if (platform::missing_standard_streams().input_closed) {
      say(progress, "standard input is closed: there is no archive to restore");
      return 1;
    }
    if (!options.force && platform::is_terminal(platform::StandardStream::input)) {
      say(progress, "standard input is a terminal: compressed data is not read from one (-f reads it anyway)");
      return 1;
    }
    const platform::FileStatus status = platform::standard_input_status();
    source.name = name;
    source.stream = stdin;
    source.seekable = status.ok && status.kind == platform::FileKind::regular;
    if (source.seekable) progress.add_total(status.size);  // about: the archive's size, not the restored one
  } else {
    name = options.inputs.front();
    const platform::FileStatus status = platform::file_status(name);
    if (!status.ok) {
      say(progress, quoted(name) + ": " + std::strerror(status.err));
      return 1;
    }
    if (status.kind == platform::FileKind::directory) {
      say(progress, quoted(name) + " is a directory");
      return 1;
    }
    source.name = name;
    if (progress.enabled()) {
      progress.add_total(static_cast<std::uint64_t>(std::max<std::int64_t>(restored_size_of(name), 0)));
    }
  }

  StreamOptions stream_options;
  stream_options.threads = static_cast<int>(std::min(options.threads, 16u));
  stream_options.memory_limit = memory_budget(kProgram);
  stream_options.progress = [&](std::uint64_t bytes) { progress.advance(bytes); };
  const StreamRestore r = restore_to_stream(
      source, [](const std::uint8_t* data, std::size_t len) { return platform::write_standard_output(data, len); },
      stream_options);
  progress.clear();
  // The reader has gone: it wants no more, and says so by closing the pipe.
  if (r.write_failed && r.write_err == EPIPE) platform::end_by_broken_pipe();
  if (!r.complete) {
    report_failure(name, r, stream_options.memory_limit, progress);
    return 1;
  }
  if (options.verbose) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char speed[64];
    std::snprintf(speed, sizeof speed, "%.2f s, %.1f MB/s", seconds,
                  seconds > 0 ? static_cast<double>(r.bytes_out) / seconds / 1e6 : 0.0);
    progress.print(stderr, name + " -> standard output: " + std::to_string(r.bytes_out) + " bytes, " +
                               (r.has_checksum ? "checksum verified" : "no checksum: every block decoded") + ", " +
                               speed + "\n");
  }
  return 0;
}

}  // namespace uq::suite
