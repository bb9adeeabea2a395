// The pool of block buffers: a released buffer serves the next block of about its size, on any
// thread; big buffers and buffers beyond the pool's room go back to the system.
#include "codec/block_buffers.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace uq::codec
