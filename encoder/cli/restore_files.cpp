// quarvex -d into files. Each archive is restored and checked in one pass: check_archive's
// decoder hands every restored block to a temporary file beside the output, and only an archive
// found whole (every block 0..N-1 once, at its length, decoded; the checksum where the header has
// one) is renamed onto its output, with the archive's mode and times. Anything else names the
// archive and its first bad block in --test's words and leaves nothing under the output's name;
// --keep-partial keeps the good blocks instead, zeros for the others, and names each bad range.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/file_status.h"
#include "platform/paths.h"
#include "platform/standard_streams.h"
#include "platform/system.h"
#include "directories.h"
#include "progress.h"
#include "restore_run.h"
#include "safe_output.h"
#include "unquarvex.h"

namespace uq::suite {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Names are taken apart at any of the platform's separators (on Windows the backslash and "/")
// and joined with its own, as the restore tool does.
std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of(platform::kDirSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || platform::is_dir_separator(dir.back()) ? dir + name : dir + platform::kDirSeparator + name;
}

// One archive and the file it restores to.
struct Restore {
  std::string archive;
  std::string output;
  platform::FileStatus status;  // the archive's: its mode and times go to the output
};

struct Plan {
  std::vector<Restore> restores;
  std::vector<std::string> directories;
  int failures = 0;
};

// The plan: each argument checked (or, with -r, walked as the restore tool walks), each archive
// given its output, the tree's directories to make under DEST_DIR.
class Planner {
 public:
  Planner(const Options& options, Progress& progress) : options_(options), progress_(progress) {
    if (!options.output) destination_ = platform::file_status(options.destination);
  }

  Plan take() && { return std::move(plan_); }

  void add_argument(const std::string& argument) {
    if (options_.recursive) {
      plan_.failures += static_cast<int>(walk_inputs({argument}, [&](const WalkEntry& entry) { add_walked(entry); }));
      inside_destination_.clear();
      return;
    }
    const platform::FileStatus status = platform::file_status(argument);
    if (!status.ok) {
      fail(quoted(argument) + ": " + std::strerror(status.err));
    } else if (status.kind == platform::FileKind::directory) {
      fail(quoted(argument) + " is a directory; passed over (-r restores its tree)");
    } else if (status.kind != platform::FileKind::regular) {
      fail(quoted(argument) + " is not a regular file; passed over");
    } else {
      add(argument, options_.output ? *options_.output : join(options_.destination, restored_name(base_name(argument))),
          status);
    }
  }

 private:
  void fail(const std::string& text) {
    say(progress_, text);
    ++plan_.failures;
  }

  void add_walked(const WalkEntry& entry) {
    // The destination inside a tree being walked is not restored into itself.
    if (!inside_destination_.empty() && entry.path.compare(0, inside_destination_.size(), inside_destination_) == 0) {
      return;
    }
    const std::string output = tree_output_path(options_.destination, entry.path, entry.argument);
    switch (entry.kind) {
      case WalkEntry::Kind::directory: {
        const platform::FileStatus status = platform::file_status(entry.path);
        if (destination_.ok && status.ok && status.device == destination_.device &&
            status.inode == destination_.inode) {
          // What lies below it is walked as its path less one trailing separator, joined with
          // kDirSeparator: on Windows the tree "dest" has "dest\x" below it, not "dest/x".
          inside_destination_ = entry.path;
          if (platform::is_dir_separator(inside_destination_.back())) inside_destination_.pop_back();
          inside_destination_ += platform::kDirSeparator;
          // A tree that is DEST_DIR itself holds nothing but what an earlier run restored; one that
          // holds it is restored without it, and says so.
          if (entry.path == entry.argument) {
            fail(quoted(entry.path) + " is DEST_DIR itself; nothing in it restored");
          } else if (!options_.quiet) {
            say(progress_, quoted(entry.path) + " is DEST_DIR; left out of its tree");
          }
          return;
        }
        plan_.directories.push_back(output);
        return;
      }
      case WalkEntry::Kind::file: {
        const platform::FileStatus status = platform::file_status(entry.path);
        if (!status.ok) {
          fail(quoted(entry.path) + ": " + std::strerror(status.err));
        } else {
          add(entry.path, restored_name(output), status);
        }
        return;
      }
      case WalkEntry::Kind::other:
        fail(quoted(entry.path) + " is not a regular file; passed over");
        return;
    }
  }

