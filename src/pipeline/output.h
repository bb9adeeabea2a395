// Where the restored blocks of one compressed file go. Each output keeps its own account: a
// failed write is that output's failure alone (reported once, its later blocks dropped); a copy
// that can't read its input is a read error of that file alone (reported once, its other blocks
// still written); and an output left short by either, by a lack of memory, or by a run that
// stopped while its records were still being read, is named when it ends, so nothing is ever left
// short without a line that says so. (A damaged block is named by its own message.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "report/reporter.h"

namespace uq::platform {
class OutputFile;
}

namespace uq::pipeline {

class Output {
 public:
  // `block_count` is the file's block count N (blocks 0 to N - 1 make it whole).
  Output(std::string path, std::int64_t block_count, report::Reporter& reporter)
      : path_(std::move(path)), block_count_(block_count), reporter_(reporter) {}
  virtual ~Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // The name in messages.
  const std::string& path() const { return path_; }
  report::Reporter& reporter() const { return reporter_; }

  // Puts block `index` (`len` bytes, starting at byte `offset` of the restored file). Gives false
  // when the output has failed, now or earlier: the block is dropped. The first failure is
  // reported once.
  bool put(std::int64_t index, std::uint64_t offset, const std::uint8_t* data, std::size_t len);

  // Whether put() may be called for any block at any time, from any thread, while other blocks
  // are being put or copied: the worker that restored a block can then put it itself.
  virtual bool puts_in_any_order() const { return false; }

  // Whether stored blocks may reach this output as copies from the input file (copy()), so that
  // their bytes never pass through the program.
  virtual bool takes_copies() const { return false; }
  // The input file that copies come from, a descriptor the output closes when it ends.
  void adopt_source(int fd) { source_fd_ = fd; }
  bool has_source() const { return source_fd_ >= 0; }
  // Puts block `index` as a copy of `len` bytes at `source_offset` of the input. Like put(), but
  // an input that fails or ends before `len` bytes (cut short or failing after its records were
  // read) is the file's read error, reported once as a block cut short: the block is lost, the
  // output has not failed, and its other blocks are still put.
  bool copy(std::int64_t index, std::uint64_t offset, std::uint64_t source_offset, std::size_t len);

  // Asked by the file decoder before the bytes of block `index`, the record at place `record` of
  // the file, are read. `bytes` is the memory the block takes on its way, `largest` what any
  // block of the file may take. An output that puts its blocks in order waits here for room.
  enum class Admission {
    uncounted,  // go on; the run's memory budget counts the block as usual
    counted,    // go on; the output has counted the block in the budget itself
    skip,       // pass over the block's bytes: the output has no use for them
    stop,       // read no more of this file
  };
  virtual Admission admit(std::int64_t record, std::int64_t index, std::uint64_t bytes, std::uint64_t largest);
  // Block `index`, once admitted, will not come: it failed to decode, its bytes were cut short,
  // or memory for it could not be had.
  virtual void dropped(std::int64_t) {}
  // Whether the file decoder without workers goes on past a damaged block, as a run with workers
  // does, instead of stopping at it as the restore tool does.
  virtual bool reads_past_damage() const { return false; }

  // The file decoder stopped reading this output's records because the run is stopping.
  void cut_short() { cut_short_ = true; }
  // A block of this output was lost for want of memory (reported, but not naming the output).
  void lost_block() { lost_ = true; }

  // Ends the output: closes what it writes to (a failed close is its failure) and names it when
  // its own failure or a cut-short read left blocks of it unwritten. Gives false when the output
  // failed. Called once; the destructor calls it when nobody did.
  bool finish();

  // A write or close failed.
  bool failed() const {
    std::lock_guard lock(put_mutex_);
    return failed_;
  }
  // A copy could not read its input.
  bool failed_reading() const { return failed_reading_; }
  std::uint64_t blocks_put() const { return blocks_put_; }

 protected:
  // Stores `len` bytes at `offset`; gives 0 or the errno of the failure.
  virtual int store(std::int64_t index, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t len) = 0;
  // Copies `len` bytes at `source_offset` of `source` to `offset` (outputs that take copies).
  struct CopyResult {
    int err = 0;
    bool reading = false;    // the input failed, not the output
    std::size_t copied = 0;  // bytes copied before the input failed
  };
  virtual CopyResult copy_in(int source, std::uint64_t source_offset, std::uint64_t offset, std::size_t len);
  // Closes what the output writes to; gives 0 or the errno of the failure.
  virtual int close_target() = 0;
  // Called once by finish(), after the close.
  virtual void finished() {}

  // Destructors of derived outputs call this, while their target still exists.
  void finish_if_needed() {
    if (!finished_) finish();
  }
  // An output that never came to be (its file could not be created) ends without a word.
  void finished_quietly() { finished_ = true; }

 private:
  void fail(int err);
  void counted(std::int64_t index);

  const std::string path_;
  const std::int64_t block_count_;
  // Held by put() and copy(): blocks of one output may be put from several threads.
  mutable std::mutex put_mutex_;
  report::Reporter& reporter_;
  std::uint64_t blocks_put_ = 0;  // blocks 0..N-1 stored
  bool failed_ = false;
  bool cut_short_ = false;
  bool lost_ = false;
  bool failed_reading_ = false;
  bool finished_ = false;
  int source_fd_ = -1;
};

// Called before each copy of a stored block from its input, with the output's name. Tests set
// it to change the input under a pending copy (an input cut short or failing after its records
// were read can't be had on demand); the program never does. Gives the previous hook; null
// removes it.
using CopyHook = void (*)(const std::string& output);
CopyHook set_copy_hook(CopyHook hook);

// An output that is a restored file on disk, created (or truncated) when made. In a regular file
// a block of zeros is left as a hole: the file is fresh, so its unwritten bytes read as zeros.
class FileOutput final : public Output {
 public:
  // Gives null, with the errno in `err`, when the file can't be created. A lack of memory throws
  // std::bad_alloc before the file is touched.
  static std::unique_ptr<FileOutput> create(const std::string& path, std::int64_t block_count,
                                            report::Reporter& reporter, int& err);
  ~FileOutput() override;

 private:
  FileOutput(const std::string& path, std::int64_t block_count, report::Reporter& reporter);
  int store(std::int64_t index, std::uint64_t offset, const std::uint8_t* data,
            std::size_t len) override;
  bool takes_copies() const override { return true; }
  bool puts_in_any_order() const override { return true; }
  CopyResult copy_in(int source, std::uint64_t source_offset, std::uint64_t offset, std::size_t len) override;
  int close_target() override;

  std::unique_ptr<platform::OutputFile> file_;
  std::uint64_t hole_end_ = 0;  // the furthest end of a hole left
};

}  // namespace uq::pipeline
