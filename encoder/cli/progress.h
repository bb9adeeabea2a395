// The progress line of -v while standard error is a terminal: bytes done of the total, speed and
// time left, redrawn in place a few times a second once the work has taken a second. Messages
// printed meanwhile go through print(), which clears the line first so the two never mix. Files
// compressed at once advance it from several threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace uq::suite {

class Progress {
 public:
  // Draws only when `enabled` (-v and a terminal on standard error).
  Progress(bool enabled, std::uint64_t total_bytes);
  ~Progress() { clear(); }

  // Whether the line is drawn at all.
  bool enabled() const { return enabled_; }
  void add_total(std::uint64_t bytes);
  // `bytes` more input were read.
  void advance(std::uint64_t bytes);
  // Takes the line off the terminal (until the next advance).
  void clear();
  // Prints `line` (a whole line, its newline included) on `stream`, the progress line cleared.
  void print(std::FILE* stream, const std::string& line);
  // Whether a line or the progress could not be written (a closed pipe, a full disk): what the
  // user asked to see was lost, and the run must not end as a success.
  bool output_failed();

 private:
  void draw();
  void clear_locked();
  void put(std::FILE* stream, const char* text);

  std::mutex mutex_;
  bool enabled_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool shown_ = false;
  bool failed_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// Prints "quarvex: <text>" and a newline on standard error, after clearing the progress line.
void say(Progress& progress, const std::string& text);

// "1.5 MiB", "820 KiB", "12 B": a byte count for people.
std::string human_bytes(std::uint64_t bytes);

}  // namespace uq::suite
