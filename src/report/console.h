// Whole-line printing to standard output and standard error, so that the messages of different
// threads never interleave inside a line.
#pragma once

#include <cstdio>

namespace uq::report {

// Prints one formatted message on `stream` with a single locked write.
void print_message(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The text of an errno value as the C library gives it.
const char* error_text(int err);

}  // namespace uq::report
