// The output writer: writes every decoded block at its own offset and closes each output once
// the file decoder is done with it and every job queued for it has been taken.
#pragma once

#include <array>
#include <cstdint>

#include "pipeline/queues.h"

namespace uq::pipeline {

// Outputs that may be partly written at one time. Files leave the table as soon as their last
// queued job is taken, so with at most about 3 x 16 + 2 blocks in flight it never fills.
inline constexpr int kWriterFileSlots = 256;

class OutputWriter {
 public:
  explicit OutputWriter(OutputTracker& tracker) : tracker_(tracker) {}
  // Closes and releases any output still held (none after a complete run).
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Takes one write job; gives false for the stop write job. After the first failed write or
  // close (reported once as error 102, with the stop flag raised) nothing more is written, but
  // jobs are still counted, buffers released and files closed.
  bool take(const WriteJob& job);

  int open_files() const;
  bool failed() const { return failed_; }

 private:
  struct Entry {
    platform::OutputFile* file = nullptr;  // null: a free entry
    std::uint64_t taken = 0;               // block and dropped jobs taken for it
    std::uint64_t expected = 0;            // jobs the file decoder queued, once it has said
    bool ended = false;                    // the file_end notice has come
  };

  Entry& entry_for(platform::OutputFile* file);
  void close_if_complete(Entry& entry);
  void fail(int err);

  OutputTracker& tracker_;
  std::array<Entry, kWriterFileSlots> table_{};
  bool failed_ = false;
};

// Thread entry of the output writer: takes write jobs from `queue` until the stop write job.
void run_output_writer(WriteQueue& queue);

}  // namespace uq::pipeline
