// A compression run in two passes. The plan: each argument checked (or, with -r, walked by the
// restore tool's input iterator, so that `unquarvex -d -r` recreates exactly what was walked),
// each input given its archive's path, the tree's directories made under DEST_DIR. Then the
// inputs compressed (small ones several at a time), each into a temporary file that is renamed
// onto its archive when complete.
#include "compress_run.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "filter_guess.h"
#include "platform/file_status.h"
#include "platform/paths.h"
#include "platform/replaced_file.h"
#include "platform/standard_streams.h"
#include "platform/streams.h"
#include "platform/system.h"
#include "directories.h"
#include "progress.h"
#include "safe_output.h"
#include "unquarvex.h"

namespace uq::suite {

namespace {

constexpr const char kStdin[] = "-";
constexpr const char kStdinName[] = "stdin";  // standard input's archive is DEST_DIR/stdin.qvx
constexpr const char kExtension[] = ".qvx";

struct Job {
  std::string input;      // a path, or "-"
  std::string output;     // the archive's final path; empty for standard output
  std::uint64_t size = 0;  // as the plan found it (standard input: not known)
};

std::string quoted(const std::string& path) { return "'" + path + "'"; }

using platform::FileKind;
using platform::FileStatus;
using platform::is_dir_separator;
using platform::kDirSeparator;
using platform::kDirSeparators;

std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of(kDirSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || is_dir_separator(dir.back()) ? dir + name : dir + kDirSeparator + name;
}

// A path as its components say, for telling two names of one file apart: "." components and
// repeated or trailing separators dropped. ".." is kept: only the file system knows where it leads.
std::string lexical(const std::string& path) {
  std::string out = !path.empty() && is_dir_separator(path.front()) ? "/" : "";
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find_first_of(kDirSeparators, at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") out += (out.empty() || out.back() == '/' ? "" : "/") + part;
    at = end + 1;
  }
  return out.empty() ? "." : out;
}

// What the plan found: the jobs in order, the directories to make, and how many inputs failed
// already (reported as they were found).
struct Plan {
  std::vector<Job> jobs;
  std::vector<std::string> directories;
  std::uint64_t total_bytes = 0;
  int failures = 0;
};

class Planner {
 public:
  Planner(const Options& options, Progress& progress) : options_(options), progress_(progress) {
    if (const FileStatus dest = platform::file_status(options.destination); !options.output && dest.ok) {
      dest_dev_ = dest.device;
      dest_ino_ = dest.inode;
      dest_known_ = true;
    }
  }

  // The plan, less every job whose archive would land on another input of the run: the archive
  // would replace that input (with -f) before it is read.
  Plan take() && {
    Plan plan = std::move(plan_);
    std::vector<Job> kept;
    for (Job& job : plan.jobs) {
      const std::string* other = job.output.empty() ? nullptr : input_at(job.output, job.input);
      if (other != nullptr) {
        say(progress_, quoted(job.input) + " passed over: its archive " + quoted(job.output) + " is the input " +
                           quoted(*other) + " of this run");
        ++plan.failures;
        plan.total_bytes -= job.size;
        continue;
      }
      kept.push_back(std::move(job));
    }
    plan.jobs = std::move(kept);
    return plan;
  }

  void add_argument(const std::string& argument) {
    if (argument == kStdin) {
      add_job(argument, archive_path(std::string(kStdinName) + kExtension), 0);
      return;
    }
    if (options_.recursive) {
      plan_.failures += static_cast<int>(walk_inputs({argument}, [&](const WalkEntry& entry) { add_walked(entry); }));
      inside_destination_.clear();
      return;
    }
    const FileStatus st = platform::file_status(argument);
    if (!st.ok) {
      fail(quoted(argument) + ": " + std::strerror(st.err));
    } else if (st.kind == FileKind::directory) {
      fail(quoted(argument) + " is a directory; passed over (-r compresses its tree)");
    } else if (st.kind != FileKind::regular) {
      fail(quoted(argument) + " is not a regular file; passed over");
    } else {
      add_job(argument, archive_path(base_name(argument) + kExtension), st.size, &st);
    }
  }

 private:
  // Where the archive of a named input goes: -o's path, DEST_DIR/NAME, or "" for standard output.
  std::string archive_path(const std::string& name) const {
    if (options_.to_stdout) return "";
    return options_.output ? *options_.output : join(options_.destination, name);
  }

  void fail(const std::string& text) {
    say(progress_, text);
    ++plan_.failures;
  }

