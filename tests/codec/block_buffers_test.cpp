// The pool of block buffers: a released buffer serves the next block of about its size, on any
// thread; big buffers and buffers beyond the pool's room go back to the system.
#include "codec/block_buffers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace uq::codec {
namespace {

TEST(BlockBuffers, AReleasedBufferServesTheNextBlockOfAboutItsSize) {
  std::uint8_t* first = allocate_output(1 << 20);
  ASSERT_NE(first, nullptr);
  const std::size_t before = pooled_bytes();
  release_buffer(first);
  const std::size_t idle = pooled_bytes() - before;
  EXPECT_GE(idle, (1u << 20) + kOutputSlack);
  // Another thread's block of the same size gets it back.
  std::uint8_t* second = nullptr;
  std::thread([&] { second = allocate_output(1 << 20); }).join();
  EXPECT_EQ(second, first);
  EXPECT_EQ(pooled_bytes(), before);
  // A block of under half its size takes a piece of its own size, not that one; an input
  // buffer's zeroed padding is zeroed again when it is reused.
  std::uint8_t* small = allocate_output(1000);
  release_buffer(small);
  release_buffer(second);
  EXPECT_EQ(allocate_output(1000), small);
  EXPECT_EQ(pooled_bytes(), before + idle);
  release_buffer(small);
  std::uint8_t* input = allocate_input(800'000);
  ASSERT_NE(input, nullptr);
  for (std::size_t i = 800'000; i < 800'000 + kInputPadding; ++i) ASSERT_EQ(input[i], 0) << i;
  release_buffer(input);
}

// Each block a good deal larger than the one before misses the pool; the piece idle the longest
// goes back to the system then, so idle pieces do not pile up with the length of the file.
TEST(BlockBuffers, AMissGivesBackTheOldestIdlePiece) {
  // Earlier tests in this process may have left idle pieces, the oldest of which a miss would
  // give back instead: each buffer too big to pool misses and gives one back, until none is left.
  while (pooled_bytes() > 0) release_buffer(allocate_output(kLargeBufferMax + 1));
  const std::size_t before = pooled_bytes();
  std::size_t size = 100'000;
  for (int i = 0; i < 6; ++i, size *= 2) {
    std::uint8_t* b = allocate_output(size);
    ASSERT_NE(b, nullptr);
    release_buffer(b);
  }
  size /= 2;
  EXPECT_GE(pooled_bytes(), size + kOutputSlack);
  EXPECT_LT(pooled_bytes(), before + size + kOutputSlack + (64 << 10));
}

TEST(BlockBuffers, ThePoolKeepsNoBigBuffersAndNoMoreThanItsRoom) {
  std::uint8_t* big = allocate_output(kLargeBufferMax + 1);
  ASSERT_NE(big, nullptr);
  const std::size_t before = pooled_bytes();
  release_buffer(big);
  EXPECT_EQ(pooled_bytes(), before);
  std::vector<std::uint8_t*> many;
  for (int i = 0; i < 12; ++i) many.push_back(allocate_output(kPooledBufferMax / 2));
  for (std::uint8_t* b : many) release_buffer(b);
  EXPECT_LE(pooled_bytes(), kPoolBytes);
  release_buffer(nullptr);
}

// A 16 MiB block's output buffer is kept while the pool holds one more of them at most, however
// many smaller inputs it holds, and given back while it holds two more.
TEST(BlockBuffers, ALargeBufferIsKeptOnlyWhileThePoolHoldsFewLargeOnes) {
  while (pooled_bytes() > 0) release_buffer(allocate_output(kLargeBufferMax + 1));
  constexpr std::size_t kBlock = std::size_t{16} << 20;
  std::uint8_t* first = allocate_output(kBlock);
  ASSERT_NE(first, nullptr);
  // Sixteen inputs of 4 MiB, as queued at -p16: more than kLargeHeldMax, but none of them large.
  std::vector<std::uint8_t*> inputs;
  for (int i = 0; i < 16; ++i) inputs.push_back(allocate_input(std::size_t{4} << 20));
  ASSERT_GT(held_bytes(), kLargeHeldMax);
  release_buffer(first);
  EXPECT_GT(pooled_bytes(), kBlock);
  EXPECT_EQ(allocate_output(kBlock), first);
  for (std::uint8_t* b : inputs) release_buffer(b);
  while (pooled_bytes() > 0) release_buffer(allocate_output(kLargeBufferMax + 1));

  std::uint8_t* second = allocate_output(kBlock);
  std::uint8_t* third = allocate_output(kBlock);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(third, nullptr);
  ASSERT_GT(large_held_bytes(), kLargeHeldMax);
  release_buffer(first);
  EXPECT_EQ(pooled_bytes(), 0u);
  release_buffer(second);
  EXPECT_GT(pooled_bytes(), kBlock);
  release_buffer(third);
  EXPECT_GT(pooled_bytes(), 2 * kBlock);
  while (pooled_bytes() > 0) release_buffer(allocate_output(kLargeBufferMax + 1));
}

// Small inputs are cut one after another from a chunk of one huge page, which starts over once
// every piece is back: the next block's input lands on pages already there, its padding zeroed
// again.
TEST(BlockBuffers, SmallInputsShareAChunkThatStartsOverOnceEmpty) {
  constexpr std::size_t kComp = 300'000;
  std::uint8_t* inputs[3];
  for (std::uint8_t*& in : inputs) {
    in = allocate_input(kComp);
    ASSERT_NE(in, nullptr);
  }
  EXPECT_GT(inputs[1] - inputs[0], static_cast<std::ptrdiff_t>(kComp + kInputPadding));
  EXPECT_LT(inputs[1] - inputs[0], static_cast<std::ptrdiff_t>(kComp + kInputPadding + 256));
  EXPECT_EQ(inputs[2] - inputs[1], inputs[1] - inputs[0]);
  std::memset(inputs[0], 0xa5, kComp + kInputPadding);
  const std::size_t held = held_bytes();
  for (std::uint8_t* in : inputs) release_buffer(in);
  EXPECT_EQ(held_bytes(), held);
  std::uint8_t* again = allocate_input(kComp);
  EXPECT_EQ(again, inputs[0]);
  for (std::size_t i = kComp; i < kComp + kInputPadding; ++i) ASSERT_EQ(again[i], 0) << i;
  release_buffer(again);
}

// Inputs given back in the order they were taken, a few in flight as in a restore, leave held
// only the chunks those few span and an empty one kept for the next.
TEST(BlockBuffers, InputsPassingThroughHoldAFewChunksAtMost) {
  constexpr std::size_t kChunk = std::size_t{2} << 20;
  const std::size_t before = held_bytes();
  std::deque<std::uint8_t*> in_flight;
  for (std::size_t i = 0; i < 200; ++i) {
    in_flight.push_back(allocate_input(150'000 + i % 7 * 100'000));
    ASSERT_NE(in_flight.back(), nullptr);
    if (in_flight.size() > 4) {
      release_buffer(in_flight.front());
      in_flight.pop_front();
    }
    ASSERT_LE(held_bytes(), before + 5 * kChunk) << i;
  }
  for (std::uint8_t* in : in_flight) release_buffer(in);
  EXPECT_LE(held_bytes(), before + 2 * kChunk);
}

#if defined(__SANITIZE_ADDRESS__)
// A read past an input's padding is caught under AddressSanitizer, though the next input is cut
// from the same chunk right after it.
TEST(BlockBuffersDeathTest, AReadPastAnInputsPaddingIsCaught) {
  // The piece's header and bytes fill whole cache lines: nothing unused lies after the padding.
  constexpr std::size_t kComp = 6400 - 16 - kInputPadding;
  std::uint8_t* first = allocate_input(kComp);
  std::uint8_t* second = allocate_input(kComp);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_DEATH(
      {
        volatile std::uint8_t past = first[kComp + kInputPadding];
        (void)past;
      },
      "");
  release_buffer(second);
  release_buffer(first);
}
#endif

}  // namespace
}  // namespace uq::codec
