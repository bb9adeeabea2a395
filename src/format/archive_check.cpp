// check_archive: the restore tool's file decoder and pipeline, with an output that hashes each
// restored block (and, for a checked restore, writes it too); then the structure and the checksum
// are judged.
#include <algorithm>
#include <cstdio>

#include "format/file_decoder.h"
#include "format/file_format.h"
#include "format/verdict.h"
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

// The output of a check: hashes each restored block, and hands it on when the check restores.
class CheckOutput final : public pipeline::Output {
 public:
  CheckOutput(const std::string& name, std::int64_t block_count, report::Reporter& reporter, Tally& tally,
              const CheckOptions& options)
      : Output(name, block_count, reporter), tally_(tally), options_(options) {
    tally_.block_count = block_count;
  }
  ~CheckOutput() override { finish_if_needed(); }

  // Every block is judged, the ones after a damaged block too.
  bool reads_past_damage() const override { return true; }

 private:
  int store(std::int64_t index, std::uint64_t offset, const std::uint8_t* data, std::size_t len) override {
    if (index >= tally_.block_count) {
      ++tally_.past_end;
      return 0;
    }
    if (options_.write) {
      if (int err = options_.write(offset, data, len); err != 0) return err;
    }
    tally_.digests.emplace_back(index, block_digest(data, len));
    if (options_.progress) options_.progress(len);
    return 0;
  }
  int close_target() override { return 0; }

  Tally& tally_;
  const CheckOptions& options_;
};

// The runs of blocks of 0..N-1 without a digest (`digests` sorted), each split at the blocks
// that a problem names, which get its words; the rest are "missing", or "not restored" when a
// problem of the whole file (a failed read, a lack of memory) may have kept them.
std::vector<ArchiveCheck::BadBlocks> bad_blocks(const Tally& tally, const std::vector<Problem>& problems) {
  std::vector<ArchiveCheck::BadBlocks> runs;
  const Problem* file_wide = nullptr;
  std::vector<const Problem*> named;
  for (const Problem& p : problems) {
    if (p.kind == Problem::Kind::incomplete) continue;
    if (p.block < 0) file_wide = file_wide != nullptr ? file_wide : &p;
    else named.push_back(&p);
  }
  std::stable_sort(named.begin(), named.end(), [](const Problem* a, const Problem* b) { return a->block < b->block; });
  const std::string unexplained = file_wide != nullptr ? "not restored" : "missing";
  const auto add = [&](std::int64_t first, std::int64_t last, const std::string& why) {
    if (!runs.empty() && runs.back().last + 1 == first && runs.back().why == why) {
      runs.back().last = last;
    } else {
      runs.push_back({first, last, why});
    }
  };
  // A gap [from, to] of blocks without a digest, split at the blocks the problems name.
  auto named_at = named.begin();
  const auto gap = [&](std::int64_t from, std::int64_t to) {
    while (named_at != named.end() && (*named_at)->block < from) ++named_at;
    for (std::int64_t at = from; at <= to;) {
      if (named_at != named.end() && (*named_at)->block <= to) {
        const std::int64_t block = (*named_at)->block;
        if (at < block) add(at, block - 1, unexplained);
        add(block, block, describe_without_block(**named_at));
        while (named_at != named.end() && (*named_at)->block == block) ++named_at;
        at = block + 1;
      } else {
        add(at, to, unexplained);
        at = to + 1;
      }
    }
  };
  std::int64_t expected = 0;
  for (const auto& [index, digest] : tally.digests) {
    if (index > expected) gap(expected, index - 1);
    expected = std::max(expected, index + 1);
  }
  if (expected < tally.block_count) gap(expected, tally.block_count - 1);
  return runs;
}

}  // namespace

}  // namespace uq::format

namespace uq {

ArchiveCheck check_archive(const std::string& path, int threads, std::uint64_t memory_limit) {
  CheckOptions options;
  options.threads = threads;
  options.memory_limit = memory_limit;
  return check_archive(path, options);
}

ArchiveCheck check_archive(const std::string& path, const CheckOptions& options) {
  ArchiveCheck check;
  report::Collector collector;
  format::Tally tally;
  pipeline::run_in_process(options.threads, options.memory_limit, [&](pipeline::DecodeQueue& queue) {
    format::decode_file(queue, path, path, collector,
                        [&](const std::string& name, std::int64_t blocks, report::Reporter& reporter, int&) {
                          return std::make_unique<format::CheckOutput>(name, blocks, reporter, tally, options);
                        });
  });
  check.problems = collector.problems();
  const format::HeaderFacts facts = format::header_facts_of(path);
  check.has_checksum = facts.has_checksum;
  if (facts.read) {
    check.restored_size = facts.header.orig_size;
    check.block_size = format::block_size(facts.header.block_mib);
  }

  // The structure: blocks 0..N-1, each once (the decoder refuses a repeated index, and a block
  // of the wrong length fails its decoding), and no record past them.
  std::sort(tally.digests.begin(), tally.digests.end());
  std::int64_t first_missing = -1;
  for (std::int64_t i = 0; i < tally.block_count && first_missing < 0; ++i) {
    if (static_cast<std::size_t>(i) >= tally.digests.size() || tally.digests[static_cast<std::size_t>(i)].first != i) {
      first_missing = i;
    }
  }
  check.bad_blocks = format::bad_blocks(tally, check.problems);

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
    check.named_problem = static_cast<int>(first - check.problems.data());
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
    check.checksum_matches = file_checksum(digests) == facts.checksum;
    if (!check.checksum_matches) check.reason = "checksum mismatch";
  }
  check.intact = check.reason.empty();
  return check;
}

}  // namespace uq