  void add_walked(const WalkEntry& entry) {
    // The destination inside a tree being walked is not compressed into itself.
    if (!inside_destination_.empty() && entry.path.compare(0, inside_destination_.size(), inside_destination_) == 0) return;
    const std::string output = tree_output_path(options_.destination, entry.path, entry.argument);
    const FileStatus st = platform::file_status(entry.path);
    const bool known = st.ok;
    switch (entry.kind) {
      case WalkEntry::Kind::directory: {
        if (dest_known_ && known && st.device == dest_dev_ && st.inode == dest_ino_) {
          // What lies below it is walked as its path less one trailing separator, joined with
          // kDirSeparator: on Windows the tree "dest/" has "dest\x" below it, not "dest/x".
          inside_destination_ = entry.path;
          if (is_dir_separator(inside_destination_.back())) inside_destination_.pop_back();
          inside_destination_ += kDirSeparator;
          // A tree that is DEST_DIR itself has nothing to give but the archives of an earlier
          // run; one that holds it is compressed without it, and says so.
          if (entry.path == entry.argument) {
            fail(quoted(entry.path) + " is DEST_DIR itself; nothing in it compressed");
          } else if (!options_.quiet) {
            say(progress_, quoted(entry.path) + " is DEST_DIR; left out of its tree");
          }
          return;
        }
        plan_.directories.push_back(output);
        return;
      }
      case WalkEntry::Kind::file:
        add_job(entry.path, output + kExtension, known ? st.size : 0, known ? &st : nullptr);
        return;
      case WalkEntry::Kind::other:
        fail(quoted(entry.path) + " is not a regular file; passed over");
        return;
    }
  }

  void add_job(const std::string& input, const std::string& output, std::uint64_t size, const FileStatus* st = nullptr) {
    // Two inputs of one name (a/x and b/x; on Windows also a\x and b\X) would give one archive:
    // the second would replace the first with -f, or fail on it without.
    auto [at, fresh] = outputs_.emplace(platform::name_key(output), input);
    if (!fresh) {
      fail(quoted(input) + " passed over: its archive " + quoted(output) + " is that of " + quoted(at->second) +
           " already");
      return;
    }
    plan_.jobs.push_back({input, output, size});
    plan_.total_bytes += size;
    if (input == kStdin) return;
    input_names_.emplace(platform::name_key(lexical(input)), input);
    if (st != nullptr) input_files_.emplace(std::make_pair(st->device, st->inode), input);
  }

  // The input of the run, other than `own`, that is at `path` by name or as the same file.
  const std::string* input_at(const std::string& path, const std::string& own) const {
    const auto named = input_names_.find(platform::name_key(lexical(path)));
    if (named != input_names_.end() && named->second != own) return &named->second;
    // The link itself: a link there is replaced by the rename, never written through, whatever it
    // names.
    const FileStatus st = platform::link_status(path);
    if (!st.ok) return nullptr;
    const auto same = input_files_.find(std::make_pair(st.device, st.inode));
    if (same != input_files_.end() && same->second != own) return &same->second;
    return nullptr;
  }

  const Options& options_;
  Progress& progress_;
  Plan plan_;
  // Keyed by platform::name_key: on Windows "A.qvx" is the file "a.qvx" is.
  std::map<std::string, std::string> outputs_;  // archive path -> its input
  std::map<std::string, std::string> input_names_;  // lexical(input) -> input
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> input_files_;  // device and inode -> input
  bool dest_known_ = false;
  std::uint64_t dest_dev_ = 0;
  std::uint64_t dest_ino_ = 0;
  std::string inside_destination_;  // the walked path of the destination, with a separator
};

// The input of one job, open: a file, or standard input (a file or a stream), read front to back
// to its end, whatever size it claimed. A stream's first bytes are held back to choose the filter
// by. A job that needs the size (and the checksum) before its first block has the input spooled,
// or read once first when it is a file.
struct Input {
  int fd = -1;
  bool owned = false;
  bool regular = false;    // a regular file: read at offsets from `base`, and again if need be
  std::uint64_t base = 0;  // offset of the first byte to compress
  std::uint64_t size = 0;  // what a regular file claims (/proc files claim 0 and hold bytes)
  FileStatus st;
  bool keeps_attributes = false;  // the archive gets this input's mode and times
  bool is_file = false;           // `st` is a file's, to be told apart from the archive's
  std::vector<std::uint8_t> head;  // a stream's first bytes, read to choose the filter
  std::uint64_t served = 0;        // bytes given to the writer so far

  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    if (owned && fd >= 0) platform::close_file(fd);
  }

