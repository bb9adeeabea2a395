// What the tests of `quarvex -d` share: archives made by hand with exactly the damage a case
// needs (blocks of 1 MiB of random bytes, stored, in any record order; a coded block that can't
// decode; a cut), and where the blocks of an archive made by quarvex lie.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/qvx_builder.h"

namespace uq::test {

constexpr std::size_t kBlock = 1 << 20;

// Block `i` of every hand-made archive.
inline Bytes block_bytes(std::int64_t i) { return random_bytes(kBlock, static_cast<std::uint32_t>(i) + 100); }

// What an archive of `count` blocks restores to.
inline Bytes restored_blocks(std::int64_t count) {
  Bytes all;
  for (std::int64_t i = 0; i < count; ++i) {
    const Bytes b = block_bytes(i);
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

// The rel_index byte of block `index` written as the record at place `k`.
inline std::uint8_t rel_index(std::int64_t index, std::int64_t k) {
  const std::int64_t distance = index >= k ? index - k : k - index;
  return static_cast<std::uint8_t>((distance << 1) | (index < k ? 1 : 0));
}

// An archive of `count` stored blocks whose records come in `order` (block order when empty);
// the blocks in `damaged` have a coded stream instead that runs far past its 7 bytes, which the
// decoder refuses.
inline Bytes hand_made(std::int64_t count, std::vector<std::int64_t> order = {},
                       const std::set<std::int64_t>& damaged = {}) {
  if (order.empty()) {
    for (std::int64_t i = 0; i < count; ++i) order.push_back(i);
  }
  QvxBuilder b({.orig_size = count * static_cast<std::int64_t>(kBlock)});
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::uint8_t rel = rel_index(order[k], static_cast<std::int64_t>(k));
    b.block(damaged.count(order[k]) != 0 ? hex("11 22 00 00 00 00 00") : block_bytes(order[k]), rel);
  }
  return b.bytes();
}

// Where the bytes of block `k` start in a hand-made archive in block order, or in one that
// quarvex made of random bytes (every block stored, in order).
inline std::size_t block_at(std::size_t k) { return 32 + 5 + k * (kBlock + 5); }

// The tests of restores: a restore that hangs fails in two minutes, not at CTest's time-out.
class RestoreTest : public QuarvexTest {
 protected:
  RunResult quarvex(std::vector<std::string> args, RunOptions options = {}) {
    if (options.timeout_seconds == 0) options.timeout_seconds = 120;
    return QuarvexTest::quarvex(std::move(args), std::move(options));
  }
};

// The first `n` bytes.
inline Bytes cut(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

}  // namespace uq::test