  void add(const std::string& archive, const std::string& output, const platform::FileStatus& status) {
    // Two archives of one name (a/x.qvx and b/x.qvx) would give one output: the second would
    // replace the first with -f, or fail on it without.
    auto [at, fresh] = outputs_.emplace(platform::name_key(output), archive);
    if (!fresh) {
      fail(quoted(archive) + " passed over: its output " + quoted(output) + " is that of " + quoted(at->second) +
           " already");
      return;
    }
    plan_.restores.push_back({archive, output, status});
  }

  const Options& options_;
  Progress& progress_;
  Plan plan_;
  std::map<std::string, std::string> outputs_;  // platform::name_key(output path) -> its archive
  platform::FileStatus destination_;
  std::string inside_destination_;  // the walked path of the destination, with a separator
};

bool all_zeros(const std::uint8_t* data, std::size_t len) {
  return len > 0 && data[0] == 0 && std::memcmp(data, data + 1, len - 1) == 0;
}

// The problem a failure's line is about: the output's own failure first, else what --test names.
const Problem* problem_to_name(const ArchiveCheck& check) {
  for (const Problem& p : check.problems) {
    if (p.kind == Problem::Kind::write_error) return &p;
  }
  return check.named_problem >= 0 ? &check.problems[static_cast<std::size_t>(check.named_problem)] : nullptr;
}

std::string block_range(const ArchiveCheck::BadBlocks& run, const ArchiveCheck& check) {
  const auto block = static_cast<std::uint64_t>(check.block_size);
  const std::uint64_t first_byte = static_cast<std::uint64_t>(run.first) * block;
  const std::uint64_t end =
      std::min(static_cast<std::uint64_t>(run.last + 1) * block, static_cast<std::uint64_t>(check.restored_size));
  const std::string blocks = run.first == run.last
                                 ? "block " + std::to_string(run.first)
                                 : "blocks " + std::to_string(run.first) + " to " + std::to_string(run.last);
  return blocks + " (bytes " + std::to_string(first_byte) + " to " + std::to_string(end - 1) + ")";
}

std::string speed_text(std::uint64_t bytes, double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2f s, %.1f MB/s", seconds,
                seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
  return text;
}

// Restores the archives of a plan one after the other, each on every worker.
class Restorer {
 public:
  Restorer(const Options& options, Progress& progress, const Plan& plan)
      : options_(options), progress_(progress), memory_limit_(memory_budget(kProgram)) {
    for (const Restore& r : plan.restores) archives_.emplace(r.status.device, r.status.inode);
  }

  // Restores one archive; false when it failed (and has been reported).
  bool restore(const Restore& r) {
    const auto start = std::chrono::steady_clock::now();
    // Another archive of this run at the output would be lost before it was restored.
    const platform::FileStatus there = platform::file_status(r.output);
    if (there.ok && archives_.count({there.device, there.inode}) != 0) {
      say(progress_, quoted(r.output) + " is an archive of this run; not replaced");
      return false;
    }
    SafeOutput out;
    std::string error;
    if (!out.open(r.output, options_.force, r.status, &error)) {
      say(progress_, error);
      return false;
    }
    // The file is new: a block of zeros is left as a hole, and the length set at the end.
    std::uint64_t end = 0;
    CheckOptions check_options;
    check_options.threads = static_cast<int>(std::min(options_.threads, 16u));
    check_options.memory_limit = memory_limit_;
    check_options.write = [&](std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
      end = std::max(end, offset + len);
      return all_zeros(data, len) ? 0 : out.write_at(offset, data, len);
    };
    check_options.progress = [&](std::uint64_t bytes) { progress_.advance(bytes); };
    const ArchiveCheck check = check_archive(r.archive, check_options);

    if (!check.intact) {
      report_failure(r, check);
      if (options_.keep_partial && keep_partial(r, check, out)) return false;
      out.discard();
      return false;
    }
    if (int err = out.extend_to(end); err != 0) {
      say(progress_, r.archive + ": write error on " + quoted(r.output) + ": " + std::strerror(err));
      return false;
    }
    if (!out.commit(r.status, options_.remove_inputs, &error)) {
      say(progress_, error);
      return false;
    }
    ++restored_;
    bytes_ += end;
    if (options_.verbose) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const char* checked = check.has_checksum ? "checksum verified" : "no checksum: every block decoded";
      progress_.print(stderr, r.archive + " -> " + r.output + ": " + std::to_string(end) + " bytes, " + checked +
                                  ", " + speed_text(end, seconds) + "\n");
    }
    // Only now, with the output complete and on the disk, may the archive go.
    if (options_.remove_inputs && std::remove(r.archive.c_str()) != 0) {
      say(progress_, "cannot remove " + quoted(r.archive) + ": " + std::strerror(errno));
      return false;
    }
    return true;
  }

