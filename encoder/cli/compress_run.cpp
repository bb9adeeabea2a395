// A compression run in two passes. The plan: each argument checked (or, with -r, walked by the
// restore tool's input iterator, so that `unquarvex -d -r` recreates exactly what was walked),
// each input given its archive's path, the tree's directories made under DEST_DIR. Then the
// inputs compressed (small ones several at a time), each into a temporary file that is renamed
// onto its archive when complete.
#include "compress_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "platform/system.h"
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
  std::string output;     // the archive's final path
  std::uint64_t size = 0;  // as the plan found it (standard input: not known)
};

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A path as its components say, for telling two names of one file apart: "." components and
// repeated or trailing "/" dropped. ".." is kept: only the file system knows where it leads.
std::string lexical(const std::string& path) {
  std::string out = !path.empty() && path.front() == '/' ? "/" : "";
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
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
    struct stat dest {};
    if (!options.output && ::stat(options.destination.c_str(), &dest) == 0) {
      dest_dev_ = dest.st_dev;
      dest_ino_ = dest.st_ino;
      dest_known_ = true;
    }
  }

  // The plan, less every job whose archive would land on another input of the run: the archive
  // would replace that input (with -f) before it is read.
  Plan take() && {
    Plan plan = std::move(plan_);
    std::vector<Job> kept;
    for (Job& job : plan.jobs) {
      const std::string* other = input_at(job.output, job.input);
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
      add_job(argument, options_.output ? *options_.output : join(options_.destination, std::string(kStdinName) + kExtension), 0);
      return;
    }
    if (options_.recursive) {
      plan_.failures += static_cast<int>(walk_inputs({argument}, [&](const WalkEntry& entry) { add_walked(entry); }));
      inside_destination_.clear();
      return;
    }
    struct stat st {};
    if (::stat(argument.c_str(), &st) != 0) {
      fail(quoted(argument) + ": " + std::strerror(errno));
    } else if (S_ISDIR(st.st_mode)) {
      fail(quoted(argument) + " is a directory; passed over (-r compresses its tree)");
    } else if (!S_ISREG(st.st_mode)) {
      fail(quoted(argument) + " is not a regular file; passed over");
    } else {
      add_job(argument, options_.output ? *options_.output : join(options_.destination, base_name(argument) + kExtension),
              static_cast<std::uint64_t>(st.st_size), &st);
    }
  }

 private:
  void fail(const std::string& text) {
    say(progress_, text);
    ++plan_.failures;
  }

  void add_walked(const WalkEntry& entry) {
    // The destination inside a tree being walked is not compressed into itself.
    if (!inside_destination_.empty() && entry.path.compare(0, inside_destination_.size(), inside_destination_) == 0) return;
    const std::string output = tree_output_path(options_.destination, entry.path, entry.argument);
    struct stat st {};
    const bool known = ::stat(entry.path.c_str(), &st) == 0;
    switch (entry.kind) {
      case WalkEntry::Kind::directory: {
        if (dest_known_ && known && st.st_dev == dest_dev_ && st.st_ino == dest_ino_) {
          inside_destination_ = entry.path + (entry.path.back() == '/' ? "" : "/");
          // A tree that is DEST_DIR itself has nothing to give but the archives of an earlier
          // run; one that holds it is compressed without it, and says so.
          if (entry.path == entry.argument) {
            fail(quoted(entry.path) + " is DEST_DIR itself; nothing in it compressed");
          } else {
            say(progress_, quoted(entry.path) + " is DEST_DIR; left out of its tree");
          }
          return;
        }
        plan_.directories.push_back(output);
        return;
      }
      case WalkEntry::Kind::file:
        add_job(entry.path, output + kExtension, known ? static_cast<std::uint64_t>(st.st_size) : 0, known ? &st : nullptr);
        return;
      case WalkEntry::Kind::other:
        fail(quoted(entry.path) + " is not a regular file; passed over");
        return;
    }
  }

  void add_job(const std::string& input, const std::string& output, std::uint64_t size, const struct stat* st = nullptr) {
    // Two inputs of one name (a/x and b/x) would give one archive: the second would replace the
    // first with -f, or fail on it without.
    auto [at, fresh] = outputs_.emplace(output, input);
    if (!fresh) {
      fail(quoted(input) + " passed over: its archive " + quoted(output) + " is that of " + quoted(at->second) +
           " already");
      return;
    }
    plan_.jobs.push_back({input, output, size});
    plan_.total_bytes += size;
    if (input == kStdin) return;
    input_names_.emplace(lexical(input), input);
    if (st != nullptr) input_files_.emplace(std::make_pair(st->st_dev, st->st_ino), input);
  }

  // The input of the run, other than `own`, that is at `path` by name or as the same file.
  const std::string* input_at(const std::string& path, const std::string& own) const {
    const auto named = input_names_.find(lexical(path));
    if (named != input_names_.end() && named->second != own) return &named->second;
    struct stat st {};
    // lstat: a link there is replaced by the rename, never written through, whatever it names.
    if (::lstat(path.c_str(), &st) != 0) return nullptr;
    const auto same = input_files_.find(std::make_pair(st.st_dev, st.st_ino));
    if (same != input_files_.end() && same->second != own) return &same->second;
    return nullptr;
  }

  const Options& options_;
  Progress& progress_;
  Plan plan_;
  std::map<std::string, std::string> outputs_;  // archive path -> its input
  std::map<std::string, std::string> input_names_;  // lexical(input) -> input
  std::map<std::pair<dev_t, ino_t>, std::string> input_files_;  // device and inode -> input
  bool dest_known_ = false;
  dev_t dest_dev_ = 0;
  ino_t dest_ino_ = 0;
  std::string inside_destination_;  // the walked path of the destination, with a "/"
};

