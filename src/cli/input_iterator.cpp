// Input enumeration: the arguments in order, directory arguments walked depth first.
#include "cli/input_iterator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/dir_listing.h"
#include "platform/paths.h"
#include "report/console.h"

namespace uq::cli {

namespace {

using platform::FileKind;
using platform::FileStatus;
using platform::kDirSeparator;
using platform::kMaxPathLength;

constexpr const char kTooDeep[] = "directory nesting too deep";
constexpr const char kDestination[] = "the destination directory; passed over";

std::size_t reports = 0;  // walks run on one thread at a time

void complain(const std::string& path, const char* text) {
  ++reports;
  report::print_message(stderr, "%s: %s\n", path.c_str(), text);
}

void complain(const std::string& path, int err) { complain(path, report::error_text(err)); }

}  // namespace

std::size_t walk_reports() { return reports; }

int list_directory(const std::string& path, DirNames& out) {
  platform::DirListing listing;
  if (int err = listing.open(path); err != 0) return err;
  out.device = listing.device();
  out.inode = listing.inode();
  std::string name;
  while (listing.next(name)) out.names.push_back(name);
  return listing.error();
}

DirectoryWalk::DirectoryWalk(std::string dir_path, DirNames root, ListDirectory list,
                             std::optional<DirIdentity> passed_over)
    : list_(std::move(list)), passed_over_(passed_over) {
  levels_.reserve(kMaxOpenListings);
  push(std::move(dir_path), std::move(root));
}

void DirectoryWalk::push(std::string dir_path, DirNames contents) {
  std::sort(contents.names.begin(), contents.names.end());  // std::string compares bytes
  levels_.push_back(Level{std::move(dir_path), std::move(contents), 0});
}

void DirectoryWalk::enter(const std::string& path, const FileStatus& status) {
  // A link back to a directory being listed would give the same tree again without end.
  for (const Level& level : levels_) {
    if (level.contents.device == status.device && level.contents.inode == status.inode) {
      complain(path, ELOOP);
      return;
    }
  }
  if (levels_.size() >= kMaxOpenListings) {
    complain(path, kTooDeep);
    return;
  }
  DirNames contents;
  if (int err = list_(path, contents); err != 0) {
    complain(path, err);
    return;
  }
  push(path, std::move(contents));
}

int DirectoryWalk::walk_step(std::string& path, FileStatus& status) {
  while (!levels_.empty()) {
    Level& top = levels_.back();
    if (top.next == top.contents.names.size()) {
      levels_.pop_back();
      continue;
    }
    const std::string& name = top.contents.names[top.next++];
    if (name == "." || name == "..") continue;
    std::string joined = top.dir_path + kDirSeparator + name;
    if (joined.size() > kMaxPathLength) {
      complain(joined, ENAMETOOLONG);
      continue;
    }
    FileStatus entry = platform::file_status(joined);
    if (!entry.ok) {
      complain(joined, entry.err);
      continue;
    }
    if (entry.kind == FileKind::directory && passed_over_ && passed_over_->device == entry.device &&
        passed_over_->inode == entry.inode) {
      complain(joined, kDestination);
      continue;
    }
    if (entry.kind == FileKind::directory) enter(joined, entry);
    path = std::move(joined);
    status = entry;
    return 0;
  }
  return -1;
}

InputIterator::InputIterator(std::vector<std::string> arguments, ListDirectory list)
    : arguments_(std::move(arguments)), list_(std::move(list)) {}

int InputIterator::next_input(std::string& path, FileStatus& status) {
  for (;;) {
    if (walk_) {
      if (walk_->walk_step(path, status) == 0) return 0;
      walk_.reset();
    }
    if (cursor_ == arguments_.size()) return -1;
    current_ = cursor_++;
    if (take_argument(path, status)) return 0;
  }
}

bool InputIterator::take_argument(std::string& path, FileStatus& status) {
  const std::string& argument = arguments_[current_];
  if (argument.size() > kMaxPathLength) {
    complain(argument, ENAMETOOLONG);
    return false;
  }
  // An empty argument fails here as a path that does not exist.
  FileStatus own = platform::file_status(argument);
  if (!own.ok) {
    complain(argument, own.err);
    return false;
  }
  if (own.kind == FileKind::directory) {
    DirNames contents;
    if (int err = list_(argument, contents); err != 0) {
      complain(argument, err);  // given, so that it is recreated, but not entered
    } else {
      std::string dir_path = argument;
      if (!dir_path.empty() && platform::is_dir_separator(dir_path.back())) dir_path.pop_back();
      walk_.emplace(std::move(dir_path), std::move(contents), list_, passed_over_);
    }
  }
  path = argument;  // as typed, a trailing separator included
  status = own;
  return true;
}

std::unique_ptr<InputIterator> open_input_iterator(const std::vector<std::string>& arguments,
                                                   ListDirectory list) {
  if (arguments.empty()) return nullptr;
  return std::make_unique<InputIterator>(arguments, std::move(list));
}

void close_input_iterator(std::unique_ptr<InputIterator>& iterator) { iterator.reset(); }

}  // namespace uq::cli