  std::uint64_t restored() const { return restored_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  void report_failure(const Restore& r, const ArchiveCheck& check) {
    const Problem* p = problem_to_name(check);
    if (p != nullptr && p->kind == Problem::Kind::write_error) {
      say(progress_, r.archive + ": write error on " + quoted(r.output) + ": " + p->what);
    } else if (p != nullptr && !is_damage(*p)) {
      say(progress_, r.archive + ": " + check.reason);
    } else {
      say(progress_, r.archive + ": damaged: " + check.reason);
    }
  }

  // --keep-partial: the good blocks in place, zeros for the others, under the output's name, and
  // a line for each bad range. Not when nothing of the archive could be read, nor when the output
  // itself failed. Gives true when the output was kept.
  bool keep_partial(const Restore& r, const ArchiveCheck& check, SafeOutput& out) {
    if (check.restored_size < 0) return false;
    for (const Problem& p : check.problems) {
      if (p.kind == Problem::Kind::write_error) return false;
    }
    std::string error;
    if (int err = out.extend_to(static_cast<std::uint64_t>(check.restored_size)); err != 0) {
      say(progress_, r.archive + ": write error on " + quoted(r.output) + ": " + std::strerror(err));
      return false;
    }
    if (!out.commit(r.status, false, &error)) {
      say(progress_, error);
      return false;
    }
    for (const ArchiveCheck::BadBlocks& run : check.bad_blocks) {
      say(progress_,
          r.archive + ": " + block_range(run, check) + " of " + quoted(r.output) + " left as zeros: " + run.why);
    }
    if (check.bad_blocks.empty()) {
      say(progress_, r.archive + ": " + quoted(r.output) +
                         " kept with every block, which do not add up to the archive: " + check.reason);
    }
    return true;
  }

  const Options& options_;
  Progress& progress_;
  const std::uint64_t memory_limit_;
  std::set<std::pair<std::uint64_t, std::uint64_t>> archives_;  // device and inode of every archive
  std::uint64_t restored_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace

int run_restore_to_files(const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  platform::ignore_fatal_write_signals();
  remove_temporary_files_on_signals();
  Progress progress(options.verbose && platform::is_terminal(platform::StandardStream::error), 0);
  if (!options.output && !ensure_destination(options.destination, progress)) return 1;

  Planner planner(options, progress);
  for (const std::string& argument : options.inputs) planner.add_argument(argument);
  const Plan plan = std::move(planner).take();
  int failures = plan.failures;
  for (const std::string& dir : plan.directories) {
    if (!make_directory(dir, progress)) ++failures;
  }
  if (progress.enabled()) {
    for (const Restore& r : plan.restores) {
      progress.add_total(static_cast<std::uint64_t>(std::max<std::int64_t>(restored_size_of(r.archive), 0)));
    }
  }

  Restorer restorer(options, progress, plan);
  for (const Restore& r : plan.restores) {
    if (!restorer.restore(r)) ++failures;
  }
  progress.clear();
  if (options.verbose && plan.restores.size() > 1) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress.print(stderr, "total: " + std::to_string(restorer.restored()) + " of " +
                               std::to_string(plan.restores.size()) + " archives, " +
                               std::to_string(restorer.bytes()) + " bytes, " + speed_text(restorer.bytes(), seconds) +
                               "\n");
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace uq::suite
