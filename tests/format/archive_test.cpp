// Listing and checking archives in process: what the records say, and the verdict of a full
// decode with the checksum, on whole, shuffled, damaged, short and foreign archives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "format/file_writer.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"
#include "unquarvex.h"

namespace uq {
namespace {

using test::Bytes;
using test::QvxBuilder;

constexpr std::size_t kMiB = 1 << 20;

Bytes words(std::size_t n) {
  static const char* const kWords[] = {"list ", "test ", "block ", "archive ", "check\n"};
  Bytes b;
  for (std::uint32_t x = 7; b.size() < n;) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    for (const char* c = kWords[x % 5]; *c != 0 && b.size() < n; ++c) b.push_back(static_cast<std::uint8_t>(*c));
  }
  return b;
}

class Archives : public ::testing::Test {
 protected:
  // The compressor's archive of `data`: 1 MiB blocks, shuffled by `seed`.
  std::string made(const std::string& name, const Bytes& data, std::optional<std::uint64_t> seed = {}) {
    enc::WriterOptions o;
    o.shuffle_seed = seed;
    test::write_file(dir_ / name, enc::compress_bytes(data.data(), data.size(), o));
    return dir_ / name;
  }
  std::string put(const std::string& name, const Bytes& bytes) {
    test::write_file(dir_ / name, bytes);
    return dir_ / name;
  }

