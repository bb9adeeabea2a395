// Whole threaded runs in process: thread starts that fail, and a stress of many small files
// through decode_file, the workers and the writer at every queue capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/block_buffers.h"
#include "codec/post_filters.h"
#include "format/file_decoder.h"
#include "pipeline/decode_worker.h"
#include "pipeline/memory_budget.h"
#include "pipeline/output.h"
#include "pipeline/memory_limit.h"
#include "pipeline/run_settings.h"
#include "pipeline/threaded_run.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "report/report.h"
#include "support/bounded.h"
#include "support/expected.h"
#include "support/os.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::pipeline {
namespace {

using test::Bytes;
using test::HeaderFields;
using test::QvxBuilder;

constexpr std::size_t kMiB = 1 << 20;

using test::open_descriptors;

// The whole file in one read (the stress reads a few dozen MiB).
Bytes read_all(const std::string& path) {
  Bytes bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  std::fseek(f, 0, SEEK_END);
  bytes.resize(static_cast<std::size_t>(std::ftell(f)));
  std::fseek(f, 0, SEEK_SET);
  if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
  std::fclose(f);
  return bytes;
}

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed * 17 + (i >> 8));
  return b;
}

// One compressed file and what it must restore to.
struct Case {
  std::string input;
  std::string base;  // the input's name less ".qvx": the restored file's name
  Bytes restored;
};

class ThreadedRunTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    set_thread_create_hook(nullptr);
    reset();
  }
  static void reset() {
    report::stop_flag.store(0);
    report::live_workers.store(0);
    thread_count = 0;
    run_has_workers = false;
  }

  // A single stored block of `data`.
  Case small(const std::string& name, const Bytes& data) {
    HeaderFields h;
    h.orig_size = static_cast<std::int64_t>(data.size());
    QvxBuilder b(h);
    if (!data.empty()) b.block(data);
    return add(name, b.bytes(), data);
  }

  // Blocks of 1 MiB stored in the order 1, 0, 2; with `filter`, each restores through its
  // post-filter (and so through the block buffers, never as a copy of the input).
  Case out_of_order(const std::string& name, unsigned seed, std::uint8_t filter = 0) {
    Bytes data = pattern(2 * kMiB + 77, seed);
    HeaderFields h;
    h.orig_size = static_cast<std::int64_t>(data.size());
    h.filter = filter;
    auto part = [&](std::size_t i) {
      return Bytes(data.begin() + static_cast<long>(i * kMiB),
                   data.begin() + static_cast<long>(std::min(data.size(), (i + 1) * kMiB)));
    };
    Bytes file = QvxBuilder(h).block(part(1), 0x02).block(part(0), 0x03).block(part(2), 0x00).bytes();
    if (filter != 0) {
      for (std::size_t at = 0; at < data.size(); at += kMiB) {
        codec::apply_post_filter(filter, data.data() + at, std::min(kMiB, data.size() - at));
      }
    }
    return add(name, file, data);
  }

  // Three blocks announced, only the last (index 2) present.
  Case last_block_only(const std::string& name, unsigned seed) {
    Bytes tail = pattern(9, seed);
    HeaderFields h;
    h.orig_size = static_cast<std::int64_t>(2 * kMiB + tail.size());
    Bytes restored(2 * kMiB, 0);
    restored.insert(restored.end(), tail.begin(), tail.end());
    return add(name, QvxBuilder(h).block(tail, 0x04).bytes(), restored);
  }

  // A stored block, then a coded block whose length ladder never ends.
  Case with_corrupt_block(const std::string& name) {
    Bytes first = pattern(kMiB, 3);
    HeaderFields h;
    h.orig_size = static_cast<std::int64_t>(kMiB + 16);
    Bytes file = QvxBuilder(h).block(first).block(test::hex("61 62 00 ff ff ff ff")).bytes();
    return add(name, file, first);
  }

  Case add(const std::string& name, const Bytes& file, const Bytes& restored) {
    std::string input = dir_ / name;
    test::write_file(input, file);
    std::string base = name.substr(name.rfind('/') + 1);
    return {input, base.substr(0, base.size() - 4), restored};
  }

  std::string run_dir(const std::string& sub) {
    std::string dest = dir_ / sub;
    test::make_dirs(dest);
    return dest;
  }

  // Restores `cases` in one run with `threads` workers into `dest`, within a memory budget of
  // `budget` bytes; gives the most that was in flight at once.
  std::uint64_t restore(const std::vector<Case>& cases, int threads, const std::string& dest,
                        std::uint64_t budget = UINT64_MAX) {
    thread_count = threads;
    WriteQueue write_queue(threads);
    write_queue.budget.set_limit(budget);
    DecodeQueue decode_queue(threads, &write_queue);
    ThreadedRun run(decode_queue, write_queue);
    EXPECT_TRUE(run.start());
    for (const Case& c : cases) {
      EXPECT_EQ(format::decode_file(decode_queue, c.input, dest + "/" + c.base + ".qvx"), 0) << c.input;
    }
    run.finish();
    EXPECT_EQ(write_queue.outputs.pending(), 0);
    EXPECT_EQ(write_queue.budget.in_flight(), 0u);
    EXPECT_FALSE(run_has_workers);
    return write_queue.budget.peak();
  }

  test::TempDir dir_;
};

