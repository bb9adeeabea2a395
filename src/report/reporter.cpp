// The restore tool's messages for the events of one file. A message made of two parts (a line
// and the numbered report that follows it) is written under one hold of the stream's lock, which
// is recursive for the holding thread, so no other thread's line can land between the parts.
#include "report/reporter.h"

#include <cstdio>

#include "platform/stream.h"
#include "report/console.h"
#include "report/report.h"

namespace uq::report {

namespace {

// Holds standard output's lock for the life of the object.
class StdoutHold {
 public:
  StdoutHold() { platform::lock_stream(stdout); }
  ~StdoutHold() { platform::unlock_stream(stdout); }
  StdoutHold(const StdoutHold&) = delete;
  StdoutHold& operator=(const StdoutHold&) = delete;
};

int report_errno(int code, int err) { return report_error(code, err, error_text(err)); }

}  // namespace

void ConsoleReporter::cannot_open(const std::string& input, int err) {
  print_message(stderr, "can't open input file '%s'. '%s'\n", input.c_str(), error_text(err));
}

int ConsoleReporter::read_failed(int err) { return report_errno(kReadError, err); }

int ConsoleReporter::data_short(std::int64_t, int err, std::uint32_t comp_len, std::size_t got) {
  StdoutHold hold;
  print_message(stdout, "err=%s, %d,%d ", err == 0 ? "" : error_text(err), static_cast<int>(comp_len),
                static_cast<int>(got));
  return report_errno(kReadError, err);
}

int ConsoleReporter::not_qvx(const std::string& input) {
  StdoutHold hold;
  print_message(stdout, "'%s' not qvx file\n", input.c_str());
  return report_error(kHeaderError);
}

int ConsoleReporter::corrupt(std::int64_t, const char*) { return report_error(kCorruptError); }

int ConsoleReporter::block_damaged(const std::string& output, std::int64_t, int result, int expected) {
  StdoutHold hold;
  print_message(stdout, "Fatal Error in decomp '%s'.%d,%d\n", output.c_str(), result, expected);
  return report_error(kCorruptError);
}

void ConsoleReporter::block_length_differs(const std::string& output, int result, int expected) {
  print_message(stdout, "Fatal Error in decomp '%s'.%d,%d\n", output.c_str(), result, expected);
}

int ConsoleReporter::no_memory() { return report_error(kMallocError); }

int ConsoleReporter::write_failed(int err) { return report_errno(kWriteError, err); }

void ConsoleReporter::incomplete(const std::string& output, std::uint64_t missing, std::uint64_t total) {
  print_message(stderr, "'%s' is incomplete: %llu of %llu blocks not written\n", output.c_str(),
                static_cast<unsigned long long>(missing), static_cast<unsigned long long>(total));
}

Reporter& console_reporter() {
  static ConsoleReporter reporter;
  return reporter;
}

}  // namespace uq::report
