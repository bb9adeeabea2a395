// Where an archive (or a restored file) is written: a temporary file in its own directory,
// renamed onto the final name only once it is complete. What was at the final name is never
// truncated, written through or removed: without --force it is kept and the output fails; with
// --force a regular file, or a symbolic link to one or to nothing, is replaced by the rename, and
// anything else (a device node, a directory, a FIFO, a link to one of them) is refused. On any
// failure only the temporary file goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_status.h"

namespace uq::suite {

class SafeOutput {
 public:
  SafeOutput() = default;
  ~SafeOutput() { discard(); }
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  // Checks what is at `final_path` (and that it is not the input `input`, when given and known),
  // then creates the temporary file beside it. False with a message in *error when the archive
  // can't be written there.
  bool open(const std::string& final_path, bool force, const platform::FileStatus* input, std::string* error);
  bool open(const std::string& final_path, bool force, const platform::FileStatus& input, std::string* error) {
    return open(final_path, force, &input, error);
  }

  // Appends bytes (buffered); false on a failed write, with errno set.
  bool write(const std::uint8_t* data, std::size_t len);
  // Writes `len` bytes over the start of the file, after what is buffered; false on failure.
  bool rewrite_start(const std::uint8_t* data, std::size_t len);

  // Writes `len` bytes at `offset`, unbuffered (blocks restored in any order). Gives 0 or errno.
  int write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t len);
  // Makes the file at least `size` bytes long, the bytes added reading as zeros. Gives 0 or errno.
  int extend_to(std::uint64_t size);

  // Gives the file `mode`'s permission bits and the access and modification times `times` (the
  // two in that order; null: now), then renames it onto the final path. False with a message in
  // *error; the temporary file is then removed.
  bool commit(std::uint32_t mode, const platform::FileTime* times, std::string* error);
  // The same with the permission bits and times of `attributes`. A `durable` file (whose source is
  // removed next) is flushed to the disk before the rename, and its directory after it.
  bool commit(const platform::FileStatus& attributes, bool durable, std::string* error);

  // Makes commit() put the archive on the disk, its name included, whatever it replaces: the
  // input is about to be removed.
  void make_durable() { durable_ = true; }

  // Removes the temporary file when it is still there.
  void discard();

  const std::string& final_path() const { return final_; }
  // The temporary file while there is one: ".NAME.XXXXXX" beside the final name, or
  // ".quarvex.XXXXXX" when NAME is too long for that.
  const std::string& temporary_path() const { return temp_; }

 private:
  bool write_all(const std::uint8_t* data, std::size_t len);
  bool flush();
  bool install(std::string* error);
  void renamed();  // the temporary file is the archive now

  std::string final_;
  std::string temp_;
  int fd_ = -1;
  bool replaces_ = false;  // something that --force replaces is at the final path
  bool durable_ = false;   // flushed to the disk before the rename, its directory after
  bool force_ = false;
  int slot_ = -1;  // where the signal handler finds the temporary file
  std::vector<std::uint8_t> buffer_;
};

// Removes the temporary file of the archive in progress when the user interrupts the process
// (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C, Ctrl-Break or the console's close). Call once,
// before the first archive.
void remove_temporary_files_on_signals();

}  // namespace uq::suite