bool fail_every_start(int) { return true; }
bool fail_workers_one_and_two(int attempt) { return attempt == 1 || attempt == 2; }
bool fail_the_third_start(int attempt) { return attempt == 2; }

TEST_F(ThreadedRunTest, WhenNoWorkerStartsTheWriterIsNotStartedAndTheRunGoesOnWithout) {
  set_thread_create_hook(fail_every_start);
  std::vector<Case> cases{out_of_order("a.qvx", 1), small("b.qvx", pattern(10, 2))};
  std::string dest = run_dir("out");
  thread_count = 3;
  WriteQueue write_queue(3);
  DecodeQueue decode_queue(3, &write_queue);
  ThreadedRun run(decode_queue, write_queue);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(run.start());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error thread_create.\nError thread_create.\nError thread_create.\n");
  EXPECT_FALSE(run_has_workers);
  EXPECT_EQ(report::live_workers.load(), 0);
  for (const Case& c : cases) EXPECT_EQ(format::decode_file(decode_queue, c.input, dest + "/" + c.base + ".qvx"), 0);
  EXPECT_EQ(decode_queue.size(), 0);  // nothing went through the queue
  run.finish();
  for (const Case& c : cases) EXPECT_EQ(read_all(dest + "/" + c.base), c.restored);
}

TEST_F(ThreadedRunTest, WorkersThatFailToStartAreLeftOutOfTheStopJobs) {
  set_thread_create_hook(fail_workers_one_and_two);
  std::vector<Case> cases{out_of_order("a.qvx", 1), last_block_only("b.qvx", 2)};
  std::string dest = run_dir("out");
  testing::internal::CaptureStdout();
  restore(cases, 4, dest);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error thread_create.\nError thread_create.\n");
  EXPECT_EQ(report::live_workers.load(), 2);
  for (const Case& c : cases) EXPECT_EQ(read_all(dest + "/" + c.base), c.restored);
}

TEST_F(ThreadedRunTest, AWriterThatCannotStartStopsTheWorkersAgain) {
  set_thread_create_hook(fail_the_third_start);
  thread_count = 2;
  WriteQueue write_queue(2);
  DecodeQueue decode_queue(2, &write_queue);
  ThreadedRun run(decode_queue, write_queue);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(run.start());  // returns only once both workers have been joined
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error thread_create.\n");
  EXPECT_FALSE(run_has_workers);
  EXPECT_EQ(decode_queue.size(), 0);  // each worker took its stop job
}

// Many small files of every shape at every capacity: all restored exactly, every output closed,
// no descriptor left open, whatever the interleaving.
TEST_F(ThreadedRunTest, StressEveryCapacity) {
  test::Watchdog watchdog(std::chrono::seconds(120));  // a run that waits for ever, at 8 s a pass
  std::vector<Case> cases;
  std::mt19937 random(12345);
  for (int i = 0; i < 24; ++i) {
    std::size_t len = random() % 600;
    cases.push_back(small("s" + std::to_string(i) + ".qvx", pattern(len, static_cast<unsigned>(i))));
  }
  for (int i = 0; i < 4; ++i) cases.push_back(last_block_only("l" + std::to_string(i) + ".qvx", 40u + i));
  cases.push_back(small("empty.qvx", {}));
  cases.push_back(out_of_order("big.qvx", 7));
  cases.push_back(with_corrupt_block("bad.qvx"));
  // The same output twice: the later input wins.
  test::make_dirs(dir_ / "x");
  test::make_dirs(dir_ / "y");
  cases.push_back(out_of_order("x/twice.qvx", 8));
  cases.push_back(small("y/twice.qvx", pattern(20, 9)));
  std::shuffle(cases.begin(), cases.end() - 2, random);

  const int descriptors = open_descriptors();
  for (int threads = 1; threads <= 16; ++threads) {
    std::string dest = run_dir("out" + std::to_string(threads));
    testing::internal::CaptureStdout();
    restore(cases, threads, dest);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              test::fatal_decomp_line(dest + "/bad", -1, 16) + test::report_line(105));
    for (std::size_t i = 0; i + 1 < cases.size(); ++i) {
      if (cases[i].base == "twice") continue;
      ASSERT_EQ(read_all(dest + "/" + cases[i].base), cases[i].restored)
          << cases[i].input << " with " << threads << " workers";
    }
    ASSERT_EQ(read_all(dest + "/twice"), cases.back().restored) << threads;
    EXPECT_EQ(open_descriptors(), descriptors) << threads;
    EXPECT_EQ(report::stop_flag.load(), 0);
  }
}

}  // namespace
}  // namespace uq::pipeline

