// Whole-line printing: each message is formatted first and written under the stream's lock.
#include "report/console.h"

#include <cstdarg>

#include "platform/stream.h"
#include "platform/system.h"

namespace uq::report {

void print_message(std::FILE* stream, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  platform::lock_stream(stream);
  std::vfprintf(stream, format, args);
  platform::unlock_stream(stream);
  va_end(args);
}

const char* error_text(int err) { return platform::error_text(err); }

}  // namespace uq::report
