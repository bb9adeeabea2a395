// The file writer in memory: header and record bytes, the shuffled record order, the stored or
// coded choice, and whole files restored block by block through the decoder's own pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "codec/post_filters.h"
#include "encoder/test_data.h"
#include "format/file_format.h"
#include "format/file_writer.h"
#include "support/qvx_builder.h"
#include "unquarvex.h"

namespace uq::test {
namespace {

// Restores a whole compressed file held in memory, checking every record on the way.
Data restore_file(const Data& file) {
  EXPECT_GE(file.size(), format::kHeaderSize);
  std::uint8_t head[format::kHeaderSize];
  std::memcpy(head, file.data(), sizeof head);
  format::FileHeader h = format::parse_header(head);
  EXPECT_TRUE(h.magic_ok);
  const std::int64_t block = format::block_size(h.block_mib);
  const std::int64_t count = format::block_count(h.orig_size, block);
  Data out(static_cast<std::size_t>(h.orig_size), 0xEE);
  std::set<std::int64_t> seen;
  std::size_t at = format::kHeaderSize;
  for (std::int64_t k = 0; at < file.size(); ++k) {
    std::uint8_t rec[format::kRecordSize];
    std::memcpy(rec, file.data() + at, sizeof rec);
    at += sizeof rec;
    format::BlockRecord r = format::parse_record(rec);
    std::int64_t index = format::block_index(k, r.rel_index);
    EXPECT_TRUE(index >= 0 && index < count && seen.insert(index).second) << k;
    auto len = static_cast<std::size_t>(format::block_len(h.orig_size, block, index));
    EXPECT_LE(r.comp_len, len);
    Data payload(file.begin() + static_cast<std::ptrdiff_t>(at),
                 file.begin() + static_cast<std::ptrdiff_t>(at + r.comp_len));
    at += r.comp_len;
    Data restored = r.comp_len == len ? payload : restore_block(payload, len, h.level, 0);
    codec::apply_post_filter(h.filter, restored.data(), restored.size());
    std::memcpy(out.data() + index * block, restored.data(), len);
  }
  EXPECT_EQ(static_cast<std::int64_t>(seen.size()), count);
  return out;
}

TEST(FileWriter, HeaderHoldsTheFieldsAndZerosWhereTheChecksumWillGo) {
  enc::WriterOptions o;
  o.level = 9;
  o.filter = 2;
  o.block_mib = 0x0203;
  auto h = enc::make_header(0x0102030405060708, o);
  EXPECT_EQ(Data(h.begin(), h.end()),
            hex("00 51 56 30 08 07 06 05 04 03 02 01 05 09 00 00 00 02 03 02"
                " 00 00 00 00 00 00 00 00 00 00 00 00"));
}

// Without a block size a file gets the largest whole MiB, up to the level's full block, that cuts
// it into enough blocks for two workers to share about evenly; a given size always wins.
TEST(FileWriter, TheBlockSizeFollowsTheFileUnlessOneIsGiven) {
  constexpr std::int64_t M = std::int64_t{1} << 20;
  struct Case {
    std::optional<std::int64_t> size;
    std::uint8_t level;
    std::uint16_t mib;
  };
  for (const Case& c : std::initializer_list<Case>{
           {std::nullopt, 8, 16}, {std::nullopt, 9, 64}, {std::nullopt, 3, 16}, {0, 8, 16}, {-1, 9, 64},
           {100 * M, 200, 16},    // levels past --best's are not --best
           {8 * M - M / 8, 8, 2}, // 4 blocks, 4 MiB to 3.875
           {19 * M, 9, 10},       // 10 to 9: just fair
           {1, 8, 1}, {16 * M, 8, 4}, {16 * M - 1, 8, 4}, {24 * M, 3, 6}, {6 * M, 8, 1},
           {9 * M, 8, 2},         // 5 blocks, 6 MiB to 3
           {17 * M, 8, 4},        // 5 blocks, the last of 1 MiB with the first worker
           {100 * M, 8, 16},      // 7 blocks, 52 MiB to 48
           {112 * M, 8, 14},      // 8 blocks, not 7 of 16
           {128 * M, 8, 16}, {200 * M, 8, 16},
           {144 * M, 8, 15},      // 10 blocks, not 9 of 16 (80 to 64) {std::int64_t{1} << 40, 8, 16},
           {100 * M, 9, 52},      // 52 + 48
           {129 * M, 9, 64},      // 64 + 1 byte to the first worker, 64 to the second
           {4 * M + 1, 9, 2}, {5 * M, 9, 2}, {std::int64_t{1} << 40, 9, 64}}) {
    SCOPED_TRACE(testing::Message() << (c.size ? *c.size : -2) << " bytes, level " << int{c.level});
    EXPECT_EQ(enc::automatic_block_mib(c.size, c.level), c.mib);
    EXPECT_EQ(enc::block_mib_for(c.size, c.level, std::nullopt), c.mib);
    EXPECT_EQ(enc::block_mib_for(c.size, c.level, std::uint16_t{7}), 7);
  }
  // A file written without a block size carries the one chosen.
  enc::WriterOptions o;
  o.level = 1;
  const Data input = text_like(3 * M, 4);
  const Data file = enc::compress_bytes(input.data(), input.size(), o);
  EXPECT_EQ(file[18] | file[19] << 8, 1);
  EXPECT_EQ(enc::make_header(112 * M, o)[18], 14);
}

TEST(FileWriter, RecordsCarryTheIndexRelativeToTheirPlace) {
  auto bytes = [](std::uint32_t comp_len, std::int64_t index, std::int64_t k) {
    auto r = enc::make_record(comp_len, index, k);
    return Data(r.begin(), r.end());
  };
  EXPECT_EQ(bytes(0x0A, 0, 0), hex("0a 00 00 00 00"));
  // Blocks written in the order 1, 0, 2.
  EXPECT_EQ(bytes(0x11223344, 1, 0), hex("44 33 22 11 02"));
  EXPECT_EQ(bytes(7, 0, 1), hex("07 00 00 00 03"));
  EXPECT_EQ(bytes(7, 2, 2), hex("07 00 00 00 00"));
  EXPECT_EQ(bytes(7, 127, 0), hex("07 00 00 00 fe"));
  EXPECT_EQ(bytes(7, 0, 127), hex("07 00 00 00 ff"));
}

TEST(FileWriter, ShuffledOrderKeepsEveryRecordWithinItsWindow) {
  EXPECT_EQ(enc::record_order(4, std::nullopt), (std::vector<std::int64_t>{0, 1, 2, 3}));
  EXPECT_TRUE(enc::record_order(0, 5).empty());
  for (std::uint64_t seed : {0u, 1u, 77u}) {
    auto order = enc::record_order(2000, seed);
    EXPECT_EQ(order, enc::record_order(2000, seed));
    std::set<std::int64_t> all(order.begin(), order.end());
    EXPECT_EQ(all.size(), 2000u);
    EXPECT_EQ(*all.begin(), 0);
    EXPECT_EQ(*all.rbegin(), 1999);
    std::int64_t farthest = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
      farthest = std::max(farthest, std::abs(order[k] - static_cast<std::int64_t>(k)));
    }
    EXPECT_LE(farthest, 127);
    EXPECT_GT(farthest, 60);  // the window is really used
  }
  EXPECT_NE(enc::record_order(100, 1), enc::record_order(100, 2));
}

TEST(FileWriter, BlocksAreStoredUnlessCodingMakesThemSmaller) {
  Data noise = random_bytes(5000);
  Data block = noise;
  EXPECT_EQ(enc::pack_block(block, 5, 0), noise);

  // The filter applies to stored blocks too.
  block = noise;
  Data stored = enc::pack_block(block, 5, 2);
  Data expected = noise;
  enc::delta3_encode(expected.data(), expected.size());
  EXPECT_EQ(stored, expected);

  Data text = text_like(5000);
  block = text;
  Data coded = enc::pack_block(block, 5, 0);
  EXPECT_LT(coded.size(), text.size());
  EXPECT_EQ(restore_block(coded, text.size(), 5), text);

  // Two bytes can't be coded smaller than they are.
  block = {1, 2};
  EXPECT_EQ(enc::pack_block(block, 5, 0), (Data{1, 2}));
}

// A record whose length equals its block's says "stored": a block whose coded form is exactly as
// long as the block must be stored, or its coded bytes would be restored as they are.
TEST(FileWriter, ABlockThatCodesToExactlyItsOwnLengthIsStored) {
  constexpr std::size_t kLen = 4096;
  constexpr std::uint8_t kLevel = 5;
  // Noise codes about 8% longer than itself and zeros far shorter: the boundary between too long
  // and short enough, found by bisecting the share of noise, is exactly kLen for most seeds.
  Data input;
  for (std::uint32_t seed = 1; seed <= 10 && input.empty(); ++seed) {
    const auto make = [&](std::size_t noise) {
      Data d = random_bytes(noise, seed);
      d.resize(kLen, 0);
      return d;
    };
    const auto coded = [&](std::size_t noise) {
      const Data d = make(noise);
      return enc::encode_block(d.data(), d.size(), kLevel).size();
    };
    std::size_t fits = 0, too_long = kLen;  // coded(fits) <= kLen < coded(too_long)
    while (too_long - fits > 1) {
      const std::size_t mid = (fits + too_long) / 2;
      (coded(mid) <= kLen ? fits : too_long) = mid;
    }
    if (coded(fits) == kLen) input = make(fits);
  }
  ASSERT_FALSE(input.empty()) << "no input codes to exactly its length";
  Data block = input;
  EXPECT_EQ(enc::pack_block(block, kLevel, 0), input);

  enc::WriterOptions o;
  o.level = kLevel;
  o.filter = 0;
  const Data file = enc::compress_bytes(input.data(), input.size(), o);
  ASSERT_EQ(file.size(), format::kHeaderSize + format::kRecordSize + kLen);
  EXPECT_EQ(Data(file.end() - kLen, file.end()), input);
  EXPECT_EQ(restore_file(file), input);
}

TEST(FileWriter, WholeFilesRestoreInAnyRecordOrderOnAnyThreadCount) {
  // Three blocks of 1 MiB and a short fourth: repeated text, noise and zeros, text again. Long
  // repeats keep the encoder quick under the sanitizers.
  auto repeated = [](std::uint32_t seed) {
    Data unit = text_like(64 << 10, seed);
    Data d;
    for (int i = 0; i < 16; ++i) d.insert(d.end(), unit.begin(), unit.end());
    return d;
  };
  Data input = repeated(1);
  Data noise = random_bytes(1 << 18);
  input.insert(input.end(), noise.begin(), noise.end());
  input.resize(2 << 20, 0);
  Data more = repeated(4);
  input.insert(input.end(), more.begin(), more.end());
  input.resize((3 << 20) + 1000, 'z');

  enc::WriterOptions o;
  o.threads = 1;
  Data plain = enc::compress_bytes(input.data(), input.size(), o);
  EXPECT_EQ(restore_file(plain), input);

  o.threads = 3;
  EXPECT_EQ(enc::compress_bytes(input.data(), input.size(), o), plain);

  o.shuffle_seed = 3;
  Data shuffled = enc::compress_bytes(input.data(), input.size(), o);
  EXPECT_EQ(shuffled.size(), plain.size());
  EXPECT_NE(shuffled, plain);
  EXPECT_EQ(restore_file(shuffled), input);
}

TEST(FileWriter, FailuresOfTheSinkOrSourceAreReported) {
  enc::WriterOptions o;
  std::string error;
  Data input = text_like(1000);
  auto read = [&](std::uint64_t off, std::uint8_t* dst, std::size_t len) {
    std::memcpy(dst, input.data() + off, len);
    return true;
  };
  auto refuse_read = [](std::uint64_t, std::uint8_t*, std::size_t) { return false; };
  std::size_t written = 0;
  auto write_header_only = [&](const std::uint8_t*, std::size_t len) {
    written += len;
    return written <= format::kHeaderSize;
  };
  auto write_all = [](const std::uint8_t*, std::size_t) { return true; };
  auto rewrite = [](const std::uint8_t*, std::size_t) { return true; };
  auto refuse_rewrite = [](const std::uint8_t*, std::size_t) { return false; };
  EXPECT_FALSE(enc::write_compressed(1000, read, write_header_only, rewrite, o, nullptr, &error));
  EXPECT_NE(error.find("write error"), std::string::npos);
  EXPECT_FALSE(enc::write_compressed(1000, refuse_read, write_all, rewrite, o, nullptr, &error));
  EXPECT_NE(error.find("read error"), std::string::npos);
  error.clear();
  EXPECT_FALSE(enc::write_compressed(1000, read, write_all, refuse_rewrite, o, nullptr, &error));
  EXPECT_NE(error.find("write error"), std::string::npos);
  o.block_mib = 0;
  EXPECT_FALSE(enc::write_compressed(1000, read, write_all, rewrite, o, nullptr, &error));
}

// A stream read once, front to back, gives the very bytes of a file written with its size known:
// its header is provisional (no identifier) until the end, then whole; with the size and the
// checksum announced, the header goes out whole first and is never rewritten.
TEST(FileWriter, AStreamGivesTheSameFileAsAKnownSizeAnnouncedOrNot) {
  enc::WriterOptions o;
  o.block_mib = 1;  // a known size would otherwise take smaller blocks than a stream
  o.threads = 2;
  o.level = 1;  // the framing is the same at every level; the fastest keeps the test quick
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1} << 20, (std::size_t{1} << 20) + 1,
                              (std::size_t{5} << 19) + 77}) {
    SCOPED_TRACE(n);
    const Data input = text_like(n, 40);
    const Data expected = enc::compress_bytes(input.data(), input.size(), o);
    std::size_t at = 0;
    // The input in uneven pieces, as pipes give it; a block is asked for whole.
    const auto read = [&](std::uint8_t* dst, std::size_t len) {
      const std::size_t take = std::min(len, input.size() - at);
      if (take > 0) std::memcpy(dst, input.data() + at, take);
      at += take;
      return static_cast<std::int64_t>(take);
    };
    Data out;
    Data first_header;
    const auto write = [&](const std::uint8_t* p, std::size_t len) {
      if (out.empty()) first_header.assign(p, p + len);
      out.insert(out.end(), p, p + len);
      return true;
    };
    int rewrites = 0;
    const auto rewrite = [&](const std::uint8_t* p, std::size_t len) {
      ++rewrites;
      std::copy(p, p + len, out.begin());
      return true;
    };
    std::string error;
    enc::WriteSummary summary;
    ASSERT_TRUE(enc::write_stream(read, write, rewrite, std::nullopt, o, &summary, &error)) << error;
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(rewrites, 1);
    EXPECT_EQ(Data(first_header.begin() + 1, first_header.begin() + 4), (Data{0, 0, 0}));
    EXPECT_EQ(summary.in_bytes, n);

    // The facts of a first read, fed in odd pieces, announce the same header.
    enc::StreamDigest digest(*o.block_mib);
    for (std::size_t k = 0; k < n; k += 7777) digest.add(input.data() + k, std::min<std::size_t>(7777, n - k));
    const enc::StreamFacts facts = digest.facts();
    EXPECT_EQ(facts.orig_size, static_cast<std::int64_t>(n));
    at = 0;
    out.clear();
    rewrites = 0;
    ASSERT_TRUE(enc::write_stream(read, write, rewrite, facts, o, nullptr, &error)) << error;
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(rewrites, 0);
    EXPECT_TRUE(first_header == Data(expected.begin(), expected.begin() + format::kHeaderSize));
  }
}

