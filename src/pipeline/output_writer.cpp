// The output writer: one positioned write per block the workers did not put themselves, files
// closed by count of queued jobs.
#include "pipeline/output_writer.h"

#include <cstdint>
#include <cstdio>

#include "codec/block_buffers.h"
#include "pipeline/output.h"
#include "platform/system.h"
#include "report/console.h"
#include "report/report.h"

namespace uq::pipeline {

OutputWriter::~OutputWriter() {
  for (Entry& entry : table_) {
    if (entry.output == nullptr) continue;
    entry.ended = true;
    entry.expected = entry.taken;
    close_if_complete(entry);
  }
}

bool OutputWriter::take(const WriteJob& job) {
  switch (job.kind) {
    case WriteKind::stop:
      return false;
    case WriteKind::block:
    case WriteKind::copy:
    case WriteKind::dropped:
    case WriteKind::lost:
    case WriteKind::put: {
      Entry& entry = entry_for(job.output);
      ++entry.taken;
      if (job.kind == WriteKind::lost) job.output->lost_block();
      if (job.kind == WriteKind::lost || job.kind == WriteKind::dropped) job.output->dropped(job.block_index);
      const auto len = static_cast<std::size_t>(job.out_len);
      if (job.kind == WriteKind::block) {
        if (!job.output->put(job.block_index, job.out_offset, job.out_buf, len)) report::stop_flag.fetch_add(1);
        codec::release_buffer(job.out_buf);
      } else if (job.kind == WriteKind::copy) {
        // A copy that could not read its input is that file's error alone: the run goes on.
        if (!job.output->copy(job.block_index, job.out_offset, job.source_offset, len) && job.output->failed()) {
          report::stop_flag.fetch_add(1);
        }
      }
      if (budget_ != nullptr) budget_->release(job.reserved);
      close_if_complete(entry);
      return true;
    }
    case WriteKind::file_end: {
      Entry& entry = entry_for(job.output);
      entry.ended = true;
      entry.expected = job.queued_jobs;
      close_if_complete(entry);
      return true;
    }
  }
  return true;
}

int OutputWriter::open_files() const {
  int open = 0;
  for (const Entry& entry : table_) open += entry.output != nullptr ? 1 : 0;
  return open;
}

OutputWriter::Entry& OutputWriter::entry_for(Output* output) {
  Entry* free_entry = nullptr;
  for (Entry& entry : table_) {
    if (entry.output == output) return entry;
    if (entry.output == nullptr && free_entry == nullptr) free_entry = &entry;
  }
  if (free_entry == nullptr) {
    report::print_message(stdout, "Fatal error file dscriptor > %d.fd=%x\n", kWriterFileSlots,
                          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(output)));
    platform::exit_now(-1);
  }
  *free_entry = Entry{output, 0, 0, false};
  return *free_entry;
}

void OutputWriter::close_if_complete(Entry& entry) {
  if (!entry.ended || entry.taken < entry.expected) return;
  Output* output = entry.output;
  entry = Entry{};
  const bool failed_before = output->failed();
  if (!output->finish() && !failed_before) report::stop_flag.fetch_add(1);
  tracker_.closed(output);
  delete output;
}

void run_output_writer(WriteQueue& queue) {
  OutputWriter writer(queue.outputs, &queue.budget);
  while (writer.take(queue.pop())) {
  }
}

}  // namespace uq::pipeline
