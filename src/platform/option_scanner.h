// The C library's getopt_long behind one small class, so that its header stays in this folder:
// quarvex reads its command line through it. mingw-w64 ships the same function, so one source
// serves both systems; where the two differ (a value given to a long option that takes none is
// ':' there, '?' here), the caller tells the cases apart.
#pragma once

#include <span>

namespace uq::platform {

struct LongOption {
  const char* name;
  bool takes_value;
  int code;  // what OptionScanner::next gives for it
};

class OptionScanner {
 public:
  // Starts a scan from argv[1], printing nothing: the messages are the caller's. One scan at a
  // time (the function keeps its place in globals).
  OptionScanner(int argc, char** argv, const char* short_options, std::span<const LongOption> long_options);

  // The next option's code (its letter, or a long option's code), or -1 after the last option;
  // ':' or '?' for a mistake, as getopt_long gives them. long_index: the long option's place in
  // long_options, or -1 for a short one.
  int next(int& long_index);

  const char* value() const { return value_; }         // the option's value, or null
  int mistaken() const { return mistaken_; }           // the option character of a mistake, or 0
  int next_argument() const { return next_argument_; }  // index in argv past the last one read

 private:
  int argc_;
  char** argv_;
  const char* short_options_;
  std::span<const LongOption> long_options_;
  const char* value_ = nullptr;
  int mistaken_ = 0;
  int next_argument_ = 1;
};

}  // namespace uq::platform
