// The outputs handed to the output writer and not yet closed, so that the file decoder can wait
// for an earlier output of the run before it creates (and so truncates) the same file again, or
// the input that an earlier output still copies stored blocks from.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace uq::pipeline {

class Output;

class OutputTracker {
 public:
  // The file decoder hands `file`, whose name is `path`, to the writer (called before the
  // writer can see the hand-over, so a close is never missed); `source` names the input that its
  // pending copies read, or is empty.
  void handed_over(const Output* file, const std::string& path, const std::string& source = {}) noexcept;

  // The writer has closed `file`; it may be released right after.
  void closed(const Output* file);

  // Blocks while an output handed over earlier is the file that `path` names, or copies blocks
  // from it (the same device and inode, so another spelling, a symbolic link or a case-folding
  // file system all count).
  void wait_until_closed(const std::string& path);

  // Waits until one more output handed over earlier has been closed, which frees its descriptor.
  // Gives false at once when none is pending.
  bool wait_for_a_close();

  // Outputs handed over and not yet closed.
  int pending() const;
  // Threads in one of the waits above now.
  int waiting() const;

 private:
  // A file by device and inode.
  struct Identity {
    bool known = false;  // it could be read
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool is(const Identity& other) const {
      return known && other.known && device == other.device && inode == other.inode;
    }
  };
  struct Pending {
    const Output* file;
    Identity output;
    Identity source;  // the input its copies read
  };

  static Identity identity_of(const std::string& path);

  bool is_pending(const Identity& file) const;

  mutable std::mutex mutex_;
  std::condition_variable closed_signal_;
  std::vector<Pending> pending_;  // a handful: only outputs with blocks still in flight
  std::uint64_t closes_ = 0;      // outputs closed so far
  int waiting_ = 0;
};

}  // namespace uq::pipeline
