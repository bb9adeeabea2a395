// The output writer: writes every decoded block the workers did not put themselves at its own
// offset, and closes each output once the file decoder is done with it and every job queued for
// it has been taken.
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
  // `budget` gets back the bytes of every block taken; null when nothing was counted.
  explicit OutputWriter(OutputTracker& tracker, MemoryBudget* budget = nullptr)
      : tracker_(tracker), budget_(budget) {}
  // Ends and releases any output still held (none after a complete run).
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Takes one write job; gives false for the stop write job. A failed write or close is its
  // output's alone: that output reports it once and drops its remaining blocks, the others go on
  // being written. Every such failure raises the stop flag, so that no new input is started. A
  // copy that can't read its input is that file's read error alone: the run goes on.
  bool take(const WriteJob& job);

  int open_files() const;

 private:
  struct Entry {
    Output* output = nullptr;    // null: a free entry
    std::uint64_t taken = 0;     // block and dropped jobs taken for it
    std::uint64_t expected = 0;  // jobs the file decoder queued, once it has said
    bool ended = false;          // the file_end notice has come
  };

  Entry& entry_for(Output* output);
  void close_if_complete(Entry& entry);

  OutputTracker& tracker_;
  MemoryBudget* budget_;
  std::array<Entry, kWriterFileSlots> table_{};
};

// Thread entry of the output writer: takes write jobs from `queue` until the stop write job.
void run_output_writer(WriteQueue& queue);

}  // namespace uq::pipeline