namespace uq::pipeline {
namespace {

// What a block of `len` bytes, `comp_len` of them in the file, holds of the budget.
std::uint64_t block_charge(std::size_t comp_len, std::size_t len) {
  return comp_len + codec::kInputPadding + len + codec::kOutputSlack;
}

// Sixteen workers, but room for one 1 MiB block at a time: every file is restored, nothing waits
// for ever, and no more than the budget is ever in flight; a block larger than the whole budget
// still goes through, alone.
TEST_F(ThreadedRunTest, TheMemoryBudgetBoundsTheBlocksInFlight) {
  test::Watchdog watchdog(std::chrono::seconds(60));  // a block that waits for ever, at 4 s a pass
  std::vector<Case> cases;
  for (int i = 0; i < 6; ++i) {
    cases.push_back(out_of_order("o" + std::to_string(i) + ".qvx", 20u + i, codec::kFilterDelta3));
  }
  for (int i = 0; i < 6; ++i) cases.push_back(small("s" + std::to_string(i) + ".qvx", pattern(100, 30u + i)));
  const std::uint64_t one_block = block_charge(kMiB, kMiB);

  const std::string dest = run_dir("budget");
  const std::uint64_t peak = restore(cases, 16, dest, one_block + one_block / 2);
  EXPECT_GE(peak, one_block);
  EXPECT_LE(peak, one_block + one_block / 2);
  for (const Case& c : cases) ASSERT_EQ(read_all(dest + "/" + c.base), c.restored) << c.input;

  const std::string alone = run_dir("alone");
  EXPECT_EQ(restore(cases, 16, alone, kMiB), one_block);
  for (const Case& c : cases) ASSERT_EQ(read_all(alone + "/" + c.base), c.restored) << c.input;

  // Without a tight budget, blocks of several files are in flight at once.
  EXPECT_GT(restore(cases, 16, run_dir("free")), 2 * one_block);
}

// Every worker asked for is started, but no more decode at once than there are processors.
TEST_F(ThreadedRunTest, DecodersAreNoMoreThanTheProcessors) {
  for (int threads : {1, 16}) {
    thread_count = threads;
    WriteQueue write_queue(threads);
    DecodeQueue decode_queue(threads, &write_queue);
    ThreadedRun run(decode_queue, write_queue);
    ASSERT_TRUE(run.start());
    EXPECT_EQ(report::live_workers.load(), threads);
    EXPECT_EQ(decode_queue.slots.limit(), std::min(threads, platform::processor_count()));
    // A lone decoder leaves the writing to the writer, which has a processor of its own.
    EXPECT_EQ(decode_queue.workers_put, decode_queue.slots.limit() > 1);
    run.finish();
  }
}

// An output that takes its blocks only in the order the writer gives them.
class InOrderOutput final : public Output {
 public:
  InOrderOutput() : Output("in order", 4, report::console_reporter()) {}
  ~InOrderOutput() override { finished_quietly(); }

