// The ordered output's window: blocks go out in index order whatever order they arrive in; their
// memory is counted from admission until they go out; the next block always fits; and the reader
// is stopped, never left waiting, when the next block can't come or the window can't hold what
// comes before it.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>

#include "pipeline/memory_budget.h"
#include "pipeline/ordered_output.h"
#include "report/collector.h"
#include "support/bounded.h"

namespace uq::pipeline {
namespace {

using Admission = Output::Admission;
using namespace std::chrono_literals;

constexpr std::uint64_t kUnit = 1000;  // what each block holds in memory here

class Ordered : public ::testing::Test {
 protected:
  // An output of `blocks` blocks whose sink records the first byte of each block it takes.
  std::unique_ptr<OrderedOutput> make(std::int64_t blocks, OrderedOutput::Settings settings = {}) {
    settings.budget = &budget_;
    return std::make_unique<OrderedOutput>("out", blocks, collector_, [this](const std::uint8_t* data, std::size_t) {
      if (fail_at_ == static_cast<int>(sunk_.size())) return EPIPE;
      sunk_.push_back(data[0]);
      return 0;
    }, settings, outcome_);
  }
  // Block `index` arrives restored: one byte that names it.
  static void arrive(OrderedOutput& out, std::int64_t index) {
    const std::uint8_t byte = static_cast<std::uint8_t>(index);
    out.put(index, 0, &byte, 1);
  }
  Admission admit(OrderedOutput& out, std::int64_t record, std::int64_t index) {
    return out.admit(record, index, kUnit, kUnit);
  }

