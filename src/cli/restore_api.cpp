// The restore library's public face: thin entries over the run driver, the codec and the file
// decoder with its pipeline.
#include <algorithm>
#include <cstring>
#include <new>

#include "cli/input_iterator.h"
#include "cli/output_path.h"
#include "cli/run_driver.h"
#include "codec/block_buffers.h"
#include "codec/block_restore.h"
#include "codec/decode_job.h"
#include "codec/post_filters.h"
#include "format/file_decoder.h"
#include "format/output_name.h"
#include "pipeline/memory_limit.h"
#include "pipeline/queues.h"
#include "pipeline/run_settings.h"
#include "pipeline/threaded_run.h"
#include "report/collector.h"
#include "report/report.h"
#include "unquarvex.h"

namespace uq {

int restore_main(int argc, const char* const* argv) {
  try {
    return cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    // The only allocations outside a file's own restore are the argument list and paths.
    report::report_error(report::kMallocError);
    return -1;
  }
}

BlockOutcome restore_block(const std::uint8_t* coded, std::size_t comp_len, std::int32_t out_len,
                           std::uint8_t method, std::uint8_t level, std::uint8_t filter,
                           std::vector<std::uint8_t>& restored) {
  if (out_len < 0 || comp_len > static_cast<std::size_t>(out_len)) return BlockOutcome::damaged;
  codec::DecodeJob job;
  job.method = method;
  job.level = level;
  job.filter = filter;
  job.comp_len = static_cast<std::uint32_t>(comp_len);
  job.out_len = out_len;
  job.in_buf = codec::allocate_input(comp_len);
  if (job.in_buf == nullptr) return BlockOutcome::no_memory;
  if (comp_len > 0) std::memcpy(job.in_buf, coded, comp_len);
  job.in_ptr = job.in_buf;
  const codec::RestoredBlock block = codec::restore_block(job);
  switch (block.status) {
    case codec::BlockStatus::ok: break;
    case codec::BlockStatus::no_memory: return BlockOutcome::no_memory;
    case codec::BlockStatus::corrupt: return BlockOutcome::damaged;
  }
  restored.assign(block.out_buf, block.out_buf + out_len);
  codec::release_buffer(block.out_buf);
  return BlockOutcome::restored;
}

void undo_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size) {
  codec::apply_post_filter(filter, data, size);
}

FileRestore restore_file(const std::string& input, const std::string& output_path, int threads,
                         std::uint64_t memory_limit) {
  report::Collector collector;
  FileRestore result;
  pipeline::run_in_process(threads, memory_limit, [&](pipeline::DecodeQueue& queue) {
    result.status = format::decode_file(queue, input, output_path, collector);
  });
  result.problems = collector.problems();
  return result;
}

std::size_t walk_inputs(const std::vector<std::string>& arguments, const std::function<void(const WalkEntry&)>& visit) {
  const std::size_t reports_before = cli::walk_reports();
  std::unique_ptr<cli::InputIterator> iterator = cli::open_input_iterator(arguments);
  if (!iterator) return 0;
  WalkEntry entry;
  platform::FileStatus status;
  while (iterator->next_input(entry.path, status) == 0) {
    entry.argument = iterator->current_argument();
    entry.kind = status.kind == platform::FileKind::regular     ? WalkEntry::Kind::file
                 : status.kind == platform::FileKind::directory ? WalkEntry::Kind::directory
                                                                : WalkEntry::Kind::other;
    visit(entry);
  }
  cli::close_input_iterator(iterator);
  return cli::walk_reports() - reports_before;
}

std::uint64_t memory_budget(const std::string& program) { return pipeline::memory_budget_from_environment(program); }

std::string restored_name(const std::string& path) { return format::output_name(path); }

std::string tree_output_path(const std::string& destination, const std::string& input_path,
                             const std::string& argument) {
  return cli::join_output_path(destination, cli::recursive_tail(input_path, argument));
}

}  // namespace uq
