// Start and end of a threaded run, in a fixed order: workers, then the writer; at the end stop
// decode jobs, worker joins, the stop write job, the writer's join.
#include "pipeline/threaded_run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "pipeline/decode_worker.h"
#include "pipeline/output_writer.h"
#include "pipeline/run_settings.h"
#include "platform/system.h"
#include "report/console.h"
#include "report/report.h"

namespace uq::pipeline {

namespace {

// The run that fatal_exit must end first, and the thread that may end it (the one that pushes
// to its decode queue).
std::atomic<ThreadedRun*> active_run{nullptr};
std::atomic<std::thread::id> active_owner{};

void print_create_error() { report::print_message(stdout, "Error thread_create.\n"); }

}  // namespace

ThreadedRun::~ThreadedRun() { finish(); }

bool ThreadedRun::start() {
  run_has_workers = false;
  if (thread_count <= 0) return true;
  const int workers = thread_count < kMaxWorkers ? thread_count : kMaxWorkers;

  decode_queue_.slots.set_limit(std::min(workers, platform::processor_count()));
  // While every processor decodes, the writer can only take time from a worker, and the block
  // it holds is a third 16 MiB buffer at -p2: workers that put their own blocks took 0.95 of
  // the wall time on the corpus and on the Linux tarball. With one decoder the writer overlaps
  // its writes with the decoding on a processor that is otherwise idle.
  decode_queue_.workers_put = decode_queue_.slots.limit() > 1;
  report::live_workers.store(workers);
  for (int i = 0; i < workers; ++i) {
    workers_[i] = thread_create([queue = &decode_queue_] { run_decode_worker(*queue); });
    if (!workers_[i]) {
      print_create_error();
      report::live_workers.fetch_sub(1);
    }
  }
  if (report::live_workers.load() == 0) return true;  // decoded here, as with -p0

  writer_ = thread_create([queue = &write_queue_] { run_output_writer(*queue); });
  if (!writer_) {
    print_create_error();
    stop_workers();
    return false;
  }
  running_ = true;
  run_has_workers = true;
  active_owner.store(std::this_thread::get_id());
  active_run.store(this);
  return true;
}

void ThreadedRun::stop_workers() {
  // Each worker ends on the first stop job it takes, after every job queued before it. The count
  // is read before each push, though workers no longer end early and lower it.
  for (int pushed = 0; pushed < report::live_workers.load(); ++pushed) decode_queue_.push(stop_decode_job());
  for (ThreadHandle& worker : workers_) thread_join(worker);
}

void ThreadedRun::finish() {
  if (!running_) return;
  running_ = false;
  active_run.store(nullptr);
  stop_workers();
  // Every worker has ended, so every write job is already ahead of this one.
  write_queue_.push(stop_write_job());
  thread_join(writer_);
  run_has_workers = false;
}

void hand_over_output(DecodeQueue& queue, std::unique_ptr<Output> output, std::uint64_t queued,
                      const std::string& source) noexcept {
  WriteQueue& writer_queue = *queue.downstream;
  // Recorded before the writer can see the notice, so its close is never missed.
  writer_queue.outputs.handed_over(output.get(), output->path(), source);
  WriteJob notice;
  notice.kind = WriteKind::file_end;
  notice.queued_jobs = queued;
  notice.output = output.release();
  writer_queue.push(notice);
}

void wait_for_same_output(DecodeQueue& queue, const std::string& name) {
  queue.downstream->outputs.wait_until_closed(name);
}

void run_in_process(int threads, std::uint64_t memory_limit, const std::function<void(DecodeQueue&)>& work) {
  report::stop_flag.store(0);
  report::live_workers.store(0);
  thread_count = threads < 0 ? 0 : std::min(threads, kMaxWorkers);
  {
    WriteQueue write_queue(thread_count);
    write_queue.budget.set_limit(memory_limit);
    DecodeQueue decode_queue(thread_count, &write_queue);
    ThreadedRun run(decode_queue, write_queue);
    run.start();  // when no thread starts, the work decodes on this thread
    work(decode_queue);
    run.finish();
  }
  thread_count = 0;
}

bool wait_for_a_descriptor(DecodeQueue& queue, int err) {
  if (err != EMFILE && err != ENFILE) return false;
  return run_has_workers && queue.downstream->outputs.wait_for_a_close();
}

void fatal_exit(int status) {
  ThreadedRun* run = active_run.load();
  if (run != nullptr && active_owner.load() == std::this_thread::get_id()) run->finish();
  platform::exit_now(status);
}

}  // namespace uq::pipeline
