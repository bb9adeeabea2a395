// check_archive: the restore tool's file decoder and pipeline, with an output that hashes each
// restored block instead of writing it; then the structure and the checksum are judged.
#include <algorithm>
#include <cstdio>

#include "format/file_decoder.h"
#include "format/file_format.h"
#include "pipeline/output.h"
#include "pipeline/threaded_run.h"
#include "report/collector.h"
#include "unquarvex.h"

namespace uq::format {

namespace {

// What the check keeps of one archive's blocks. Filled by whichever thread puts blocks (the
// output writer, or the file decoder without workers) and read once the run has ended.
struct Tally {
  std::vector<std::pair<std::int64_t, std::uint64_t>> digests;  // block index, digest
  std::uint64_t past_end = 0;  // empty records at index N: the decoder accepts them, yet no block
  std::int64_t block_count = -1;  // N, once the output is made
};

// The output of a check: hashes each restored block instead of writing it.
class CheckOutput final : public pipeline::Output {
 public:
  CheckOutput(const std::string& name, std::int64_t block_count, report::Reporter& reporter, Tally& tally)
      : Output(name, block_count, reporter), tally_(tally) {
    tally_.block_count = block_count;
  }
  ~CheckOutput() override { finish_if_needed(); }

 private:
  int store(std::int64_t index, std::uint64_t, const std::uint8_t* data, std::size_t len) override {
    if (index >= tally_.block_count) {
      ++tally_.past_end;
    } else {
      tally_.digests.emplace_back(index, block_digest(data, len));
    }
    return 0;
  }
  int close_target() override { return 0; }

  Tally& tally_;
};

std::string block_text(std::int64_t block) { return "block " + std::to_string(block); }

// A problem in a few words, naming its block where it has one.
std::string describe(const Problem& p) {
  const std::string where = p.block >= 0 ? block_text(p.block) + ": " : "";
  switch (p.kind) {
    case Problem::Kind::cannot_open: return "can't be opened: " + p.what;
    case Problem::Kind::read_error: return p.block >= 0 ? where + p.what : "read error: " + p.what;
    case Problem::Kind::not_qvx: return "not a quarvex file";
    case Problem::Kind::write_error: return "write error: " + p.what;
    default: return where + p.what;
  }
}

// The header's checksum, when it carries one.
bool read_checksum(const std::string& path, std::uint64_t& checksum) {
  std::uint8_t header[kHeaderSize];
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  const bool whole = std::fread(header, 1, sizeof header, in) == sizeof header;
  std::fclose(in);
  if (!whole || !std::equal(kChecksumTag, kChecksumTag + 4, header + kChecksumAt)) return false;
  checksum = 0;
  for (int i = 7; i >= 0; --i) checksum = (checksum << 8) | header[kChecksumAt + 4 + i];
  return true;
}

}  // namespace

}  // namespace uq::format

namespace uq {

ArchiveCheck check_archive(const std::string& path, int threads, std::uint64_t memory_limit) {
  ArchiveCheck check;
  report::Collector collector;
  format::Tally tally;
  pipeline::run_in_process(threads, memory_limit, [&](pipeline::DecodeQueue& queue) {
    format::decode_file(queue, path, path, collector,
                        [&](const std::string& name, std::int64_t blocks, report::Reporter& reporter, int&) {
                          return std::make_unique<format::CheckOutput>(name, blocks, reporter, tally);
                        });
  });
  check.problems = collector.problems();
  std::uint64_t expected = 0;
  check.has_checksum = format::read_checksum(path, expected);

  // The structure: blocks 0..N-1, each once (the decoder refuses a repeated index, and a block
  // of the wrong length fails its decoding), and no record past them.
  std::sort(tally.digests.begin(), tally.digests.end());
  std::int64_t first_missing = -1;
  for (std::int64_t i = 0; i < tally.block_count && first_missing < 0; ++i) {
    if (static_cast<std::size_t>(i) >= tally.digests.size() || tally.digests[static_cast<std::size_t>(i)].first != i) {
      first_missing = i;
    }
  }

  const Problem* first = nullptr;  // the damage of the lowest block; file-wide damage first
  bool no_memory = false;
  for (const Problem& p : check.problems) {
    if (p.kind == Problem::Kind::incomplete) continue;  // follows another problem
    // A lack of memory says nothing of the archive: the blocks it left undecoded are unknown.
    if (p.kind == Problem::Kind::no_memory) {
      no_memory = true;
      continue;
    }
    if (first == nullptr || (first->block >= 0 && p.block < first->block)) first = &p;
    if (p.block >= 0 && (check.first_bad_block < 0 || p.block < check.first_bad_block)) check.first_bad_block = p.block;
  }
  // Blocks that memory left undecoded are not missing.
  if (!no_memory && first_missing >= 0 && (check.first_bad_block < 0 || first_missing < check.first_bad_block)) {
    check.first_bad_block = first_missing;
  }

  if (first != nullptr) {
    check.reason = format::describe(*first);
  } else if (no_memory) {
    check.out_of_memory = true;
    check.reason = "out of memory";
  } else if (first_missing >= 0) {
    check.reason = "block " + std::to_string(first_missing) + " missing";
  } else if (tally.past_end > 0) {
    check.reason = "a record past the last block";
  } else if (check.has_checksum) {
    std::vector<std::uint64_t> digests;
    digests.reserve(tally.digests.size());
    for (const auto& [index, digest] : tally.digests) digests.push_back(digest);
    check.checksum_matches = file_checksum(digests) == expected;
    if (!check.checksum_matches) check.reason = "checksum mismatch";
  }
  check.intact = check.reason.empty();
  return check;
}

}  // namespace uq
