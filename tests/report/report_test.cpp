// Numbered reports: the exact line on standard output, the sink, the negated code.
#include "report/report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace uq::report {
namespace {

TEST(ReportError, PlainCodesPrintTemplateTextAndSinkLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(report_error(kHeaderError), -104);
  EXPECT_EQ(report_error(kCorruptError), -105);
  EXPECT_EQ(report_error(kMallocError), -100);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "message:file header. no quarvex format;'file header. no quarvex format'"
            "Error: 104 file header. no quarvex format\n"
            "message:file is corrupted;'file is corrupted'Error: 105 file is corrupted\n"
            "message:malloc error;'malloc error'Error: 100 malloc error\n");
}

TEST(ReportError, ErrnoCodesCarryNumberAndText) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(report_error(kWriteError, ENOSPC, std::strerror(ENOSPC)), -102);
  std::string text = "write error. errno=" + std::to_string(ENOSPC) + " '" + std::strerror(ENOSPC) + "'";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "message:write error. errno=%d '%s';'" + text + "'Error: 102 " + text + "\n");
}

TEST(ReportError, LongTextIsCutButTemplateIsWhole) {
  std::string path(3000, 'x');
  testing::internal::CaptureStdout();
  EXPECT_EQ(report_error(kOpenError, path.c_str()), -101);
  std::string text = ("cannot open file '" + path + "'").substr(0, kMaxReportText);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "message:cannot open file '%s';'" + text + "'Error: 101 " + text + "\n");
}

int sink_code = 0;
std::string sink_text;
int recording_sink(int code, const char* text) {
  sink_code = code;
  sink_text = text;
  return 7;
}

TEST(ReportError, SinkReceivesCodeAndFormattedText) {
  ErrorSink previous = set_error_sink(&recording_sink);
  testing::internal::CaptureStdout();
  EXPECT_EQ(report_error(kReadError, 0, std::strerror(0)), -103);
  std::string out = testing::internal::GetCapturedStdout();
  set_error_sink(previous);
  std::string text = std::string("read error. errno=0 '") + std::strerror(0) + "'";
  EXPECT_EQ(sink_code, 103);
  EXPECT_EQ(sink_text, text);
  EXPECT_EQ(out, "message:read error. errno=%d '%s';'" + text + "'");
}

}  // namespace
}  // namespace uq::report
