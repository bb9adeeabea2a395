// Numbered failure reports (codes 100 to 105), the error sink they pass through, and the two
// process-wide counters that threads use to tell each other about failures.
#pragma once

#include <atomic>
#include <cstdint>

namespace uq::report {

inline constexpr int kMallocError = 100;   // "malloc error"
inline constexpr int kOpenError = 101;     // "cannot open file '%s'" (never raised)
inline constexpr int kWriteError = 102;    // "write error. errno=%d '%s'"
inline constexpr int kReadError = 103;     // "read error. errno=%d '%s'"
inline constexpr int kHeaderError = 104;   // "file header. no quarvex format"
inline constexpr int kCorruptError = 105;  // "file is corrupted"

// Longest formatted text a report carries; longer texts are cut to this many characters.
inline constexpr int kMaxReportText = 2047;

// The printf template of `code`, or null when the code has none.
const char* error_template(int code);

// Formats the template of `code` with the arguments it asks for (an errno value and its text for
// 102 and 103, a path for 101, nothing otherwise), prints "message:%s;'%s'" and hands the text to
// the error sink, all as one locked write to standard output. Gives -code.
int report_error(int code, ...);

// Where the formatted text of every report goes after the "message:" part.
using ErrorSink = int (*)(int code, const char* text);

// Prints "Error: %d %s\n" on standard output and gives 0.
int default_error_sink(int code, const char* text);

// Replaces the sink (tests only; the program keeps the default). Gives the previous one.
ErrorSink set_error_sink(ErrorSink sink);

// Raised (never lowered) by a decode worker or the output writer that fails; the file decoder
// queues no more blocks once it sees it.
extern std::atomic<int32_t> stop_flag;

// Decode workers that are still to receive a stop decode job.
extern std::atomic<int32_t> live_workers;

}  // namespace uq::report