// Makes DEST_DIR when it does not exist: one level, its parent must exist.
bool ensure_destination(const std::string& destination, Progress& progress) {
  struct stat st {};
  if (::stat(destination.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    say(progress, quoted(destination) + " is not a directory");
    return false;
  }
  if (::mkdir(destination.c_str(), 0777) != 0 && errno != EEXIST) {
    say(progress, "cannot create directory " + quoted(destination) + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

// One directory of a walked tree; one that exists as a directory counts as made.
bool make_directory(const std::string& path, Progress& progress) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  const int err = errno;
  struct stat st {};
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  say(progress, "cannot create directory " + quoted(path) + ": " + std::strerror(err));
  return false;
}

// The input of one job, open: a file, standard input when it is a file, or standard input
// spooled to an unnamed temporary file (the writer needs the size first and reads at offsets).
struct Input {
  int fd = -1;
  bool owned = false;
  std::uint64_t base = 0;  // offset of the first byte to compress
  std::uint64_t size = 0;
  struct stat st {};
  bool keeps_attributes = false;  // the archive gets this input's mode and times
  bool is_file = false;           // `st` is a file's, to be told apart from the archive's

  ~Input() {
    if (owned && fd >= 0) ::close(fd);
  }
};

bool spool_stdin(Input& in, std::string* error) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string templ = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/quarvex-stdin.XXXXXX";
  const int fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot spool standard input: " + std::string(std::strerror(errno));
    return false;
  }
  ::unlink(templ.c_str());  // gone with the descriptor, whatever happens
  in.fd = fd;
  in.owned = true;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "read error on standard input: " + std::string(std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(n)) {
      const ssize_t w = ::write(fd, buffer.data() + done, static_cast<std::size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *error = "cannot spool standard input: " + std::string(std::strerror(w == 0 ? ENOSPC : errno));
        return false;
      }
      done += static_cast<std::size_t>(w);
    }
    in.size += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool open_input(const std::string& path, Input& in, std::string* error) {
  if (path == kStdin) {
    // Read as it stands, a closed standard input would give an archive of nothing.
    if (platform::missing_standard_streams().input_closed) {
      *error = "standard input is closed";
      return false;
    }
    if (::fstat(STDIN_FILENO, &in.st) == 0 && S_ISREG(in.st.st_mode)) {
      const off_t at = ::lseek(STDIN_FILENO, 0, SEEK_CUR);
      in.fd = STDIN_FILENO;
      in.base = at > 0 ? static_cast<std::uint64_t>(at) : 0;
      const auto size = static_cast<std::uint64_t>(in.st.st_size);
      in.size = size > in.base ? size - in.base : 0;
      in.is_file = true;
      return true;
    }
    return spool_stdin(in, error);
  }
  // O_NONBLOCK: a FIFO put in place of a file since the plan must not hang the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot open " + quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  in.fd = fd;
  in.owned = true;
  if (::fstat(fd, &in.st) != 0 || !S_ISREG(in.st.st_mode)) {
    *error = quoted(path) + " is not a regular file; passed over";
    return false;
  }
  in.size = static_cast<std::uint64_t>(in.st.st_size);
  in.keeps_attributes = true;
  in.is_file = true;
  return true;
}

std::uint8_t filter_byte(FilterChoice choice, const Input& in) {
  switch (choice) {
    case FilterChoice::none: return enc::kFilterNone;
    case FilterChoice::x86: return enc::kFilterX86;
    case FilterChoice::delta: return enc::kFilterDelta3;
    case FilterChoice::automatic: return guess_filter_of(in.fd, in.base);
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

// Compresses one input into its archive with `threads` encoding workers at most.
JobResult compress_job(const Job& job, const Options& options, unsigned threads, mode_t new_file_mode,
                       Progress& progress) {
  JobResult result;
  const auto fail = [&](const std::string& text) {
    result.messages += std::string(kProgram) + ": " + text + "\n";
    return result;
  };
  const auto start = std::chrono::steady_clock::now();
  const std::string shown = job.input == kStdin ? "standard input" : job.input;
  std::string error;
  Input in;
  if (!open_input(job.input, in, &error)) return fail(error);
  if (job.input == kStdin) progress.add_total(in.size);

  enc::WriterOptions writer;
  writer.level = options.level;
  writer.filter = filter_byte(options.filter, in);
  writer.block_mib = options.block_mib;
  writer.shuffle_seed = options.shuffle_seed;
  // A small file has fewer blocks than workers: the others would only be started and joined.
  const std::uint64_t block = static_cast<std::uint64_t>(options.block_mib) << 20;
  const std::uint64_t blocks = (in.size + block - 1) / block;
  writer.threads = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(threads, blocks)));

  SafeOutput out;
  if (!out.open(job.output, options.force, in.is_file ? &in.st : nullptr, &error)) return fail(error);

  const auto read = [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    std::size_t got = 0;
    while (got < len) {
      const ssize_t r = ::pread(in.fd, dst + got, len - got, static_cast<off_t>(in.base + offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        if (r == 0) errno = EIO;  // the input shrank while it was read
        return false;
      }
      got += static_cast<std::size_t>(r);
    }
    progress.advance(len);
    return true;
  };
  const auto write = [&](const std::uint8_t* p, std::size_t len) { return out.write(p, len); };
  const auto rewrite = [&](const std::uint8_t* p, std::size_t len) { return out.rewrite_start(p, len); };

  enc::WriteSummary summary;
  bool ok = false;
  try {
    ok = enc::write_compressed(static_cast<std::int64_t>(in.size), read, write, rewrite, writer, &summary, &error);
  } catch (const std::exception& e) {  // memory or threads could not be had
    error = e.what();
  }
  if (!ok) {
    out.discard();
    return fail(shown + ": " + error);
  }
  const timespec times[2] = {in.st.st_atim, in.st.st_mtim};
  const mode_t mode = in.keeps_attributes ? in.st.st_mode : new_file_mode;
  if (!out.commit(mode, in.keeps_attributes ? times : nullptr, &error)) return fail(error);
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
    const mode_t mask = ::umask(0);
    ::umask(mask);
    new_file_mode_ = 0666 & ~mask;
    workers_ = std::max(1u, options.threads);
  }

  void run(const std::vector<Job>& jobs) {
    const std::uint64_t block = static_cast<std::uint64_t>(options_.block_mib) << 20;
    for (std::size_t i = 0; i < jobs.size();) {
      std::size_t end = i;
      while (end < jobs.size() && jobs[end].input != kStdin && jobs[end].size <= block) ++end;
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
  mode_t new_file_mode_ = 0644;
  unsigned workers_ = 1;
  Totals totals_;
  int failures_ = 0;
};

}  // namespace

int run_compression(const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  Progress progress(options.verbose && ::isatty(STDERR_FILENO) != 0, 0);
  remove_temporary_files_on_signals();
  // A reader gone from a pipe must not end the run between a temporary file and its rename: the
  // failed write is counted instead, and the run ends as any failure does.
  platform::ignore_fatal_write_signals();
  if (!options.output && !ensure_destination(options.destination, progress)) return 1;

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
