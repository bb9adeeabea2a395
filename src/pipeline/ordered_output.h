// An output that puts a file's blocks out in index order, for a stream that can only be appended
// to (a pipe, standard output). Blocks that are restored before their turn wait in a reorder
// window; their memory counts against the run's budget from the moment their bytes are read
// until they go out. The file decoder asks before it reads each block (admit), and is held back
// when the window is full, or told to stop when waiting could never end: the next block to go
// out can't come any more, or the budget is taken up by blocks that all wait for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline/memory_budget.h"
#include "pipeline/output.h"

namespace uq::pipeline {

class OrderedOutput final : public Output {
 public:
  // Takes the next block in order: gives 0, or the errno of a failed write.
  using Sink = std::function<int(const std::uint8_t* data, std::size_t len)>;

  struct Settings {
    MemoryBudget* budget = nullptr;  // counts the window's blocks; not null
    // Most blocks read while the next one to go out is on its way: enough to keep every worker
    // busy, few enough that a slow block can't make the others pile up.
    int lookahead = 8;
    // How far from its own place a record may carry a block: once the records have gone that far
    // past the next block without it, it can't come any more.
    std::int64_t reach = 127;
    // The records come sorted by index (read first from a file): a gap is a missing block.
    bool index_order = false;
  };

  // What became of the stream; written when the output finishes, read by its maker after the run.
  struct Outcome {
    std::int64_t blocks_out = 0;   // blocks 0 .. blocks_out - 1 went out whole
    std::uint64_t bytes_out = 0;
    std::int64_t lost = -1;        // the lowest block that failed (damaged, cut short, no memory), or -1
    bool missing = false;          // block blocks_out can't come: no record of it where one could be
    bool window_full = false;      // the budget can't hold the blocks read before block blocks_out
    bool write_failed = false;     // the sink failed, with write_err
    int write_err = 0;
    std::uint64_t past_end = 0;    // records of a block past the last one
  };

  OrderedOutput(std::string path, std::int64_t block_count, report::Reporter& reporter, Sink sink,
                const Settings& settings, Outcome& outcome);
  ~OrderedOutput() override;

  Admission admit(std::int64_t record, std::int64_t index, std::uint64_t bytes, std::uint64_t largest) override;
  void dropped(std::int64_t index) override;
  bool reads_past_damage() const override { return true; }

 private:
  struct Pending {
    std::uint64_t bytes = 0;          // counted in the budget until the block goes out
    bool arrived = false;             // restored; waits in `held` unless it is going out now
    std::vector<std::uint8_t> held;
  };

  int store(std::int64_t index, std::uint64_t offset, const std::uint8_t* data, std::size_t len) override;
  int close_target() override { return 0; }
  void finished() override;

  // With the lock held: the window stops for good (a failed write, a block that can't come, a
  // budget that can't hold the window).
  void stop_stream();
  // With the lock held: whether some block below the lowest lost one has not been admitted yet.
  bool wants_blocks_below_loss() const;
  // Writes block next_ and then every held block that follows it; gives 0 or the errno.
  int put_out(const std::uint8_t* data, std::size_t len);
  // With the lock held: block `index` is done with; its memory goes back to the budget.
  void forget(std::map<std::int64_t, Pending>::iterator it);

  Sink sink_;
  const Settings settings_;
  Outcome& outcome_;
  const std::int64_t block_count_;

  std::mutex mutex_;
  std::condition_variable changed_;  // a block went out, arrived, failed; or the stream stopped
  std::map<std::int64_t, Pending> pending_;  // admitted and not yet out, by index
  std::int64_t next_ = 0;        // the next block to go out
  std::int64_t in_pipeline_ = 0;  // admitted blocks that have not arrived (nor been dropped)
  std::int64_t lost_ = -1;        // the lowest block that failed, or -1
  bool stopped_ = false;
};

}  // namespace uq::pipeline
