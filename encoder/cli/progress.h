// The progress line of -v while standard error is a terminal: bytes done of the total, speed and
// time left, redrawn in place a few times a second once the work has taken a second. Messages
// printed meanwhile go through say(), which clears the line first so the two never mix.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace uq::suite {

class Progress {
 public:
  // Draws only when `enabled` (-v and a terminal on standard error).
  Progress(bool enabled, std::uint64_t total_bytes);
  ~Progress() { clear(); }

  void add_total(std::uint64_t bytes) { total_ += bytes; }
  // `bytes` more input were read.
  void advance(std::uint64_t bytes);
  // Takes the line off the terminal (until the next advance).
  void clear();

 private:
  void draw();

  bool enabled_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// Prints "quarvex: <text>" and a newline on standard error, after clearing the progress line.
void say(Progress& progress, const std::string& text);

// Prints `line` (a whole line, its newline included) on `stream`, after clearing the progress line.
void print_line(Progress& progress, std::FILE* stream, const std::string& line);

// "1.5 MiB", "820 KiB", "12 B": a byte count for people.
std::string human_bytes(std::uint64_t bytes);

}  // namespace uq::suite