  test::TempDir dir_;
  const Bytes data_ = words(3 * kMiB + 123);
};

TEST_F(Archives, AWholeArchiveIsListedAndPassesWithItsChecksum) {
  const std::string path = made("a.qvx", data_, 9);
  const ArchiveListing l = list_archive(path);
  EXPECT_TRUE(l.opened && l.quarvex);
  EXPECT_EQ(l.orig_size, static_cast<std::int64_t>(data_.size()));
  EXPECT_EQ(l.block_count, 4);
  EXPECT_EQ(l.records, 4u);
  EXPECT_EQ(l.coded_blocks + l.stored_blocks, 4u);
  EXPECT_EQ(l.coded_blocks, 4u);
  EXPECT_EQ(l.missing_blocks + l.repeated_blocks + l.out_of_range, 0u);
  EXPECT_FALSE(l.cut_short);
  EXPECT_TRUE(l.has_checksum);
  EXPECT_EQ(l.method, 5);
  EXPECT_EQ(l.block_mib, 1);
  // A budget smaller than one block takes the blocks one at a time: the same verdict.
  const std::pair<int, std::uint64_t> runs[] = {{0, UINT64_MAX}, {2, UINT64_MAX}, {2, 1}};
  for (auto [threads, limit] : runs) {
    const ArchiveCheck c = check_archive(path, threads, limit);
    EXPECT_TRUE(c.intact) << c.reason;
    EXPECT_TRUE(c.has_checksum && c.checksum_matches);
    EXPECT_EQ(c.first_bad_block, -1);
  }
}

TEST_F(Archives, AFlippedByteThatStillDecodesIsCaughtByTheChecksum) {
  Bytes file = test::read_file(made("a.qvx", data_));
  // Flip bytes late in the first block's coded data until one decodes without complaint.
  const std::size_t first_len = file[32] | file[33] << 8 | file[34] << 16;
  bool caught = false;
  for (std::size_t at = 32 + 5 + first_len - 40; at < 32 + 5 + first_len - 8 && !caught; ++at) {
    Bytes damaged = file;
    damaged[at] ^= 0x10;
    const ArchiveCheck c = check_archive(put("d.qvx", damaged), 2, UINT64_MAX);
    EXPECT_FALSE(c.intact);
    if (c.reason == "checksum mismatch") caught = true;
  }
  EXPECT_TRUE(caught);
}

TEST_F(Archives, StructuralDamageIsNamedByBlock) {
  const Bytes part(kMiB, 'p');
  const Bytes tail(10, 't');
  const std::int64_t size = 2 * kMiB + 10;
  struct Case {
    const char* name;
    Bytes file;
    std::string reason;
    std::int64_t bad;
  } cases[] = {
      {"missing", QvxBuilder({.orig_size = size}).block(part).block(tail, 0x02).bytes(), "block 1 missing", 1},
      {"repeated", QvxBuilder({.orig_size = size}).block(part).block(part, 0x03).bytes(), "block 0: block repeated", 0},
      // An empty record at index N of a file of whole blocks: restored as nothing, yet no block.
      {"past-end", QvxBuilder({.orig_size = 2 * kMiB}).block(part).block(part).block({}).bytes(),
       "a record past the last block", -1},
      {"beyond", QvxBuilder({.orig_size = size}).block(part).block(part).block(tail).block({}).bytes(),
       "block 3: block past the end", 3},
      {"cut", QvxBuilder({.orig_size = size}).block(part).record(kMiB).raw(Bytes(100, 'p')).bytes(),
       "block 1: cut short: 100 of 1048576 bytes", 1},
      {"header", Bytes{0, 'Q', 'V', '1'}, "read error: cut short", -1},
      {"foreign", Bytes(40, 'x'), "not a quarvex file", -1},
  };
  for (const Case& c : cases) {
    const ArchiveCheck check = check_archive(put(std::string(c.name) + ".qvx", c.file), 2, UINT64_MAX);
    EXPECT_FALSE(check.intact) << c.name;
    EXPECT_EQ(check.reason, c.reason) << c.name;
    EXPECT_EQ(check.first_bad_block, c.bad) << c.name;
  }
  // Without a checksum (another writer's archive) a whole file still passes.
  const ArchiveCheck plain = check_archive(put("plain.qvx", QvxBuilder({.orig_size = size})
                                                              .block(part).block(part).block(tail).bytes()), 0, UINT64_MAX);
  EXPECT_TRUE(plain.intact) << plain.reason;
  EXPECT_FALSE(plain.has_checksum);
}

TEST_F(Archives, OddRecordsAreCountedWithoutDecoding) {
  const Bytes part(kMiB, 'p');
  const ArchiveListing l = list_archive(put("odd.qvx", QvxBuilder({.orig_size = 3 * kMiB})
                                                           .block(part)
                                                           .block(part, 0x03)   // block 0 again
                                                           .block(part, 0x09)   // block 6: past the end
                                                           .record(kMiB)        // cut short
                                                           .raw(Bytes(10, 'p'))
                                                           .bytes()));
  EXPECT_EQ(l.records, 4u);
  EXPECT_EQ(l.stored_blocks, 1u);
  EXPECT_EQ(l.repeated_blocks, 1u);
  EXPECT_EQ(l.out_of_range, 1u);
  EXPECT_EQ(l.missing_blocks, 2u);
  EXPECT_TRUE(l.cut_short);
  EXPECT_FALSE(l.has_checksum);
  const ArchiveListing missing = list_archive(dir_ / "none.qvx");
  EXPECT_FALSE(missing.opened);
  EXPECT_EQ(missing.err, ENOENT);
}

// A record lies within 127 places of its block: a repeat 254 records apart is still one, while
// indexes 256 apart (which share a slot of the listing's window) are two different blocks.
TEST_F(Archives, RepeatsAreCountedAcrossTheWholeReachOfARecord) {
  const std::int64_t n = 400;
  QvxBuilder b({.orig_size = n * static_cast<std::int64_t>(kMiB)});
  for (int k = 0; k < 300; ++k) {
    // Record 0 names block 127, record 127 block 0, record 254 block 127 again; the rest their own.
    b.record(0, k == 0 ? 0xFE : k == 127 ? 0xFF : k == 254 ? 0xFF : 0x00);
  }
  const ArchiveListing l = list_archive(put("far.qvx", b.bytes()));
  EXPECT_EQ(l.records, 300u);
  EXPECT_EQ(l.coded_blocks, 299u);
  EXPECT_EQ(l.repeated_blocks, 1u);
  EXPECT_EQ(l.missing_blocks, 101u);  // block 254, and 300 to 399
  EXPECT_EQ(l.out_of_range, 0u);

  // Block 0 named again by record 127, the last record that can name it: its flag is still kept.
  QvxBuilder first({.orig_size = 200 * static_cast<std::int64_t>(kMiB)});
  for (int k = 0; k < 200; ++k) first.record(0, k == 127 ? 0xFF : 0x00);
  const ArchiveListing f = list_archive(put("first.qvx", first.bytes()));
  EXPECT_EQ(f.coded_blocks, 199u);
  EXPECT_EQ(f.repeated_blocks, 1u);
  EXPECT_EQ(f.missing_blocks, 1u);  // block 127
}

// Records anywhere within their reach, repeated, out of range: the counts of a set of every index.
TEST_F(Archives, RecordCountsMatchASetOfEveryIndex) {
  std::uint32_t x = 99;
  auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
  for (int round = 0; round < 20; ++round) {
    const std::int64_t n = 1500 + static_cast<std::int64_t>(next() % 200);
    const int records = 1400 + static_cast<int>(next() % 400);
    QvxBuilder b({.orig_size = n * static_cast<std::int64_t>(kMiB) - 7});
    std::set<std::int64_t> seen;
    std::uint64_t repeated = 0;
    std::uint64_t out = 0;
    for (int k = 0; k < records; ++k) {
      const int distance = static_cast<int>(next() % 255) - 127;
      const auto rel = static_cast<std::uint8_t>(std::abs(distance) * 2 + (distance < 0 ? 1 : 0));
      b.record(0, rel);
      const std::int64_t index = k + distance;
      if (index < 0 || index >= n) {
        ++out;
      } else if (!seen.insert(index).second) {
        ++repeated;
      }
    }
    const ArchiveListing l = list_archive(put("r.qvx", b.bytes()));
    EXPECT_EQ(l.repeated_blocks, repeated) << round;
    EXPECT_EQ(l.out_of_range, out) << round;
    EXPECT_EQ(l.missing_blocks, static_cast<std::uint64_t>(n) - seen.size()) << round;
    EXPECT_EQ(l.coded_blocks, seen.size()) << round;
  }
}

}  // namespace
}  // namespace uq
