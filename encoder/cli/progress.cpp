// The progress line: "\r" and the text, cleared with an erase-line sequence, drawn at most four
// times a second so that it costs nothing next to the compression.
#include "progress.h"

#include <cstdio>

namespace uq::suite {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstDraw = std::chrono::seconds(1);  // short work shows no progress at all
constexpr auto kRedraw = std::chrono::milliseconds(250);

std::string clock_text(double seconds) {
  const auto s = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
  }
  return text;
}

}  // namespace

std::string human_bytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 5) {
    v /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else {
    std::snprintf(text, sizeof text, v < 10 ? "%.1f %s" : "%.0f %s", v, kUnits[unit]);
  }
  return text;
}

Progress::Progress(bool enabled, std::uint64_t total_bytes)
    : enabled_(enabled), total_(total_bytes), start_(Clock::now()), last_draw_(start_) {}

void Progress::add_total(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  total_ += bytes;
}

void Progress::advance(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  done_ += bytes;
  if (!enabled_) return;
  const auto now = Clock::now();
  if (now - start_ < kFirstDraw || (shown_ && now - last_draw_ < kRedraw)) return;
  last_draw_ = now;
  draw();
}

void Progress::draw() {
  const double seconds = std::chrono::duration<double>(last_draw_ - start_).count();
  const double speed = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
  // A total that is not known (a pipe) shows as none.
  std::string line = human_bytes(done_);
  if (total_ > 0) {
    line += " of " + human_bytes(total_) + " (" + std::to_string(done_ * 100 / total_) + "%)";
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, ", %.1f MB/s", speed / 1e6);
  line += rate;
  if (speed > 0 && total_ >= done_) {
    line += ", " + clock_text(static_cast<double>(total_ - done_) / speed) + " left";
  }
  put(stderr, ("\r" + line + "\033[K").c_str());
  shown_ = true;
}

void Progress::clear() {
  std::lock_guard lock(mutex_);
  clear_locked();
}

void Progress::clear_locked() {
  if (!shown_) return;
  put(stderr, "\r\033[K");
  shown_ = false;
}

void Progress::print(std::FILE* stream, const std::string& line) {
  std::lock_guard lock(mutex_);
  clear_locked();
  put(stream, line.c_str());
}

void Progress::put(std::FILE* stream, const char* text) {
  if (std::fputs(text, stream) < 0 || std::fflush(stream) != 0) failed_ = true;
}

bool Progress::output_failed() {
  std::lock_guard lock(mutex_);
  return failed_;
}

void say(Progress& progress, const std::string& text) { progress.print(stderr, "quarvex: " + text + "\n"); }

}  // namespace uq::suite
