// list_archive: the header and the records of one archive, block bytes passed over by seeking.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "format/file_format.h"
#include "unquarvex.h"

namespace uq {

namespace {

struct Closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// The block indexes seen among the records that can still repeat them. Record k names an index
// from k - 127 to k + 127, so once record k is read no later record names an index below
// k - 127: a flag per index of those 255 is all that must be kept, in 256 slots keyed by index
// mod 256. A listing takes the same memory for any number of records.
class RecentBlocks {
 public:
  // Record k comes next: the flags of indexes no record from k on can name are dropped, so that
  // their slots serve the indexes that enter the window.
  void advance_to(std::int64_t k) {
    const std::int64_t low = k - format::kMaxIndexDistance;
    for (; low_ < low; ++low_) flags_[slot(low_)] = false;
  }
  // Records `index` (within the window); false when it was seen before.
  bool first_time(std::int64_t index) {
    bool& flag = flags_[slot(index)];
    if (flag) return false;
    flag = true;
    return true;
  }

 private:
  static constexpr std::size_t kSlots = 256;
  static_assert(kSlots >= 2 * format::kMaxIndexDistance + 1);
  static std::size_t slot(std::int64_t index) { return static_cast<std::size_t>(index) % kSlots; }

  std::array<bool, kSlots> flags_{};
  std::int64_t low_ = -format::kMaxIndexDistance;  // the lowest index still kept
};

}  // namespace

ArchiveListing list_archive(const std::string& path) {
  ArchiveListing list;
  std::unique_ptr<std::FILE, Closer> in(std::fopen(path.c_str(), "rb"));
  if (!in || fseeko(in.get(), 0, SEEK_END) != 0) {
    list.err = errno;
    return list;
  }
  list.archive_size = static_cast<std::uint64_t>(std::max<off_t>(ftello(in.get()), 0));
  std::rewind(in.get());

  std::uint8_t header_bytes[format::kHeaderSize];
  errno = 0;
  const std::size_t got = std::fread(header_bytes, 1, sizeof header_bytes, in.get());
  if (std::ferror(in.get())) {
    list.err = errno;
    return list;
  }
  list.opened = true;
  if (got < sizeof header_bytes) return list;
  const format::FileHeader header = format::parse_header(header_bytes);
  if (!header.magic_ok) return list;
  list.quarvex = true;
  list.orig_size = header.orig_size;
  list.method = header.method;
  list.level = header.level;
  list.filter = header.filter;
  list.block_mib = header.block_mib;
  list.has_checksum = std::equal(kChecksumTag, kChecksumTag + 4, header_bytes + kChecksumAt);
  if (list.has_checksum) {
    for (int i = 7; i >= 0; --i) list.checksum = (list.checksum << 8) | header_bytes[kChecksumAt + 4 + i];
  }
  const std::int64_t block = format::block_size(header.block_mib);
  // A header of 0 MiB blocks can't hold a non-empty file: every record of it is out of range.
  list.block_count = block > 0 ? format::block_count(header.orig_size, block) : 0;

  RecentBlocks recent;
  std::uint64_t distinct = 0;  // indexes 0..N-1 with a record
  std::uint64_t at = format::kHeaderSize;
  for (std::int64_t k = 0;; ++k) {
    std::uint8_t record_bytes[format::kRecordSize];
    const std::size_t n = std::fread(record_bytes, 1, sizeof record_bytes, in.get());
    if (n < sizeof record_bytes) {
      if (std::ferror(in.get())) {
        list.opened = false;
        list.err = errno;
      }
      list.cut_short = n > 0;
      break;
    }
    const format::BlockRecord record = format::parse_record(record_bytes);
    ++list.records;
    at += format::kRecordSize + record.comp_len;
    if (at > list.archive_size) {
      list.cut_short = true;
      break;
    }
    const std::int64_t index = format::block_index(k, record.rel_index);
    recent.advance_to(k);
    const std::int64_t len = index >= 0 && block > 0 ? format::block_len(header.orig_size, block, index) : 0;
    if (index < 0 || index >= list.block_count || static_cast<std::int64_t>(record.comp_len) > len) {
      ++list.out_of_range;
    } else if (!recent.first_time(index)) {
      ++list.repeated_blocks;
    } else if (record.comp_len == len) {
      ++list.stored_blocks;
      ++distinct;
    } else {
      ++list.coded_blocks;
      ++distinct;
    }
    if (record.comp_len > 0 && fseeko(in.get(), record.comp_len, SEEK_CUR) != 0) {
      list.opened = false;
      list.err = errno;
      break;
    }
  }
  list.missing_blocks = static_cast<std::uint64_t>(list.block_count) - distinct;
  return list;
}

}  // namespace uq
