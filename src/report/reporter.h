// What can go wrong while one compressed file is restored, told to whoever watches the run. The
// restore tool prints each event as its fixed message (ConsoleReporter); a check of an archive
// collects them instead, so one decoder serves both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace uq::report {

// Block index of an event that concerns no particular block.
inline constexpr std::int64_t kNoBlock = -1;

class Reporter {
 public:
  virtual ~Reporter() = default;

  // The input can't be opened.
  virtual void cannot_open(const std::string& input, int err) = 0;
  // The header is cut short, or a read fails (between records too). Gives -103.
  virtual int read_failed(int err) = 0;
  // The bytes of block `block` are cut short: `got` of `comp_len` came. Gives -103.
  virtual int data_short(std::int64_t block, int err, std::uint32_t comp_len, std::size_t got) = 0;
  // The header is not a quarvex header. Gives -104.
  virtual int not_qvx(const std::string& input) = 0;
  // A damaged record or header: `what` says how, for reporters that keep reasons. Gives -105.
  virtual int corrupt(std::int64_t block, const char* what) = 0;
  // A block's coded stream is damaged: its method gave `result` instead of `expected`
  // bytes. Gives -105.
  virtual int block_damaged(const std::string& output, std::int64_t block, int result,
                            int expected) = 0;
  // A method gave a non-negative length other than the block's; the block is still written.
  virtual void block_length_differs(const std::string& output, int result, int expected) = 0;
  // Memory for a block could not be had. Gives -100.
  virtual int no_memory() = 0;
  // A write or close of an output failed. Gives -102.
  virtual int write_failed(int err) = 0;
  // An output was left with `missing` of its `total` blocks unwritten, by a failure of its own or
  // because the run stopped while its records were still being read.
  virtual void incomplete(const std::string& output, std::uint64_t missing,
                          std::uint64_t total) = 0;
};

// The restore tool's messages, each one whole line written once, so that the lines of different
// threads never interleave.
class ConsoleReporter final : public Reporter {
 public:
  void cannot_open(const std::string& input, int err) override;
  int read_failed(int err) override;
  int data_short(std::int64_t block, int err, std::uint32_t comp_len, std::size_t got) override;
  int not_qvx(const std::string& input) override;
  int corrupt(std::int64_t block, const char* what) override;
  int block_damaged(const std::string& output, std::int64_t block, int result,
                    int expected) override;
  void block_length_differs(const std::string& output, int result, int expected) override;
  int no_memory() override;
  int write_failed(int err) override;
  void incomplete(const std::string& output, std::uint64_t missing, std::uint64_t total) override;
};

// The one console reporter of the process.
Reporter& console_reporter();

}  // namespace uq::report
