// The error table and report_error: one line on standard output per numbered failure.
#include "report/report.h"

#include <cstdarg>
#include <cstdio>

#include "platform/stream.h"

namespace uq::report {

std::atomic<int32_t> stop_flag{0};
std::atomic<int32_t> live_workers{0};

namespace {

std::atomic<ErrorSink> error_sink{&default_error_sink};

}  // namespace

const char* error_template(int code) {
  switch (code) {
    case kMallocError: return "malloc error";
    case kOpenError: return "cannot open file '%s'";
    case kWriteError: return "write error. errno=%d '%s'";
    case kReadError: return "read error. errno=%d '%s'";
    case kHeaderError: return "file header. no quarvex format";
    case kCorruptError: return "file is corrupted";
    default: return nullptr;
  }
}

int report_error(int code, ...) {
  const char* tmpl = error_template(code);
  if (tmpl == nullptr) tmpl = "";
  char text[kMaxReportText + 1];
  std::va_list args;
  va_start(args, code);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::vsnprintf(text, sizeof text, tmpl, args);
#pragma GCC diagnostic pop
  va_end(args);

  // Holding stdout's lock across both prints keeps the report on one uninterrupted line, even
  // when the sink prints with its own calls (the lock is recursive for this thread).
  platform::lock_stream(stdout);
  std::fprintf(stdout, "message:%s;'%s'", tmpl, text);
  error_sink.load()(code, text);
  platform::unlock_stream(stdout);
  return -code;
}

int default_error_sink(int code, const char* text) {
  std::fprintf(stdout, "Error: %d %s\n", code, text);
  return 0;
}

ErrorSink set_error_sink(ErrorSink sink) { return error_sink.exchange(sink); }

}  // namespace uq::report
