// Input enumeration of a recursive run: each argument in turn, and for a directory argument
// everything beneath it, depth first, parents before children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_status.h"

namespace uq::cli {

// Listings a walk holds at once: the argument's own and one for each of 99 levels below it. A
// directory found 100 levels down is given but not entered.
inline constexpr std::size_t kMaxOpenListings = 100;

// Every name of one directory, and which directory that was.
struct DirNames {
  std::vector<std::string> names;  // any order; "." and ".." may be among them
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Reads all names of the directory `path` into `out`, closing its listing before it returns.
// Gives 0, or the errno of the failure (ENOTDIR for anything that is not a directory).
using ListDirectory = std::function<int(const std::string& path, DirNames& out)>;

// The platform's listing.
int list_directory(const std::string& path, DirNames& out);

// A directory by device and inode.
struct DirIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// The walk of one directory argument. Each level is read in full, closed and sorted byte-wise
// before its first entry is given, so a run's order does not depend on the file system.
class DirectoryWalk {
 public:
  // `dir_path` is the argument less one trailing separator; `root` its names. A directory below it
  // that is `passed_over` is reported and neither given nor entered.
  DirectoryWalk(std::string dir_path, DirNames root, ListDirectory list,
                std::optional<DirIdentity> passed_over = std::nullopt);

  // Gives 0 with the next entry's path and status, or -1 when the walk has ended. A
  // subdirectory is given before its contents, which follow right after it.
  int walk_step(std::string& path, platform::FileStatus& status);

 private:
  struct Level {
    std::string dir_path;  // the directory this level lists
    DirNames contents;
    std::size_t next = 0;  // index of the next name to give
  };

  void push(std::string dir_path, DirNames contents);
  // Pushes a level for the subdirectory `path` unless that would loop, nest too deep or it
  // can't be listed; each refusal is reported.
  void enter(const std::string& path, const platform::FileStatus& status);

  std::vector<Level> levels_;  // back() is the innermost
  ListDirectory list_;
  std::optional<DirIdentity> passed_over_;
};

class InputIterator {
 public:
  explicit InputIterator(std::vector<std::string> arguments, ListDirectory list = list_directory);

  // Gives 0 with the next input's path and status, or -1 when there are no more.
  int next_input(std::string& path, platform::FileStatus& status);

  // The argument the last input came from (for a walk's entry, the directory argument).
  const std::string& current_argument() const { return arguments_[current_]; }

  // The restore's destination: a walk that meets it below an argument reports it and does not
  // go in, so that a run never restores into what it is still walking. An argument that is the
  // destination itself is still walked (`d/ d`): its names are read before any of them is
  // restored.
  void pass_over(DirIdentity destination) { passed_over_ = destination; }

 private:
  // Starts on the argument at current_: gives true with the argument itself as the input, false
  // when it is skipped (a directory's walk may still have been started).
  bool take_argument(std::string& path, platform::FileStatus& status);

  std::vector<std::string> arguments_;
  std::size_t cursor_ = 0;   // the next argument to take
  std::size_t current_ = 0;  // the argument most recently taken
  ListDirectory list_;
  std::optional<DirectoryWalk> walk_;
  std::optional<DirIdentity> passed_over_;
};

// An iterator over `arguments` (the inputs, in command-line order), or none for an empty list.
std::unique_ptr<InputIterator> open_input_iterator(const std::vector<std::string>& arguments,
                                                   ListDirectory list = list_directory);

void close_input_iterator(std::unique_ptr<InputIterator>& iterator);

// How many entries the walks of this process have reported as "<path>: <reason>" so far.
std::size_t walk_reports();

}  // namespace uq::cli