// Once the header went out whole, bytes other than the announced ones fail the write: more, fewer,
// or different.
TEST(FileWriter, AStreamThatDiffersFromItsAnnouncedFactsFails) {
  enc::WriterOptions o;
  const Data input = text_like(3000, 41);
  // A stream, whose size is unknown, takes the level's full block: so does its digest.
  enc::StreamDigest digest(enc::block_mib_for(std::nullopt, o.level, o.block_mib));
  digest.add(input.data(), input.size());
  const enc::StreamFacts facts = digest.facts();
  const auto write = [](const std::uint8_t*, std::size_t) { return true; };
  const auto rewrite = [](const std::uint8_t*, std::size_t) { return true; };
  const auto reader = [](const Data& bytes) {
    return [&bytes, at = std::size_t{0}](std::uint8_t* dst, std::size_t len) mutable {
      const std::size_t take = std::min(len, bytes.size() - at);
      std::memcpy(dst, bytes.data() + at, take);
      at += take;
      return static_cast<std::int64_t>(take);
    };
  };
  for (const Data& actual : {text_like(3001, 41), text_like(2999, 41), text_like(3000, 42)}) {
    std::string error;
    EXPECT_FALSE(enc::write_stream(reader(actual), write, rewrite, facts, o, nullptr, &error));
    EXPECT_EQ(error, "the input changed while it was read");
  }
  // The announced bytes under a size they don't have: the header that went out first is wrong.
  enc::StreamFacts wrong_size = facts;
  ++wrong_size.orig_size;
  std::string error;
  EXPECT_FALSE(enc::write_stream(reader(input), write, rewrite, wrong_size, o, nullptr, &error));
  EXPECT_EQ(error, "the input changed while it was read");
  // ... and so does a file written at offsets whose blocks differ from the announced checksum.
  const Data other = text_like(3000, 42);
  const auto read_at = [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    std::memcpy(dst, other.data() + offset, len);
    return true;
  };
  EXPECT_FALSE(enc::write_compressed(3000, read_at, write, rewrite, o, nullptr, &error, facts));
  EXPECT_EQ(error, "the input changed while it was read");
  // A read that fails is a read error.
  const auto refuse = [](std::uint8_t*, std::size_t) { return std::int64_t{-1}; };
  EXPECT_FALSE(enc::write_stream(refuse, write, rewrite, std::nullopt, o, nullptr, &error));
  EXPECT_NE(error.find("read error"), std::string::npos);
}

