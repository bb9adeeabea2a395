// Starting and joining the threads of a threaded run, with a seam that lets tests make a start
// fail.
#pragma once

#include <functional>
#include <optional>
#include <thread>

namespace uq::pipeline {

// A thread that was started, or none when it could not be.
using ThreadHandle = std::optional<std::thread>;

// Starts `entry` on a new thread with default attributes. Gives none when the thread can't be
// started (the system refused it, or the test hook said so).
ThreadHandle thread_create(std::function<void()> entry);

// Waits until the thread has ended and lets its handle go; a handle of none returns at once.
void thread_join(ThreadHandle& handle);

// Consulted before every start with its 0-based number, counted from the last call of
// set_thread_create_hook; true makes that start fail. Tests only: the program never sets it.
// Gives the previous hook.
using ThreadCreateHook = bool (*)(int attempt);
ThreadCreateHook set_thread_create_hook(ThreadCreateHook hook);

}  // namespace uq::pipeline
