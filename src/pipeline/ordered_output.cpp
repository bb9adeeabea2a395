// The reorder window: admitted blocks by index, each with the budget bytes it holds; the block
// whose turn it is goes to the sink as it arrives, outside the lock, followed by every held block
// that is next in turn.
#include "pipeline/ordered_output.h"

#include <algorithm>
#include <new>

namespace uq::pipeline {

OrderedOutput::OrderedOutput(std::string path, std::int64_t block_count, report::Reporter& reporter, Sink sink,
                             const Settings& settings, Outcome& outcome)
    : Output(std::move(path), block_count, reporter),
      sink_(std::move(sink)),
      settings_(settings),
      outcome_(outcome),
      block_count_(block_count) {}

OrderedOutput::~OrderedOutput() { finish_if_needed(); }

Output::Admission OrderedOutput::admit(std::int64_t record, std::int64_t index, std::uint64_t bytes,
                                       std::uint64_t largest) {
  std::unique_lock lock(mutex_);
  if (stopped_) return Admission::stop;
  // A record that names no block of the file brings nothing to put out.
  if (index >= block_count_) {
    ++outcome_.past_end;
    return Admission::skip;
  }
  const bool next_read = pending_.count(next_) != 0;
  const bool next_wanted = lost_ < 0 || next_ < lost_;
  if (!next_read && next_wanted &&
      (settings_.index_order ? index > next_ : record > next_ + settings_.reach)) {
    outcome_.missing = true;
    stop_stream();
    return Admission::stop;
  }
  // Nothing at or after a lost block can go out: only the blocks before it are still of use.
  if (lost_ >= 0 && index >= lost_) return wants_blocks_below_loss() ? Admission::skip : Admission::stop;

  for (;;) {
    if (stopped_) return Admission::stop;
    const bool awaited_read = pending_.count(next_) != 0;
    if (awaited_read && static_cast<std::int64_t>(pending_.size()) >= settings_.lookahead) {
      changed_.wait(lock);
      continue;
    }
    // Any other block leaves room for the largest, so that the next block to go out always fits
    // once the blocks ahead of it have gone: the window can't fill with blocks that wait for it.
    const std::uint64_t keep_free = index == next_ ? 0 : largest;
    if (settings_.budget->try_acquire(bytes, keep_free)) {
      pending_.emplace(index, Pending{bytes, false, {}});
      ++in_pipeline_;
      return Admission::counted;
    }
    // Everything counted waits for a block not yet read, and nothing on its way can free room.
    if (!awaited_read && in_pipeline_ == 0) {
      outcome_.window_full = true;
      stop_stream();
      return Admission::stop;
    }
    changed_.wait(lock);
  }
}

void OrderedOutput::dropped(std::int64_t index) {
  std::lock_guard lock(mutex_);
  const auto it = pending_.find(index);
  if (it == pending_.end()) return;
  --in_pipeline_;
  forget(it);
  if (lost_ < 0 || index < lost_) {
    lost_ = index;
    // Blocks held past the loss will never go out.
    for (auto at = pending_.lower_bound(index); at != pending_.end();) {
      const auto held = at++;
      if (held->second.arrived) forget(held);
    }
  }
  changed_.notify_all();
}

int OrderedOutput::store(std::int64_t index, std::uint64_t, const std::uint8_t* data, std::size_t len) {
  {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(index);
    if (it == pending_.end()) return 0;  // never admitted, so never counted: nothing to put out
    --in_pipeline_;
    if (stopped_ || (lost_ >= 0 && index >= lost_)) {
      forget(it);
      changed_.notify_all();
      return 0;
    }
    it->second.arrived = true;
    if (index != next_) {
      try {
        it->second.held.assign(data, data + len);
      } catch (const std::bad_alloc&) {
        it->second.arrived = false;
        forget(it);
        lost_ = lost_ < 0 ? index : std::min(lost_, index);
        changed_.notify_all();
        reporter().no_memory();
        return 0;
      }
      changed_.notify_all();
      return 0;
    }
  }
  return put_out(data, len);
}

int OrderedOutput::put_out(const std::uint8_t* data, std::size_t len) {
  std::vector<std::uint8_t> held;
  for (;;) {
    // Only this thread puts blocks out, so block next_ stays in place while it is written.
    const int err = sink_(data, len);
    std::lock_guard lock(mutex_);
    if (err != 0) {
      outcome_.write_failed = true;
      outcome_.write_err = err;
      stop_stream();
      return err;
    }
    forget(pending_.find(next_));
    ++next_;
    outcome_.bytes_out += len;
    changed_.notify_all();
    const auto it = pending_.find(next_);
    if (stopped_ || it == pending_.end() || !it->second.arrived) return 0;
    held = std::move(it->second.held);
    data = held.data();
    len = held.size();
  }
}

bool OrderedOutput::wants_blocks_below_loss() const {
  std::int64_t admitted = 0;
  for (auto it = pending_.lower_bound(next_); it != pending_.end() && it->first < lost_; ++it) ++admitted;
  return next_ + admitted < lost_;
}

void OrderedOutput::forget(std::map<std::int64_t, Pending>::iterator it) {
  settings_.budget->release(it->second.bytes);
  pending_.erase(it);
}

void OrderedOutput::stop_stream() {
  stopped_ = true;
  changed_.notify_all();
}

void OrderedOutput::finished() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  while (!pending_.empty()) forget(pending_.begin());
  outcome_.blocks_out = next_;
  outcome_.lost = lost_;
}

}  // namespace uq::pipeline