// Header bytes 20..31 carry the tag and the checksum of the restored file: XXH3-64 over the XXH3-64
// of each block (before its filter) in index order, whatever order the records are written in.
TEST(FileWriter, TheHeaderCarriesTheChecksumOfTheRestoredBlocks) {
  enc::WriterOptions o;
  o.filter = 2;
  o.level = 1;  // the checksum is the same at every level; the fastest keeps the test quick
  Data input = text_like(2 * (1 << 20) + 5000);
  std::vector<std::uint64_t> digests;
  for (std::size_t at = 0; at < input.size(); at += 1 << 20) {
    digests.push_back(block_digest(input.data() + at, std::min<std::size_t>(1 << 20, input.size() - at)));
  }
  const std::uint64_t expected = file_checksum(digests);
  for (std::optional<std::uint64_t> seed : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{5}}) {
    o.shuffle_seed = seed;
    Data file = enc::compress_bytes(input.data(), input.size(), o);
    EXPECT_EQ(Data(file.begin() + 20, file.begin() + 24), (Data{'Q', 'C', 'S', '1'}));
    std::uint64_t carried = 0;
    for (int i = 7; i >= 0; --i) carried = (carried << 8) | file[24 + static_cast<std::size_t>(i)];
    EXPECT_EQ(carried, expected);
    EXPECT_EQ(restore_file(file), input);
  }
  // An empty file: the checksum of no blocks.
  Data empty = enc::compress_bytes(nullptr, 0, o);
  std::uint64_t carried = 0;
  for (int i = 7; i >= 0; --i) carried = (carried << 8) | empty[24 + static_cast<std::size_t>(i)];
  EXPECT_EQ(carried, file_checksum({}));
}

}  // namespace
}  // namespace uq::test
