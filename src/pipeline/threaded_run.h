// Start and end of a run: the decode workers and the output writer around the two queues, the
// hand-over of finished outputs, and the fatal exit that lets queued blocks reach their files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pipeline/output.h"
#include "pipeline/queues.h"
#include "pipeline/run_settings.h"
#include "pipeline/threads.h"

namespace uq::pipeline {

class ThreadedRun {
 public:
  ThreadedRun(DecodeQueue& decode_queue, WriteQueue& write_queue)
      : decode_queue_(decode_queue), write_queue_(write_queue) {}
  // Ends the run if it is still going (an exception on its way out, say).
  ~ThreadedRun();
  ThreadedRun(const ThreadedRun&) = delete;
  ThreadedRun& operator=(const ThreadedRun&) = delete;

  // Starts thread_count decode workers, then the output writer, printing "Error thread_create."
  // for each that fails. When no worker starts, the writer isn't started and the run goes on
  // without workers. Gives false when the writer can't be started (the workers are stopped
  // again); the caller ends the process. Nothing happens when thread_count is 0.
  bool start();

  // Stop decode jobs, one per started worker; joins; the stop write job; join. Every block queued
  // before is written and every output closed. Does nothing the second time.
  void finish();

 private:
  void stop_workers();

  DecodeQueue& decode_queue_;
  WriteQueue& write_queue_;
  std::array<ThreadHandle, kMaxWorkers> workers_{};
  ThreadHandle writer_;
  bool running_ = false;
};

// Runs `work` (which queues blocks on the decode queue it is given) in a threaded run of its
// own with `threads` workers (0: none; the work then decodes on this thread) whose blocks stay
// within `memory_limit` bytes, and ends the run, every block written, before it returns. For
// restores and checks in process: nothing of an earlier run carries over.
void run_in_process(int threads, std::uint64_t memory_limit, const std::function<void(DecodeQueue&)>& work);

// The file decoder is done with `output`, for which it queued `queued` decode jobs (at least
// 1): the output writer ends and releases it once it has taken that many jobs for it. `source`
// names the input its pending copies read, or is empty.
void hand_over_output(DecodeQueue& queue, std::unique_ptr<Output> output, std::uint64_t queued,
                      const std::string& source = {}) noexcept;

// Before the output `name` is created in a threaded run: waits until an output handed over
// earlier that is the same file, or still copies blocks from it, has been written and closed, so
// that the later input wins exactly as in the run without workers, and no pending copy reads a
// file that has been truncated.
void wait_for_same_output(DecodeQueue& queue, const std::string& name);

// When a file can't be opened for want of descriptors (EMFILE, ENFILE) while the output writer
// still holds outputs: waits until one of them is closed and gives true, so that the open can be
// tried again. Gives false for any other error, or when nothing is held.
bool wait_for_a_descriptor(DecodeQueue& queue, int err);

// Ends the process with `status` after a fatal condition (an output or directory that can't be
// made); prints nothing itself. Called on the thread that started the run, it first ends the
// threaded run, so every block already queued is written and every output closed.
[[noreturn]] void fatal_exit(int status);

}  // namespace uq::pipeline
