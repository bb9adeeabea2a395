// The output writer's file accounting: an output is written at block offsets in any order and
// closed exactly once, after the file decoder's notice and every job it counted, whatever came
// first; a failed write is its output's alone, reported once, and the other outputs go on; so is
// a copy that finds its input cut short.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "codec/block_buffers.h"
#include "pipeline/output_writer.h"
#include "pipeline/output.h"
#include "platform/replaced_file.h"
#include "report/report.h"
#include "support/os.h"
#include "support/expected.h"
#include "support/temp_dir.h"

namespace uq::pipeline {
namespace {

using test::Bytes;

constexpr std::size_t kMiB = 1 << 20;

class Writer : public ::testing::Test {
 protected:
  void SetUp() override { report::stop_flag.store(0); }
  void TearDown() override { report::stop_flag.store(0); }

  // An output as the file decoder creates it, for a file of `blocks` blocks.
  Output* create(const std::string& name, std::int64_t blocks = 3) {
    int err = 0;
    std::unique_ptr<FileOutput> file = FileOutput::create(dir_ / name, blocks, report::console_reporter(), err);
    EXPECT_TRUE(file) << name << ": " << std::strerror(err);
    return file.release();
  }

  // A block job of `len` bytes of `fill`, with 1 MiB blocks.
  static WriteJob block(Output* file, std::int64_t index, std::size_t len, std::uint8_t fill) {
    WriteJob job;
    job.kind = WriteKind::block;
    job.output = file;
    job.block_index = index;
    job.out_offset = static_cast<std::uint64_t>(index) * kMiB;
    job.out_len = static_cast<std::int32_t>(len);
    job.out_buf = codec::allocate_output(len);
    std::memset(job.out_buf, fill, len);
    return job;
  }

  static WriteJob dropped(Output* file, std::int64_t index) {
    WriteJob job;
    job.kind = WriteKind::dropped;
    job.output = file;
    job.block_index = index;
    job.block_mib = 1;
    return job;
  }

  // The file decoder's notice, with the hand-over recorded first as it does.
  WriteJob file_end(Output* file, std::uint64_t queued) {
    tracker_.handed_over(file, file->path());
    WriteJob job;
    job.kind = WriteKind::file_end;
    job.output = file;
    job.queued_jobs = queued;
    return job;
  }

  static Bytes expected_blocks(std::initializer_list<std::pair<std::size_t, std::uint8_t>> blocks) {
    Bytes out;
    for (auto [len, fill] : blocks) out.insert(out.end(), len, fill);
    return out;
  }

