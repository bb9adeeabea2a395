// Threads over std::thread: a start that fails is a handle of none, not an exception.
#include "pipeline/threads.h"

#include <atomic>
#include <exception>

namespace uq::pipeline {

namespace {

std::atomic<ThreadCreateHook> create_hook{nullptr};
std::atomic<int> create_attempts{0};

}  // namespace

ThreadHandle thread_create(std::function<void()> entry) {
  const int attempt = create_attempts.fetch_add(1);
  if (ThreadCreateHook hook = create_hook.load(); hook != nullptr && hook(attempt)) return std::nullopt;
  try {
    return ThreadHandle(std::in_place, std::move(entry));
  } catch (const std::exception&) {
    // std::system_error when the system refuses a thread, bad_alloc for its start record.
    return std::nullopt;
  }
}

void thread_join(ThreadHandle& handle) {
  if (handle && handle->joinable()) handle->join();
  handle.reset();
}

ThreadCreateHook set_thread_create_hook(ThreadCreateHook hook) {
  create_attempts.store(0);
  return create_hook.exchange(hook);
}

}  // namespace uq::pipeline