  // The next bytes, as the writer reads them: all `len` unless the input ends first.
  std::int64_t read_next(std::uint8_t* dst, std::size_t len) {
    std::size_t from_head = 0;
    if (served < head.size()) {
      from_head = std::min<std::size_t>(len, head.size() - static_cast<std::size_t>(served));
      std::memcpy(dst, head.data() + served, from_head);
    }
    std::int64_t got = 0;
    if (from_head < len) {
      got = regular ? platform::read_full_at(fd, base + served + from_head, dst + from_head, len - from_head)
                    : platform::read_full(fd, dst + from_head, len - from_head);
      if (got < 0) return -1;
    }
    const auto total = static_cast<std::int64_t>(from_head) + got;
    served += static_cast<std::uint64_t>(total);
    return total;
  }
};

bool open_input(const std::string& path, Input& in, std::string* error) {
  if (path == kStdin) {
    // Read as it stands, a closed standard input would give an archive of nothing.
    if (platform::missing_standard_streams().input_closed) {
      *error = "standard input is closed";
      return false;
    }
    in.fd = platform::kStandardInput;
    const platform::StreamInfo info = platform::describe_stream(in.fd);
    if (info.regular && (in.st = platform::descriptor_status(in.fd)).ok) {
      in.regular = true;
      in.base = info.position;
      in.size = info.size > in.base ? info.size - in.base : 0;
      in.is_file = true;
    }
    return true;
  }
  const int fd = platform::open_for_reading(path);
  if (fd < 0) {
    *error = "cannot open " + quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  in.fd = fd;
  in.owned = true;
  in.st = platform::descriptor_status(fd);
  if (!in.st.ok || in.st.kind != FileKind::regular) {
    *error = quoted(path) + " is not a regular file; passed over";
    return false;
  }
  in.regular = true;
  in.size = in.st.size;
  in.keeps_attributes = true;
  in.is_file = true;
  return true;
}

constexpr std::size_t kChunk = 1 << 20;

// Copies the rest of the input into an unnamed file in TMPDIR, which then stands in for it: a
// regular file of known size. Gives the facts a header needs of those bytes.
bool spool(Input& in, enc::StreamDigest& digest, Progress& progress, std::string* error) {
  const bool counted = in.regular;  // a file's size is in the total already
  const int fd = platform::open_spool_file();
  if (fd < 0) {
    *error = "cannot spool the input in TMPDIR: " + std::string(std::strerror(errno));
    return false;
  }
  std::uint64_t size = 0;
  std::vector<std::uint8_t> buffer(kChunk);
  for (;;) {
    const std::int64_t n = in.read_next(buffer.data(), buffer.size());
    if (n < 0) {
      *error = "read error: " + std::string(std::strerror(errno));
      platform::close_file(fd);
      return false;
    }
    if (n == 0) break;
    if (const int err = platform::write_full(fd, buffer.data(), static_cast<std::size_t>(n))) {
      *error = "cannot spool the input in TMPDIR: " + std::string(std::strerror(err));
      platform::close_file(fd);
      return false;
    }
    digest.add(buffer.data(), static_cast<std::size_t>(n));
    size += static_cast<std::uint64_t>(n);
  }
  if (in.owned) platform::close_file(in.fd);
  in.fd = fd;
  in.owned = true;
  in.regular = true;
  in.base = 0;
  in.size = size;
  in.head.clear();
  in.served = 0;
  if (!counted) progress.add_total(size);
  return true;
}

// Reads a regular input once to its end for the facts its header must give before the first
// block; false with *error set when the read fails. The input is then read again from its start.
bool first_read(Input& in, enc::StreamDigest& digest, std::string* error) {
  std::vector<std::uint8_t> buffer(kChunk);
  for (;;) {
    const std::int64_t n = in.read_next(buffer.data(), buffer.size());
    if (n < 0) {
      *error = "read error: " + std::string(std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    digest.add(buffer.data(), static_cast<std::size_t>(n));
  }
  in.served = 0;
  return true;
}

// Standard output as an archive's sink: written front to back through a buffer; a regular file
// written at its own position can have its start written again (the header, at the end).
class StdoutSink {
 public:
  StdoutSink() : info_(platform::describe_stream(platform::kStandardOutput)) { buffer_.reserve(kChunk); }

  bool rewritable() const { return info_.regular && info_.rewritable; }
  const platform::StreamInfo& info() const { return info_; }

  bool write(const std::uint8_t* data, std::size_t len) {
    if (buffer_.size() + len > kChunk && !flush()) return false;
    if (len >= kChunk) return put(data, len);
    buffer_.insert(buffer_.end(), data, data + len);
    return true;
  }
  bool rewrite_start(const std::uint8_t* data, std::size_t len) {
    if (!flush()) return false;
    errno = platform::write_full_at(platform::kStandardOutput, info_.position, data, len);
    return errno == 0;
  }
  bool flush() {
    const bool ok = put(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  bool put(const std::uint8_t* data, std::size_t len) {
    errno = platform::write_full(platform::kStandardOutput, data, len);
    return errno == 0;
  }

  platform::StreamInfo info_;
  std::vector<std::uint8_t> buffer_;
};

std::uint8_t filter_byte(FilterChoice choice, const Input& in) {
  switch (choice) {
    case FilterChoice::none: return enc::kFilterNone;
    case FilterChoice::x86: return enc::kFilterX86;
    case FilterChoice::delta: return enc::kFilterDelta3;
    case FilterChoice::automatic:
      return in.regular ? guess_filter_of(in.fd, in.base) : guess_filter(in.head.data(), in.head.size());
  }
  return enc::kFilterNone;
}

const char* filter_name(std::uint8_t filter) {
  return filter == enc::kFilterX86 ? "x86" : filter == enc::kFilterDelta3 ? "delta" : "none";
}

std::string ratio_text(std::uint64_t out, std::uint64_t in) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", in == 0 ? 0.0 : 100.0 * static_cast<double>(out) / static_cast<double>(in));
  return text;
}

std::string speed_text(std::uint64_t bytes, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s, %.1f MB/s", seconds, seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
  return text;
}

struct Totals {
  std::uint64_t files = 0;
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
};

// What one job did, and what to print for it: jobs that run at once print in job order.
struct JobResult {
  bool ok = false;
  std::string messages;  // whole lines for standard error
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
};

constexpr std::size_t kFilterHead = 4096;  // what --filter=auto looks at

// Compresses one input into its archive (a file, or standard output) with `threads` encoding
// workers at most.
JobResult compress_job(const Job& job, const Options& options, unsigned threads, std::uint32_t new_file_mode,
                       Progress& progress) {
  JobResult result;
  const auto fail = [&](const std::string& text) {
    result.messages += std::string(kProgram) + ": " + text + "\n";
    return result;
  };
  const auto start = std::chrono::steady_clock::now();
  const std::string shown = job.input == kStdin ? "standard input" : job.input;
  const bool to_stdout = job.output.empty();
  std::string error;
  Input in;
  if (!open_input(job.input, in, &error)) return fail(error);

  std::optional<StdoutSink> stdout_sink;
  SafeOutput file_sink;
  if (to_stdout) {
    stdout_sink.emplace();
    const platform::StreamInfo& out = stdout_sink->info();
    // Appending to the file being read would never end.
    if (in.is_file && out.regular && out.device == in.st.device && out.inode == in.st.inode) {
      return fail(shown + ": standard output is the input itself");
    }
  }
  if (!in.regular) {
    in.head.resize(kFilterHead);
    const std::int64_t got = platform::read_full(in.fd, in.head.data(), in.head.size());
    if (got < 0) return fail(shown + ": read error: " + std::strerror(errno));
    in.head.resize(static_cast<std::size_t>(got));
  }

  enc::WriterOptions writer;
  writer.level = options.level;
  // Known here, before a stream's digest needs it: a file's block size may follow its size.
  writer.block_mib = enc::block_mib_for(in.regular ? std::optional<std::int64_t>(in.size) : std::nullopt,
                                        options.level, options.block_mib);
  writer.shuffle_seed = options.shuffle_seed;

  // What must be known before the first block: a sink that can't go back (a pipe) needs the
  // header whole, size and checksum; a shuffle needs the size. A file that claims a size is read
  // once for them (a shuffle takes the claim, and a look past it proves it); anything else, a
  // pipe or a file that claims nothing (/proc), is spooled to TMPDIR.
  const bool rewritable = to_stdout ? stdout_sink->rewritable() : true;
  std::optional<enc::StreamFacts> announced;
  bool check_claim = false;
  if (!rewritable || writer.shuffle_seed) {
    enc::StreamDigest digest(*writer.block_mib);
    if (in.regular && in.size > 0) {
      if (!rewritable && !first_read(in, digest, &error)) return fail(shown + ": " + error);
      check_claim = rewritable;
    } else if (!spool(in, digest, progress, &error)) {
      return fail(shown + ": " + error);
    }
    if (!rewritable) announced = digest.facts();
  }
  writer.filter = filter_byte(options.filter, in);
  // A small file has fewer blocks than workers: the others would only be started and joined.
  const std::uint64_t block = static_cast<std::uint64_t>(*writer.block_mib) << 20;
  const std::uint64_t blocks = in.regular ? (in.size + block - 1) / block : threads;
  writer.threads = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(threads, blocks)));

  if (!to_stdout && !file_sink.open(job.output, options.force, in.is_file ? &in.st : nullptr, &error)) {
    return fail(error);
  }
  const auto write = [&](const std::uint8_t* p, std::size_t len) {
    return to_stdout ? stdout_sink->write(p, len) : file_sink.write(p, len);
  };
  const auto rewrite = [&](const std::uint8_t* p, std::size_t len) {
    return to_stdout ? stdout_sink->rewrite_start(p, len) : file_sink.rewrite_start(p, len);
  };
  const auto read_next = [&](std::uint8_t* dst, std::size_t len) {
    const std::int64_t got = in.read_next(dst, len);
    if (got > 0) progress.advance(static_cast<std::uint64_t>(got));
    return got;
  };
  const auto read_at = [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    const std::int64_t got = platform::read_full_at(in.fd, in.base + offset, dst, len);
    if (got >= 0 && static_cast<std::size_t>(got) < len) errno = EIO;  // the input shrank while it was read
    if (got != static_cast<std::int64_t>(len)) return false;
    progress.advance(len);
    return true;
  };

  enc::WriteSummary summary;
  bool ok = false;
  try {
    if (writer.shuffle_seed) {
      const auto size = announced ? announced->orig_size : static_cast<std::int64_t>(in.size);
      ok = enc::write_compressed(size, read_at, write, rewrite, writer, &summary, &error, announced);
      // The claimed size was read, and it must have been all there is.
      std::uint8_t more = 0;
      if (ok && check_claim && platform::read_full_at(in.fd, in.base + in.size, &more, 1) != 0) {
        ok = false;
        error = "the input changed while it was read";
      }
    } else {
      ok = enc::write_stream(read_next, write, rewrite, announced, writer, &summary, &error);
    }
    if (ok && to_stdout && !stdout_sink->flush()) {
      ok = false;
      error = "write error: " + std::string(std::strerror(errno));
    }
  } catch (const std::exception& e) {  // memory or threads could not be had
    error = e.what();
  }
  if (!ok) {
    file_sink.discard();
    return fail(shown + ": " + error);
  }
  if (!to_stdout) {
    const platform::FileTime times[2] = {in.st.accessed, in.st.modified};
    const std::uint32_t mode = in.keeps_attributes ? in.st.mode : new_file_mode;
    // --rm removes the input next: the archive must be on the disk first, name and all.
    if (options.remove_inputs) file_sink.make_durable();
    if (!file_sink.commit(mode, in.keeps_attributes ? times : nullptr, &error)) return fail(error);
  }
  if (options.remove_inputs && job.input != kStdin) {
    if (const int err = platform::remove_file(job.input)) {
      return fail("cannot remove " + quoted(job.input) + ": " + std::strerror(err));
    }
  }
  result.ok = true;
  result.in_bytes = summary.in_bytes;
  result.out_bytes = summary.out_bytes;
  if (options.verbose) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.messages += shown + ": " + std::to_string(summary.in_bytes) + " -> " + std::to_string(summary.out_bytes) +
                       " bytes (" + ratio_text(summary.out_bytes, summary.in_bytes) + "), " +
                       std::to_string(summary.blocks) + " blocks (" + std::to_string(summary.stored_blocks) +
                       " stored), level " + std::to_string(writer.level) + ", filter " + filter_name(writer.filter) +
                       ", " + speed_text(summary.in_bytes, seconds) + "\n";
  }
  return result;
}

// Runs the jobs in order. A file of one block keeps one encoding worker busy, so runs of such
// files are compressed several at a time, one per worker (a tree of 300 small files: see the
// README); any other job runs alone on every worker. Messages come out in job order either way.
class JobRunner {
 public:
  JobRunner(const Options& options, Progress& progress) : options_(options), progress_(progress) {
    new_file_mode_ = platform::new_file_mode();
    workers_ = std::max(1u, options.threads);
  }

  void run(const std::vector<Job>& jobs) {
    const auto one_block = [&](const Job& job) {
      const std::uint16_t mib = enc::block_mib_for(static_cast<std::int64_t>(job.size), options_.level, options_.block_mib);
      return job.size <= static_cast<std::uint64_t>(mib) << 20;
    };
    for (std::size_t i = 0; i < jobs.size();) {
      std::size_t end = i;
      while (end < jobs.size() && jobs[end].input != kStdin && one_block(jobs[end])) ++end;
      if (end - i >= 2 && workers_ >= 2) {
        run_together(jobs, i, end);
        i = end;
      } else {
        finish(compress_job(jobs[i], options_, workers_, new_file_mode_, progress_));
        ++i;
      }
    }
  }

  const Totals& totals() const { return totals_; }
  int failures() const { return failures_; }

 private:
  void finish(const JobResult& r) {
    if (!r.messages.empty()) progress_.print(stderr, r.messages);
    if (!r.ok) {
      ++failures_;
      return;
    }
    ++totals_.files;
    totals_.in_bytes += r.in_bytes;
    totals_.out_bytes += r.out_bytes;
  }

  // Jobs [from, to) on the workers, each job on one encoding worker; this thread prints.
  void run_together(const std::vector<Job>& jobs, std::size_t from, std::size_t to) {
    std::vector<std::optional<JobResult>> results(to - from);
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<std::size_t> next{from};
    const auto work = [&] {
      for (std::size_t i; (i = next.fetch_add(1)) < to;) {
        JobResult r = compress_job(jobs[i], options_, 1, new_file_mode_, progress_);
        {
          std::lock_guard lock(mutex);
          results[i - from] = std::move(r);
        }
        done.notify_all();
      }
    };
    std::vector<std::thread> threads;
    try {
      for (unsigned t = 0; t < workers_ && t < to - from; ++t) threads.emplace_back(work);
    } catch (const std::system_error&) {  // fewer workers, or none: what is left runs here
    }
    if (threads.empty()) work();
    for (std::size_t i = from; i < to; ++i) {
      std::unique_lock lock(mutex);
      done.wait(lock, [&] { return results[i - from].has_value(); });
      JobResult r = std::move(*results[i - from]);
      lock.unlock();
      finish(r);
    }
    for (std::thread& t : threads) t.join();
  }

  const Options& options_;
  Progress& progress_;
  std::uint32_t new_file_mode_ = 0644;
  unsigned workers_ = 1;
  Totals totals_;
  int failures_ = 0;
};

}  // namespace

int run_compression(const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  Progress progress(options.verbose && platform::is_terminal(platform::StandardStream::error), 0);
  remove_temporary_files_on_signals();
  // A reader gone from a pipe must not end the run between a temporary file and its rename: the
  // failed write is counted instead, and the run ends as any failure does.
  platform::ignore_fatal_write_signals();
  if (options.to_stdout) {
    if (platform::missing_standard_streams().output_closed) {
      say(progress, "standard output is closed");
      return 1;
    }
    // Compressed bytes on a terminal are noise to the user and can upset the terminal.
    if (!options.force && platform::describe_stream(platform::kStandardOutput).terminal) {
      say(progress, "compressed data not written to a terminal (-f writes it anyway)");
      return 1;
    }
  } else if (!options.output && !ensure_destination(options.destination, progress)) {
    return 1;
  }

  Planner planner(options, progress);
  for (const std::string& argument : options.inputs) planner.add_argument(argument);
  Plan plan = std::move(planner).take();
  int failures = plan.failures;
  for (const std::string& dir : plan.directories) {
    if (!make_directory(dir, progress)) ++failures;
  }

  progress.add_total(plan.total_bytes);
  JobRunner runner(options, progress);
  runner.run(plan.jobs);
  failures += runner.failures();
  const Totals& totals = runner.totals();
  progress.clear();
  if (options.verbose && plan.jobs.size() > 1) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress.print(stderr, "total: " + std::to_string(totals.files) + " of " + std::to_string(plan.jobs.size()) +
                               " files, " + std::to_string(totals.in_bytes) + " -> " +
                               std::to_string(totals.out_bytes) + " bytes (" +
                               ratio_text(totals.out_bytes, totals.in_bytes) + "), " +
                               speed_text(totals.in_bytes, seconds) + "\n");
  }
  return failures == 0 && !progress.output_failed() ? 0 : 1;
}

}  // namespace uq::suite