  // A window that leaves its reader waiting fails the test in seconds.
  test::Watchdog watchdog_{std::chrono::seconds(60)};
  MemoryBudget budget_;
  report::Collector collector_;
  OrderedOutput::Outcome outcome_;
  std::vector<std::uint8_t> sunk_;
  int fail_at_ = -1;
};

TEST_F(Ordered, BlocksGoOutInIndexOrderAndTheirMemoryIsCountedUntilThen) {
  auto out = make(5);
  const std::int64_t order[] = {2, 0, 4, 1, 3};
  for (std::int64_t k = 0; k < 5; ++k) EXPECT_EQ(admit(*out, k, order[k]), Admission::counted);
  EXPECT_EQ(budget_.in_flight(), 5 * kUnit);
  arrive(*out, 2);
  arrive(*out, 4);
  EXPECT_TRUE(sunk_.empty());
  arrive(*out, 0);
  EXPECT_EQ(sunk_, (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(budget_.in_flight(), 4 * kUnit);  // the held blocks are still counted
  arrive(*out, 3);
  arrive(*out, 1);
  EXPECT_EQ(sunk_, (std::vector<std::uint8_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(budget_.in_flight(), 0u);
  EXPECT_TRUE(out->finish());
  EXPECT_EQ(outcome_.blocks_out, 5);
  EXPECT_EQ(outcome_.bytes_out, 5u);
  EXPECT_FALSE(outcome_.missing || outcome_.window_full || outcome_.write_failed);
}

// Blocks that wait leave room for the largest block, so the one they wait for always fits; when
// the budget is held by blocks that all wait for one not yet read, the reader is stopped.
TEST_F(Ordered, TheNextBlockAlwaysFitsAndAWindowThatCantHoldItsBlocksStops) {
  budget_.set_limit(3 * kUnit);
  {
    auto out = make(3);
    EXPECT_EQ(admit(*out, 0, 1), Admission::counted);
    EXPECT_EQ(admit(*out, 1, 2), Admission::counted);
    arrive(*out, 1);
    arrive(*out, 2);
    EXPECT_EQ(admit(*out, 2, 0), Admission::counted);
    arrive(*out, 0);
    EXPECT_EQ(sunk_, (std::vector<std::uint8_t>{0, 1, 2}));
    out->finish();
  }
  auto out = make(4);
  EXPECT_EQ(admit(*out, 0, 1), Admission::counted);
  EXPECT_EQ(admit(*out, 1, 2), Admission::counted);
  arrive(*out, 1);
  arrive(*out, 2);
  EXPECT_EQ(admit(*out, 2, 3), Admission::stop);
  EXPECT_EQ(admit(*out, 3, 0), Admission::stop);  // stopped for good
  out->finish();
  EXPECT_TRUE(outcome_.window_full);
  EXPECT_EQ(outcome_.blocks_out, 0);
  EXPECT_EQ(budget_.in_flight(), 0u);
}

TEST_F(Ordered, ABlockWithoutARecordWhereOneCouldBeStopsTheStream) {
  {
    auto out = make(200);
    // Block 0's record could lie anywhere up to place 127.
    for (std::int64_t k = 0; k < 128; ++k) ASSERT_EQ(admit(*out, k, k + 1), Admission::counted) << k;
    for (std::int64_t k = 0; k < 128; ++k) arrive(*out, k + 1);
    EXPECT_EQ(admit(*out, 128, 129), Admission::stop);
    out->finish();
    EXPECT_TRUE(outcome_.missing);
    EXPECT_TRUE(sunk_.empty());
  }
  // Records read first come sorted: a gap is a missing block at once.
  outcome_ = {};
  OrderedOutput::Settings sorted;
  sorted.index_order = true;
  auto out = make(5, sorted);
  EXPECT_EQ(admit(*out, 0, 0), Admission::counted);
  arrive(*out, 0);
  EXPECT_EQ(admit(*out, 1, 2), Admission::stop);
  out->finish();
  EXPECT_TRUE(outcome_.missing);
  EXPECT_EQ(outcome_.blocks_out, 1);
  EXPECT_EQ(budget_.in_flight(), 0u);
}

// After a lost block only the blocks before it are still wanted: later ones are passed over
// while one before it is still to come, and the reading stops once none is. The memory of the
// blocks past the loss goes back as soon as each is done with.
TEST_F(Ordered, ALostBlockEndsTheStreamAfterEveryBlockBeforeIt) {
  auto out = make(8);
  EXPECT_EQ(admit(*out, 0, 0), Admission::counted);
  EXPECT_EQ(admit(*out, 1, 2), Admission::counted);
  EXPECT_EQ(admit(*out, 2, 3), Admission::counted);
  EXPECT_EQ(admit(*out, 3, 5), Admission::counted);
  arrive(*out, 3);
  out->dropped(2);
  EXPECT_EQ(budget_.in_flight(), 2 * kUnit);  // blocks 0 and 5 on their way; block 3, held, is let go
  arrive(*out, 5);
  EXPECT_EQ(budget_.in_flight(), kUnit);  // of no use on arrival
  EXPECT_EQ(admit(*out, 4, 4), Admission::skip);
  EXPECT_EQ(admit(*out, 5, 1), Admission::counted);
  EXPECT_EQ(admit(*out, 6, 6), Admission::stop);
  arrive(*out, 1);
  arrive(*out, 0);
  EXPECT_EQ(sunk_, (std::vector<std::uint8_t>{0, 1}));
  out->finish();
  EXPECT_EQ(outcome_.lost, 2);
  EXPECT_EQ(outcome_.blocks_out, 2);
  EXPECT_EQ(budget_.in_flight(), 0u);

  // A block below the loss lost later moves the loss down.
  outcome_ = {};
  out = make(3);
  for (std::int64_t k = 0; k < 3; ++k) EXPECT_EQ(admit(*out, k, k), Admission::counted);
  out->dropped(2);
  out->dropped(1);
  arrive(*out, 0);
  out->finish();
  EXPECT_EQ(outcome_.lost, 1);
  EXPECT_EQ(outcome_.blocks_out, 1);
}

TEST_F(Ordered, AFailedWriteStopsTheStreamAndRecordsPastTheEndAreSkipped) {
  fail_at_ = 1;
  auto out = make(3);
  EXPECT_EQ(admit(*out, 0, 3), Admission::skip);  // names no block of the file
  for (std::int64_t k = 0; k < 3; ++k) EXPECT_EQ(admit(*out, k + 1, k), Admission::counted);
  arrive(*out, 0);
  arrive(*out, 1);
  EXPECT_TRUE(out->failed());
  EXPECT_EQ(admit(*out, 4, 2), Admission::stop);
  out->finish();
  EXPECT_TRUE(outcome_.write_failed);
  EXPECT_EQ(outcome_.write_err, EPIPE);
  EXPECT_EQ(outcome_.blocks_out, 1);
  EXPECT_EQ(outcome_.past_end, 1u);
  EXPECT_EQ(budget_.in_flight(), 0u);
}

// With workers the reader waits: for the next block while it is on its way and the window holds
// its lookahead, and for blocks on their way when the budget is short, until they arrive and
// show that the window is stuck.
TEST_F(Ordered, TheReaderWaitsForBlocksOnTheirWayAndNeverForOnesThatCantCome) {
  OrderedOutput::Settings settings;
  settings.lookahead = 2;
  {
    auto out = make(3, settings);
    EXPECT_EQ(admit(*out, 0, 0), Admission::counted);
    EXPECT_EQ(admit(*out, 1, 1), Admission::counted);
    auto third = std::async(std::launch::async, [&] { return admit(*out, 2, 2); });
    EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout);  // block 0 is on its way
    arrive(*out, 0);
    ASSERT_EQ(third.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(third.get(), Admission::counted);
    arrive(*out, 1);
    arrive(*out, 2);
    out->finish();
  }
  budget_.set_limit(3 * kUnit);
  auto out = make(4, settings);
  EXPECT_EQ(admit(*out, 0, 1), Admission::counted);
  EXPECT_EQ(admit(*out, 1, 2), Admission::counted);
  auto fourth = std::async(std::launch::async, [&] { return admit(*out, 2, 3); });
  EXPECT_EQ(fourth.wait_for(200ms), std::future_status::timeout);  // blocks 1 and 2 may free room
  arrive(*out, 1);
  arrive(*out, 2);
  ASSERT_EQ(fourth.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(fourth.get(), Admission::stop);
  out->finish();
  EXPECT_TRUE(outcome_.window_full);
}

}  // namespace
}  // namespace uq::pipeline
