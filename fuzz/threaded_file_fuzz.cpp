// libFuzzer target: any bytes as a whole compressed file, restored twice through the restore
// library: by the threaded run (decode workers and the output writer in this process) and without
// workers. Header byte 0, which the format leaves unexamined, picks the run: 1 to 4 workers (bits
// 0-1) and, with bit 7, a memory budget of 0 to 7 x 64 KiB (bits 4-6) that makes the file decoder
// wait for room, a block at a time when one block is larger than the whole budget. A block size
// over 16 MiB (header bytes 18-19) is taken modulo 16, plus 1, for both runs: under the
// sanitizers each block costs an allocation of its size (0.5 s for 2 GiB), and a 150-byte file
// can name sixteen 2 GiB blocks of no coded bytes, which the threaded run decodes one by one
// (23 s). Blocks that large are left to file_decoder_fuzz, which stops at the first.
//
// What "the same restore" means, since the run without workers stops at a damaged block and the
// threaded run reports it and goes on with the blocks after it:
// - no problem without workers (status 0): the threaded run gives status 0, no problem and the
//   same restored file, byte for byte;
// - a problem in the header or the records (cut short, not a quarvex file, a damaged record):
//   every block before it was restored cleanly, so the threaded run gives the same status, that
//   one problem and nothing else, and the same restored file (or none, as without workers);
// - a damaged block b: the threaded run reports block b damaged too; every block the run without
//   workers wrote (the records before b's) has the same bytes in both files; the threaded run's
//   other problems are damaged blocks that were not written without workers, or one problem of
//   the records after b, which alone makes its status non-zero;
// - out of memory without workers: nothing is compared (it depends on the allocator, not the input).
// Neither run may report a failed write or an output left incomplete: both write to a directory
// of their own.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/file_format.h"
#include "plain_restore.h"
#include "scratch_files.h"

namespace {

using uq::Problem;

constexpr std::uint64_t kBudgetStep = 64 * 1024;
constexpr unsigned kMaxBlockMib = 16;

// Where a block that was restored lies in the restored file.
struct Span {
  std::int64_t index;
  std::uint64_t offset;
  std::uint64_t len;
};

// The blocks that the run without workers wrote before it met damaged block `damaged`: the
// records in file order before the first one for that block. The file decoder accepted each of
// them, so they are taken as they are.
std::vector<Span> blocks_before(const std::uint8_t* data, std::size_t size, std::int64_t damaged) {
  std::vector<Span> spans;
  if (size < uq::format::kHeaderSize) std::abort();  // a damaged block needs a header
  std::uint8_t header_bytes[uq::format::kHeaderSize];
  std::memcpy(header_bytes, data, sizeof header_bytes);
  const uq::format::FileHeader header = uq::format::parse_header(header_bytes);
  const std::int64_t block = uq::format::block_size(header.block_mib);
  std::size_t pos = uq::format::kHeaderSize;
  for (std::int64_t k = 0; size - pos >= uq::format::kRecordSize; ++k) {
    std::uint8_t record_bytes[uq::format::kRecordSize];
    std::memcpy(record_bytes, data + pos, sizeof record_bytes);
    const uq::format::BlockRecord record = uq::format::parse_record(record_bytes);
    const std::int64_t index = uq::format::block_index(k, record.rel_index);
    if (index == damaged) return spans;
    const std::int64_t len = uq::format::block_len(header.orig_size, block, index);
    spans.push_back({index, static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(block),
                     static_cast<std::uint64_t>(len)});
    pos += uq::format::kRecordSize;
    if (size - pos < record.comp_len) break;
    pos += record.comp_len;
  }
  std::abort();  // the damaged block's record was not found
}

bool same_bytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, Span s) {
  if (a.size() < s.offset + s.len || b.size() < s.offset + s.len) return false;
  return std::memcmp(a.data() + s.offset, b.data() + s.offset, s.len) == 0;
}

bool run_failure(const Problem& p) {
  return p.kind == Problem::Kind::write_error || p.kind == Problem::Kind::incomplete ||
         p.kind == Problem::Kind::cannot_open;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static uq::fuzz::InputFile input;
  static uq::fuzz::ScratchDir scratch;
  static const std::string plain_output = scratch.path("plain.qvx");
  static const std::string threaded_qvx = scratch.path("threaded.qvx");
  static const std::string threaded_output = scratch.path("threaded");

  const std::uint8_t pick = size > 0 ? data[0] : 0;
  const int workers = 1 + (pick & 3);
  const std::uint64_t budget = (pick & 0x80) != 0 ? ((pick >> 4) & 7) * kBudgetStep : UINT64_MAX;

  std::vector<std::uint8_t> file(data, data + size);
  if (size >= uq::format::kHeaderSize) {
    const unsigned block_mib = file[18] | file[19] << 8;
    if (block_mib > kMaxBlockMib) {
      file[18] = static_cast<std::uint8_t>(1 + block_mib % kMaxBlockMib);
      file[19] = 0;
    }
  }
  data = file.data();
  const std::string& path = input.fill(data, size);
  const uq::fuzz::PlainRestore plain = uq::fuzz::restore_plain(path, plain_output);
  unlink(threaded_output.c_str());
  const uq::FileRestore threaded = uq::restore_file(path, threaded_qvx, workers, budget);
  const auto threaded_bytes = uq::fuzz::read_file(threaded_output);

  for (const Problem& p : threaded.problems) {
    if (run_failure(p)) std::abort();
  }
  if (plain.result.problems.empty()) {
    if (threaded.status != 0 || !threaded.problems.empty() || threaded_bytes != plain.output) {
      std::abort();
    }
    return 0;
  }
  const Problem& first = plain.result.problems.front();
  if (run_failure(first)) std::abort();
  if (first.kind == Problem::Kind::no_memory) return 0;

  if (uq::fuzz::is_record_problem(first)) {
    if (threaded.status != plain.result.status || threaded.problems != plain.result.problems ||
        threaded_bytes != plain.output) {
      std::abort();
    }
    return 0;
  }

  // A damaged block.
  if (first.kind != Problem::Kind::damaged || first.block < 0 || !plain.output || !threaded_bytes) {
    std::abort();
  }
  const std::vector<Span> written = blocks_before(data, size, first.block);
  bool reported = false;
  int record_problems = 0;
  for (const Problem& p : threaded.problems) {
    if (uq::fuzz::is_record_problem(p)) {
      ++record_problems;
    } else if (p.kind == Problem::Kind::damaged) {
      reported = reported || p.block == first.block;
      // Decoding a block depends on its bytes alone: one restored cleanly without workers can't be
      // damaged with them.
      for (const Span& s : written) {
        if (s.index == p.block) std::abort();
      }
    } else {
      std::abort();
    }
  }
  if (!reported || record_problems > 1 || (threaded.status != 0) != (record_problems == 1)) {
    std::abort();
  }
  for (const Span& s : written) {
    if (!same_bytes(*plain.output, *threaded_bytes, s)) std::abort();
  }
  return 0;
}
