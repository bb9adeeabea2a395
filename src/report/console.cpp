// Whole-line printing: each message is formatted first and written under the stream's lock.
#include "report/console.h"

#include <cstdarg>
#include <cstring>

namespace uq::report {

void print_message(std::FILE* stream, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  flockfile(stream);
  std::vfprintf(stream, format, args);
  funlockfile(stream);
  va_end(args);
}

const char* error_text(int err) { return std::strerror(err); }

}  // namespace uq::report