  test::TempDir dir_;
  OutputTracker tracker_;
};

TEST_F(Writer, BlocksOutOfOrderMakeTheSameFileAndItClosesAfterTheCountedJobs) {
  OutputWriter writer(tracker_);
  Output* file = create("a");
  EXPECT_TRUE(writer.take(block(file, 2, 5, 'c')));
  EXPECT_TRUE(writer.take(block(file, 0, kMiB, 'a')));
  EXPECT_EQ(writer.open_files(), 1);
  EXPECT_TRUE(writer.take(file_end(file, 3)));
  EXPECT_EQ(writer.open_files(), 1);  // one job still on its way
  EXPECT_EQ(tracker_.pending(), 1);
  EXPECT_TRUE(writer.take(block(file, 1, kMiB, 'b')));
  EXPECT_EQ(writer.open_files(), 0);
  EXPECT_EQ(tracker_.pending(), 0);
  EXPECT_EQ(test::read_file(dir_ / "a"), expected_blocks({{kMiB, 'a'}, {kMiB, 'b'}, {5, 'c'}}));
}

TEST_F(Writer, ANoticeAfterTheLastJobClosesAtOnce) {
  OutputWriter writer(tracker_);
  Output* file = create("a");
  writer.take(block(file, 0, 3, 'x'));
  EXPECT_EQ(writer.open_files(), 1);
  writer.take(file_end(file, 1));
  EXPECT_EQ(writer.open_files(), 0);
  EXPECT_EQ(test::read_file(dir_ / "a"), Bytes(3, 'x'));
}

// Fewer records than the header's block count: only what was queued is awaited.
TEST_F(Writer, AFileWithFewerBlocksThanAnnouncedStillCloses) {
  OutputWriter writer(tracker_);
  Output* file = create("a");
  WriteJob last = block(file, 2, 4, 'z');
  last.block_count = 3;
  writer.take(last);
  writer.take(file_end(file, 1));
  EXPECT_EQ(writer.open_files(), 0);
  Bytes expected(2 * kMiB, 0);
  expected.insert(expected.end(), 4, 'z');
  EXPECT_EQ(test::read_file(dir_ / "a"), expected);
}

TEST_F(Writer, ADroppedBlockCountsButWritesNothing) {
  OutputWriter writer(tracker_);
  Output* file = create("a");
  writer.take(file_end(file, 3));
  writer.take(block(file, 0, kMiB, 'a'));
  writer.take(dropped(file, 1));
  EXPECT_EQ(writer.open_files(), 1);
  writer.take(block(file, 2, 2, 'c'));
  EXPECT_EQ(writer.open_files(), 0);
  EXPECT_EQ(test::read_file(dir_ / "a"), expected_blocks({{kMiB, 'a'}, {kMiB, 0}, {2, 'c'}}));
}

TEST_F(Writer, InterleavedFilesEachCloseAfterTheirOwnCount) {
  OutputWriter writer(tracker_);
  Output* a = create("a");
  Output* b = create("b");
  writer.take(block(a, 1, 1, 'A'));
  writer.take(block(b, 0, 0, 'b'));  // an empty block counts as well
  writer.take(file_end(b, 2));
  writer.take(file_end(a, 2));
  EXPECT_EQ(writer.open_files(), 2);
  writer.take(block(b, 1, 2, 'B'));
  EXPECT_EQ(writer.open_files(), 1);
  writer.take(block(a, 0, kMiB, 'a'));
  EXPECT_EQ(writer.open_files(), 0);
  EXPECT_EQ(tracker_.pending(), 0);
  EXPECT_EQ(test::read_file(dir_ / "a"), expected_blocks({{kMiB, 'a'}, {1, 'A'}}));
  EXPECT_EQ(test::read_file(dir_ / "b"), expected_blocks({{kMiB, 0}, {2, 'B'}}));
}

TEST_F(Writer, TheStopJobEndsTheWriterAndLeftoversAreClosedAtItsEnd) {
  Output* file = create("a");
  {
    OutputWriter writer(tracker_);
    writer.take(block(file, 0, 3, 'q'));
    EXPECT_FALSE(writer.take(stop_write_job()));
    EXPECT_EQ(writer.open_files(), 1);
  }  // released here; the sanitizer would see a leak otherwise
  EXPECT_EQ(test::read_file(dir_ / "a"), Bytes(3, 'q'));
}

int write_errno_of_dev_full() {
  int fd = ::open("/dev/full", O_WRONLY);
  EXPECT_GE(fd, 0);
  std::uint8_t byte = 0;
  errno = 0;
  EXPECT_LT(::write(fd, &byte, 1), 1);
  int err = errno;
  ::close(fd);
  return err;
}

TEST_F(Writer, AFailedWriteIsThatOutputsAloneReportedOnceAndNamed) {
  if (test::kWindows) GTEST_SKIP() << "Windows has no always-full device such as /dev/full";
  const int err = write_errno_of_dev_full();
  ASSERT_EQ(test::make_symlink("/dev/full", (dir_ / "full").c_str()), 0);
  OutputWriter writer(tracker_);
  Output* full = create("full", 2);
  Output* good = create("good", 2);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  writer.take(block(good, 0, 4, 'g'));
  writer.take(block(full, 0, 10, 'f'));  // fails
  writer.take(block(full, 1, 10, 'f'));  // taken, released, not written
  writer.take(block(good, 1, 4, 'h'));   // another output: written
  writer.take(file_end(full, 2));
  writer.take(file_end(good, 2));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), test::errno_report_line(102, err));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "'" + dir_ / "full" + "' is incomplete: 2 of 2 blocks not written\n");
  EXPECT_GE(report::stop_flag.load(), 1);  // no new input is started
  EXPECT_EQ(writer.open_files(), 0);
  EXPECT_EQ(tracker_.pending(), 0);
  Bytes good_bytes(kMiB + 4, 0);
  std::fill_n(good_bytes.begin(), 4, 'g');
  std::fill_n(good_bytes.end() - 4, 4, 'h');
  EXPECT_EQ(test::read_file(dir_ / "good"), good_bytes);
}

// Stored blocks are copied from the input late: an input that ends under several pending copies
// is one read error of that output, reported once, and its other blocks are still written.
TEST_F(Writer, CopiesPastTheEndOfTheirInputAreOneReadErrorOfThatOutput) {
  test::write_file(dir_ / "a.qvx", Bytes(1000, 's'));
  const int source = platform::open_for_reading(dir_ / "a.qvx");
  ASSERT_GE(source, 0);
  OutputWriter writer(tracker_);
  Output* file = create("a", 3);
  file->adopt_source(source);
  const auto copy = [&](std::int64_t index) {
    WriteJob job;
    job.kind = WriteKind::copy;
    job.output = file;
    job.block_index = index;
    job.out_offset = static_cast<std::uint64_t>(index) * kMiB;
    job.source_offset = static_cast<std::uint64_t>(index) * kMiB;
    job.out_len = static_cast<std::int32_t>(kMiB);
    return job;
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  writer.take(copy(0));  // 1,000 of its bytes
  writer.take(copy(1));  // none
  writer.take(block(file, 2, 4, 'b'));
  writer.take(file_end(file, 3));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "err=, 1048576,1000 " + test::errno_report_line(103, 0));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "'" + dir_ / "a" + "' is incomplete: 2 of 3 blocks not written\n");
  EXPECT_EQ(report::stop_flag.load(), 0);  // the run goes on
  EXPECT_EQ(writer.open_files(), 0);
  const Bytes restored = test::read_file(dir_ / "a");
  ASSERT_EQ(restored.size(), 2 * kMiB + 4);
  EXPECT_EQ(Bytes(restored.begin(), restored.begin() + 1000), Bytes(1000, 's'));
  EXPECT_EQ(Bytes(restored.end() - 4, restored.end()), Bytes(4, 'b'));
}

}  // namespace
}  // namespace uq::pipeline
