// restore_to_stream: the file decoder and pipeline with an output that puts the blocks out in index
// order and hashes them as they go; the records are read first when a window of 128 blocks would
// not fit the memory limit and the source can be read twice. Judged as check_archive judges.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "codec/block_buffers.h"
#include "format/file_decoder.h"
#include "format/file_format.h"
#include "format/verdict.h"
#include "pipeline/ordered_output.h"
#include "pipeline/run_settings.h"
#include "pipeline/threaded_run.h"
#include "platform/stream_position.h"
#include "report/collector.h"
#include "report/console.h"
#include "unquarvex.h"

namespace uq {

namespace {

// Records lie within 127 places of their blocks: the block 127 records on and the 127 before it.
constexpr std::int64_t kWindowBlocks = format::kMaxIndexDistance + 1;

struct Closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Whether a window of 128 blocks of a file with this header, each with the most memory a block of
// it may take, fits `limit`. A header that can't be read fits: the decoder reports it.
bool window_fits(const format::HeaderFacts& facts, std::uint64_t limit) {
  if (!facts.read || facts.header.block_mib == 0) return true;
  const std::int64_t block = format::block_size(facts.header.block_mib);
  const std::int64_t blocks = std::min(format::block_count(facts.header.orig_size, block), kWindowBlocks);
  const auto largest = 2 * static_cast<unsigned __int128>(std::min(block, format::kMaxBlockLen)) +
                       codec::kInputPadding + codec::kOutputSlack;
  return largest * static_cast<unsigned __int128>(std::max<std::int64_t>(blocks, 0)) <= limit;
}

// Reads the header of a seekable stream and puts the stream back where it stood. Gives 0, or the
// errno of a failed seek back.
int peek_header(std::FILE* stream, format::HeaderFacts& facts) {
  const std::int64_t start = platform::stream_position(stream);
  if (start < 0) return errno;
  std::uint8_t bytes[format::kHeaderSize];
  if (std::fread(bytes, 1, sizeof bytes, stream) == sizeof bytes) facts = format::header_facts(bytes);
  std::clearerr(stream);
  return platform::seek_stream(stream, static_cast<std::uint64_t>(start));
}

}  // namespace

StreamRestore restore_to_stream(const StreamSource& source,
                                const std::function<int(const std::uint8_t* data, std::size_t len)>& write,
                                const StreamOptions& options) {
  StreamRestore result;
  report::Collector collector;
  std::unique_ptr<std::FILE, Closer> opened;
  std::FILE* input = source.stream;
  bool seekable = source.seekable;
  if (input == nullptr) {
    opened.reset(std::fopen(source.name.c_str(), "rb"));
    if (!opened) {
      collector.cannot_open(source.name, errno);
      result.problems = collector.problems();
      result.reason = format::describe(result.problems.front());
      return result;
    }
    input = opened.get();
    seekable = platform::stream_position(input) >= 0;
  }

  format::HeaderFacts peeked;
  if (seekable) {
    if (int err = peek_header(input, peeked); err != 0) seekable = false;  // as a pipe, then
  }
  result.read_records_first = seekable && !window_fits(peeked, options.memory_limit);

  std::uint8_t header[format::kHeaderSize] = {};
  pipeline::OrderedOutput::Outcome outcome;
  std::vector<std::uint64_t> digests;
  const auto sink = [&](const std::uint8_t* data, std::size_t len) {
    try {
      digests.push_back(block_digest(data, len));
    } catch (const std::bad_alloc&) {
      return ENOMEM;
    }
    if (int err = write(data, len); err != 0) return err;
    if (options.progress) options.progress(len);
    return 0;
  };
  pipeline::run_in_process(options.threads, options.memory_limit, [&](pipeline::DecodeQueue& queue) {
    pipeline::OrderedOutput::Settings settings;
    settings.budget = &queue.downstream->budget;
    settings.lookahead = 3 * pipeline::thread_count + 2;
    settings.reach = format::kMaxIndexDistance;
    settings.index_order = result.read_records_first;
    const format::OutputMaker maker = [&](const std::string& name, std::int64_t blocks, report::Reporter& reporter,
                                          int&) {
      return std::make_unique<pipeline::OrderedOutput>(name, blocks, reporter, sink, settings, outcome);
    };
    format::DecodeSource from{input, result.read_records_first, header};
    format::decode_file(queue, source.name, source.name, collector, maker, from);
  });

  result.problems = collector.problems();
  const format::HeaderFacts facts = format::header_facts(header);
  if (facts.read && facts.header.block_mib > 0) {
    result.block_count = format::block_count(facts.header.orig_size, format::block_size(facts.header.block_mib));
  }
  result.has_checksum = facts.read && facts.has_checksum;
  result.blocks_out = outcome.blocks_out;
  result.bytes_out = outcome.bytes_out;
  result.write_failed = outcome.write_failed;
  result.write_err = outcome.write_err;
  result.window_full = outcome.window_full;

  // The reason names where the stream stopped: a problem there or before it, one of the whole
  // file, or else what kept the next block from coming.
  const bool all_out = result.blocks_out >= result.block_count;
  const Problem* first = format::first_problem(result.problems);
  if (outcome.write_failed) {
    result.reason = "write error: " + std::string(report::error_text(outcome.write_err));
  } else if (first != nullptr && (first->block < 0 || first->block <= result.blocks_out || all_out)) {
    result.reason = format::describe(*first);
    result.named_problem = static_cast<int>(first - result.problems.data());
    result.first_bad_block = first->block;
  } else if (outcome.window_full) {
    result.reason = "block " + std::to_string(result.blocks_out) +
                    ": the records lie too far out of order for the memory limit";
    result.first_bad_block = result.blocks_out;
  } else if (!all_out) {
    result.reason = "block " + std::to_string(result.blocks_out) + " missing";
    result.first_bad_block = result.blocks_out;
  } else if (outcome.past_end > 0) {
    result.reason = "a record past the last block";
  } else if (result.has_checksum) {
    result.checksum_matches = file_checksum(digests) == facts.checksum;
    if (!result.checksum_matches) result.reason = "checksum mismatch";
  }
  result.complete = result.reason.empty();
  return result;
}

}  // namespace uq
