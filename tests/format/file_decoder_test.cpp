// decode_file called directly, for the failures the command line can't reach: the plain and the
// recursive run hand it only paths that were regular files a moment before.
#include "format/file_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pipeline/queues.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::format {
namespace {

class FileDecoderTest : public ::testing::Test {
 protected:
  pipeline::WriteQueue write_queue_{0};
  pipeline::DecodeQueue queue_{0, &write_queue_};
  test::TempDir dir_;
};

TEST_F(FileDecoderTest, InputThatCannotBeOpened) {
  testing::internal::CaptureStderr();
  int status = decode_file(queue_, dir_ / "missing.qvx", dir_ / "missing.qvx");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, -1);
  EXPECT_EQ(err, "can't open input file '" + (dir_ / "missing.qvx") + "'. '" + std::strerror(ENOENT) + "'\n");
  EXPECT_FALSE(test::file_exists(dir_ / "missing"));
}

TEST_F(FileDecoderTest, InputThatCannotBeReadIsAReadError) {
  test::make_dirs(dir_ / "d.qvx");
  testing::internal::CaptureStdout();
  int status = decode_file(queue_, dir_ / "d.qvx", dir_ / "out.qvx");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, -103);
  std::string text = "read error. errno=" + std::to_string(EISDIR) + " '" + std::strerror(EISDIR) + "'";
  EXPECT_EQ(out, "message:read error. errno=%d '%s';'" + text + "'Error: 103 " + text + "\n");
}

// An input that gives its header and one whole record, then fails as a failing disk does: the
// failed read is a read error, never the end of the records.
std::FILE* failing_after_one_record(const char*) {
  struct Cookie {
    test::Bytes bytes = test::smallest_file();  // header, record and 10 stored bytes
    std::size_t at = 0;
  };
  cookie_io_functions_t io{};
  io.read = [](void* c, char* buf, std::size_t size) -> ssize_t {
    auto* cookie = static_cast<Cookie*>(c);
    if (cookie->at == cookie->bytes.size()) {
      errno = EIO;
      return -1;
    }
    const std::size_t n = std::min(size, cookie->bytes.size() - cookie->at);
    std::memcpy(buf, cookie->bytes.data() + cookie->at, n);
    cookie->at += n;
    return static_cast<ssize_t>(n);
  };
  io.close = [](void* c) {
    delete static_cast<Cookie*>(c);
    return 0;
  };
  return fopencookie(new Cookie, "rb", io);
}

TEST_F(FileDecoderTest, AReadErrorBetweenRecordsIsReported) {
  InputOpener previous = set_input_opener(&failing_after_one_record);
  testing::internal::CaptureStdout();
  int status = decode_file(queue_, dir_ / "any.qvx", dir_ / "out.qvx");
  std::string out = testing::internal::GetCapturedStdout();
  set_input_opener(previous);
  EXPECT_EQ(status, -103);
  std::string text = "read error. errno=" + std::to_string(EIO) + " '" + std::strerror(EIO) + "'";
  EXPECT_EQ(out, "message:read error. errno=%d '%s';'" + text + "'Error: 103 " + text + "\n");
  EXPECT_EQ(test::read_file(dir_ / "out"), (test::Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
}

TEST_F(FileDecoderTest, RestoresAStoredFile) {
  test::write_file(dir_ / "s.qvx", test::smallest_file());
  EXPECT_EQ(decode_file(queue_, dir_ / "s.qvx", dir_ / "s.qvx"), 0);
  EXPECT_EQ(test::read_file(dir_ / "s"), (test::Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
}

}  // namespace
}  // namespace uq::format