 private:
  int store(std::int64_t, std::uint64_t, const std::uint8_t*, std::size_t) override { return 0; }
  int close_target() override { return 0; }
};

// Workers take the largest queued block of the oldest job's file first, when that file takes
// blocks in any order; never a later file's block, nor a block of a file kept in order.
TEST_F(ThreadedRunTest, WorkersTakeAFilesLargestQueuedBlockFirst) {
  test::TempDir dir;
  int err = 0;
  std::unique_ptr<FileOutput> file = FileOutput::create(dir / "f", 4, report::console_reporter(), err);
  std::unique_ptr<FileOutput> other = FileOutput::create(dir / "g", 4, report::console_reporter(), err);
  ASSERT_TRUE(file && other);
  InOrderOutput in_order;
  const auto job = [](Output* output, std::uint32_t comp_len) {
    codec::DecodeJob j;
    j.output = output;
    j.comp_len = comp_len;
    return j;
  };
  EXPECT_TRUE(decode_before(job(file.get(), 700), job(file.get(), 200)));
  EXPECT_FALSE(decode_before(job(file.get(), 200), job(file.get(), 700)));
  EXPECT_FALSE(decode_before(job(file.get(), 700), job(file.get(), 700)));  // ties keep their order
  EXPECT_FALSE(decode_before(job(other.get(), 700), job(file.get(), 200)));
  EXPECT_FALSE(decode_before(job(&in_order, 700), job(&in_order, 200)));
  EXPECT_FALSE(decode_before(job(nullptr, 0), job(nullptr, 0)));  // stop jobs
}

TEST(MemoryBudget, WaitsForRoomAndLetsAnOversizedRequestGoAlone) {
  test::Watchdog watchdog(std::chrono::seconds(30));
  MemoryBudget budget;
  budget.set_limit(100);
  budget.acquire(60);
  std::atomic<int> stage{0};
  std::jthread second([&] {
    budget.acquire(60);  // waits: 120 > 100
    stage.store(1);
    budget.acquire(500);  // larger than the limit: waits until nothing else is in flight
    stage.store(2);
  });
  ASSERT_TRUE(test::eventually([&] { return budget.waiting() == 1; }));
  EXPECT_EQ(stage.load(), 0);
  budget.release(60);  // wakes it
  EXPECT_TRUE(test::eventually([&] { return stage.load() == 1 && budget.waiting() == 1; }));  // 60 in flight
  budget.release(60);
  EXPECT_TRUE(test::eventually([&] { return stage.load() == 2; }));
  second.join();
  EXPECT_EQ(budget.in_flight(), 500u);
  EXPECT_EQ(budget.peak(), 500u);
}

TEST(MemoryLimit, BytesWithUnitsOrAPercentageOfMemory) {
  const std::uint64_t gib = std::uint64_t{1} << 30;
  EXPECT_EQ(parse_memory_limit("12345", gib), 12345u);
  EXPECT_EQ(parse_memory_limit("0", gib), 0u);
  EXPECT_EQ(parse_memory_limit("64K", gib), 64u << 10);
  EXPECT_EQ(parse_memory_limit("64k", gib), 64u << 10);
  EXPECT_EQ(parse_memory_limit("3M", gib), 3u << 20);
  EXPECT_EQ(parse_memory_limit("2g", gib), 2 * gib);
  EXPECT_EQ(parse_memory_limit("25%", 4 * gib), gib);
  EXPECT_EQ(parse_memory_limit("100%", 4 * gib), 4 * gib);
  for (const char* bad : {"", "G", "-1", "1.5G", "2GB", "0%", "101%", "1 G", "x", "99999999999999999999",
                          "17179869184G"}) {
    EXPECT_FALSE(parse_memory_limit(bad, gib).has_value()) << bad;
  }
}

// Half of the tightest of physical memory, the control group's limit and the address-space
// limit; 1 GiB when none is known.
TEST(MemoryLimit, TheDefaultIsHalfOfTheTightestLimitKnown) {
  const std::uint64_t gib = std::uint64_t{1} << 30;
  const std::uint64_t mib = std::uint64_t{1} << 20;
  EXPECT_EQ(default_memory_budget(8 * gib, 2 * gib, std::nullopt), gib);
  EXPECT_EQ(default_memory_budget(8 * gib, std::nullopt, std::nullopt), 4 * gib);
  EXPECT_EQ(default_memory_budget(0, std::nullopt, std::nullopt), gib);
  // ulimit -v 900000 (KiB): twelve 256 MiB blocks at -p16 must not hold more than half of it.
  EXPECT_EQ(default_memory_budget(8 * gib, std::nullopt, 900000 * std::uint64_t{1024}), 450000 * std::uint64_t{1024});
  EXPECT_EQ(default_memory_budget(8 * gib, 600 * mib, 2 * gib), 300 * mib);
  // Physical memory unknown: the limits that are known still count.
  EXPECT_EQ(default_memory_budget(0, 3 * gib, std::nullopt), 3 * gib / 2);
  EXPECT_EQ(default_memory_budget(0, std::nullopt, 600 * mib), 300 * mib);
}

TEST(MemoryLimit, TheTightestControlGroupLimitOnThePath) {
  test::TempDir root;
  // Version 2: limits on the group and on its parent; the tighter one counts.
  test::make_dirs(root / "a/b");
  test::write_file(root / "a/memory.max", {'3', '0', '0', '\n'});
  test::write_file(root / "a/b/memory.max", {'m', 'a', 'x', '\n'});
  EXPECT_EQ(platform::cgroup_memory_limit(root.path(), "0::/a/b\n"), 300u);
  test::write_file(root / "a/memory.max", {'m', 'a', 'x', '\n'});
  EXPECT_FALSE(platform::cgroup_memory_limit(root.path(), "0::/a/b\n").has_value());
  // Version 1: the memory controller's own line and hierarchy.
  test::make_dirs(root / "memory/box");
  test::write_file(root / "memory/box/memory.limit_in_bytes", {'5', '0', '0', '\n'});
  EXPECT_EQ(platform::cgroup_memory_limit(root.path(), "4:memory:/box\n3:cpu:/other\n0::/a/b\n"), 500u);
}

}  // namespace
}  // namespace uq::pipeline
