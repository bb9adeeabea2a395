// decode_file: header check, output creation, then each block record in turn.
#include "format/file_decoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "codec/block_buffers.h"
#include "codec/block_restore.h"
#include "codec/method_table.h"
#include "codec/post_filters.h"
#include "format/file_format.h"
#include "format/output_name.h"
#include "pipeline/run_settings.h"
#include "pipeline/threaded_run.h"
#include "pipeline/output.h"
#include "platform/stream.h"
#include "platform/stream_position.h"
#include "report/console.h"
#include "report/report.h"
#include "report/reporter.h"

namespace uq::format {

namespace {

// Two records with the same block index lie within 2 x 127 = 254 records of each other. The
// indexes of any 255 consecutive records span at most 254 + 2 x 127 = 508 values, so a table of
// 512 slots keyed by index mod 512 holds every index that a later record could repeat, one per
// slot.
constexpr std::size_t kRecentIndexSlots = 512;

class RecentIndexes {
 public:
  RecentIndexes() { slots_.fill(-1); }
  // True when `index` was seen before in this file; records it otherwise.
  bool repeat(std::int64_t index) {
    std::int64_t& slot = slots_[static_cast<std::size_t>(index) % kRecentIndexSlots];
    if (slot == index) return true;
    slot = index;
    return false;
  }

 private:
  std::array<std::int64_t, kRecentIndexSlots> slots_;
};

std::FILE* open_for_reading(const char* path) { return platform::open_input(path); }

std::atomic<InputOpener> input_opener{&open_for_reading};

struct InputCloser {
  bool owned = true;  // a stream handed in is left open
  void operator()(std::FILE* f) const {
    if (owned) std::fclose(f);
  }
};
using InputStream = std::unique_ptr<std::FILE, InputCloser>;

// A block record read ahead of its bytes, for the run in index order.
struct RecordAt {
  std::int64_t index;
  std::uint64_t at;  // where its bytes start in the input
  BlockRecord record;
  std::int64_t len;
};

class FileDecoder {
 public:
  FileDecoder(pipeline::DecodeQueue& queue, const std::string& input_path, const std::string& output_path,
              report::Reporter& reporter, const OutputMaker& make_output, const DecodeSource& source)
      : queue_(queue), input_path_(input_path), output_path_(output_path), reporter_(reporter),
        make_output_(make_output), source_(source) {}
  // Whatever way the call ends, an output that has jobs queued goes to the output writer.
  ~FileDecoder() { hand_over(); }

  int run();

 private:
  int read_records();
  // Checks the record at place k and works out its block's index and length; gives 0, or the
  // status of the report that refuses it.
  int check_record(std::int64_t k, const BlockRecord& record, RecentIndexes& recent, std::int64_t& index,
                   std::int64_t& len);
  // The run in index order: every record read first, its bytes passed over; gives 0, or the
  // status of the report that ended the reading (the records before it are kept).
  int read_records_first();
  // Passes over `len` block bytes that nothing needs.
  void pass_over(std::uint32_t len);
  // A stored block without a filter goes from the input to the output as a copy, inside the
  // kernel where it can: gives its status, or none when it must be read instead.
  std::optional<int> copy_stored(std::int64_t index, std::uint64_t out_offset, std::uint32_t len);
  int restore_here(codec::DecodeJob& job);
  int finish(int status);
  void hand_over();

  pipeline::DecodeQueue& queue_;
  const std::string& input_path_;
  const std::string& output_path_;
  report::Reporter& reporter_;
  const OutputMaker& make_output_;
  const DecodeSource& source_;
  InputStream input_;
  std::uint64_t input_size_ = 0;  // of a regular input; 0 for anything else
  std::unique_ptr<pipeline::Output> output_;
  FileHeader header_;
  codec::DecodeJob job_;
  std::uint64_t queued_ = 0;  // decode jobs pushed for this output
  std::vector<RecordAt> records_;  // the run in index order: the records, sorted by index
};

int FileDecoder::run() {
  // Seen first, so that after a failure no later input truncates an existing output.
  if (report::stop_flag.load() != 0) return -1;

  if (source_.stream != nullptr) {
    input_ = InputStream(source_.stream, InputCloser{false});
  } else {
    // Out of descriptors while the writer still holds earlier outputs: one of them closing frees one.
    do {
      input_.reset(input_opener.load()(input_path_.c_str()));
    } while (!input_ && pipeline::wait_for_a_descriptor(queue_, errno));
  }
  if (!input_) {
    reporter_.cannot_open(input_path_, errno);
    return -1;
  }
  input_size_ = platform::regular_file_size(input_.get()).value_or(0);

  std::uint8_t header_bytes[kHeaderSize];
  errno = 0;
  if (std::fread(header_bytes, 1, kHeaderSize, input_.get()) < kHeaderSize) {
    return reporter_.read_failed(errno);
  }
  if (source_.header_copy != nullptr) std::copy(header_bytes, header_bytes + kHeaderSize, source_.header_copy);
  header_ = parse_header(header_bytes);
  if (!header_.magic_ok) return reporter_.not_qvx(input_path_);
  // A block size of 0 MiB can't hold a non-empty file.
  if (header_.block_mib == 0 && header_.orig_size != 0) {
    return reporter_.corrupt(report::kNoBlock, "block size of 0 MiB");
  }

  job_.method = header_.method;
  job_.level = header_.level;
  job_.filter = header_.filter;
  job_.block_mib = header_.block_mib;
  std::copy(header_bytes + 14, header_bytes + 17, job_.spare_header);
  std::copy(header_bytes + 20, header_bytes + 28, job_.spare_tail);

  std::string name = output_name(output_path_);
  // An earlier input of this run may have the same output, its blocks still on their way:
  // truncating it now would mix the two files.
  if (pipeline::run_has_workers) pipeline::wait_for_same_output(queue_, name);
  // Looked at again: a failure in the meantime leaves this output untouched.
  if (report::stop_flag.load() != 0) return -1;
  const std::int64_t block = block_size(header_.block_mib);
  int err = 0;
  const std::int64_t blocks = block_count(header_.orig_size, block);
  do {
    output_ = make_output_ ? make_output_(name, blocks, reporter_, err)
                           : pipeline::FileOutput::create(name, blocks, reporter_, err);
  } while (!output_ && pipeline::wait_for_a_descriptor(queue_, err));
  if (!output_) {
    report::print_message(stderr, "creat error '%s' '%s'\n", name.c_str(), report::error_text(err));
    pipeline::fatal_exit(-1);
  }
  job_.out_path = output_->path().c_str();
  job_.output = output_.get();

  int status = 0;
  try {
    status = read_records();
  } catch (const std::bad_alloc&) {
    status = reporter_.no_memory();
  }
  // Memory that could not be had leaves the output short of the blocks still to come.
  if (status == -report::kMallocError) output_->lost_block();
  return finish(status);
}

int FileDecoder::check_record(std::int64_t k, const BlockRecord& record, RecentIndexes& recent, std::int64_t& index,
                              std::int64_t& len) {
  index = block_index(k, record.rel_index);
  if (index < 0) return reporter_.corrupt(k, "record before block 0");
  if (recent.repeat(index)) return reporter_.corrupt(index, "block repeated");
  len = block_len(header_.orig_size, block_size(header_.block_mib), index);
  if (static_cast<std::int64_t>(record.comp_len) > len || len > kMaxBlockLen) {
    return reporter_.corrupt(index, len <= 0 ? "block past the end" : "block longer than its size");
  }
  // A coded block needs a method to decode it; only stored blocks get by without one.
  if (record.comp_len != len && codec::find_method(header_.method) == nullptr) {
    return reporter_.corrupt(index, "unknown method");
  }
  return 0;
}

int FileDecoder::read_records_first() {
  RecentIndexes recent;
  int status = 0;
  for (std::int64_t k = 0;; ++k) {
    std::uint8_t record_bytes[kRecordSize];
    errno = 0;
    if (std::fread(record_bytes, 1, kRecordSize, input_.get()) < kRecordSize) {
      if (std::ferror(input_.get())) status = reporter_.read_failed(errno);
      break;
    }
    RecordAt r{0, 0, parse_record(record_bytes), 0};
    if ((status = check_record(k, r.record, recent, r.index, r.len)) != 0) break;
    const std::int64_t at = platform::stream_position(input_.get());
    if (at < 0) {
      status = reporter_.read_failed(errno);
      break;
    }
    r.at = static_cast<std::uint64_t>(at);
    records_.push_back(r);
    // Past the end of the file a seek still succeeds: the block's read then comes up short.
    if (int err = platform::skip_in_stream(input_.get(), r.record.comp_len); err != 0) {
      status = reporter_.read_failed(err);
      break;
    }
  }
  std::sort(records_.begin(), records_.end(), [](const RecordAt& a, const RecordAt& b) { return a.index < b.index; });
  return status;
}

void FileDecoder::pass_over(std::uint32_t len) {
  if (input_size_ > 0 && platform::skip_in_stream(input_.get(), len) == 0) return;
  // A pipe: read and drop. A short read ends the records at the next one.
  std::uint8_t scrap[1 << 16];
  while (len > 0) {
    const std::size_t got = std::fread(scrap, 1, std::min<std::size_t>(len, sizeof scrap), input_.get());
    if (got == 0) return;
    len -= static_cast<std::uint32_t>(got);
  }
}

int FileDecoder::read_records() {
  const std::int64_t block = block_size(header_.block_mib);
  const std::int64_t count = block_count(header_.orig_size, block);
  job_.block_count = static_cast<std::uint32_t>(count);
  pipeline::MemoryBudget* budget = pipeline::run_has_workers ? &queue_.downstream->budget : nullptr;
  // What any block of this file may take on its way: its bytes and its restored bytes, each with
  // their slack.
  const auto largest_len = static_cast<std::uint64_t>(std::min<std::int64_t>(block, kMaxBlockLen));
  const std::uint64_t largest = 2 * largest_len + codec::kInputPadding + codec::kOutputSlack;
  int status_after_records = 0;
  if (source_.index_order) status_after_records = read_records_first();

  RecentIndexes recent;
  for (std::int64_t k = 0;; ++k) {
    // The run is stopping (an output failed, or memory ran out): what is left of this file is not
    // read, and the output says so when it ends.
    if (report::stop_flag.load() != 0) {
      output_->cut_short();
      return -1;
    }
    BlockRecord record;
    std::int64_t index = 0;
    std::int64_t len = 0;
    if (source_.index_order) {
      if (static_cast<std::size_t>(k) == records_.size()) return status_after_records;
      const RecordAt& r = records_[static_cast<std::size_t>(k)];
      if (int err = platform::seek_stream(input_.get(), r.at); err != 0) return reporter_.read_failed(err);
      record = r.record;
      index = r.index;
      len = r.len;
    } else {
      std::uint8_t record_bytes[kRecordSize];
      errno = 0;
      if (std::fread(record_bytes, 1, kRecordSize, input_.get()) < kRecordSize) {
        // Only a real end of file ends the records; a failed read is a read error.
        if (std::ferror(input_.get())) return reporter_.read_failed(errno);
        return 0;
      }
      record = parse_record(record_bytes);
      if (int status = check_record(k, record, recent, index, len); status != 0) return status;
    }
    // Exact in 64 bits: index < 2^43 for any 64-bit orig_size, block size < 2^31.
    const std::uint64_t out_offset = static_cast<std::uint64_t>(index) * static_cast<std::uint64_t>(block);
    if (record.comp_len == len) {
      if (std::optional<int> status = copy_stored(index, out_offset, record.comp_len)) {
        if (*status != 0) return *status;
        continue;
      }
    }

    // Waits for room among the blocks in flight before anything of this one is read.
    const std::uint64_t reserved = record.comp_len + codec::kInputPadding +
                                   static_cast<std::uint64_t>(len) + codec::kOutputSlack;
    bool counted = false;  // by the output, which then gives the bytes back itself
    switch (output_->admit(k, index, reserved, largest)) {
      case pipeline::Output::Admission::stop:
        output_->cut_short();
        return -1;
      case pipeline::Output::Admission::skip:
        pass_over(record.comp_len);
        continue;
      case pipeline::Output::Admission::counted:
        counted = true;
        break;
      case pipeline::Output::Admission::uncounted:
        break;
    }
    const auto give_back = [&] {
      if (counted) output_->dropped(index);
      else if (budget != nullptr) budget->release(reserved);
    };
    if (budget != nullptr && !counted) budget->acquire(reserved);
    std::uint8_t* in_buf = codec::allocate_input(record.comp_len);
    if (in_buf == nullptr) {
      give_back();
      return reporter_.no_memory();
    }
    errno = 0;
    std::size_t got = std::fread(in_buf, 1, record.comp_len, input_.get());
    if (got < record.comp_len) {
      int read_err = errno;
      codec::release_buffer(in_buf);
      give_back();
      return reporter_.data_short(index, read_err, record.comp_len, got);
    }
    std::fflush(stdout);

    job_.comp_len = record.comp_len;
    job_.block_index = index;
    job_.out_offset = out_offset;
    job_.in_buf = in_buf;
    job_.in_ptr = in_buf;
    job_.out_ptr = nullptr;
    job_.out_len = static_cast<std::int32_t>(len);
    job_.reserved = budget != nullptr && !counted ? reserved : 0;

    if (pipeline::run_has_workers) {
      queue_.push(job_);  // in_buf now belongs to the worker that pops the job
      ++queued_;
    } else if (int status = restore_here(job_); status != 0) {
      return status;
    }
    job_.in_buf = nullptr;
    job_.in_ptr = nullptr;
  }
}

std::optional<int> FileDecoder::copy_stored(std::int64_t index, std::uint64_t out_offset, std::uint32_t len) {
  // A filtered block is changed on its way; a block past the input's end must fail where it is
  // read, with the message of a cut-short block.
  if (codec::has_post_filter(header_.filter) || !output_->takes_copies()) return std::nullopt;
  const std::int64_t at = platform::stream_position(input_.get());
  if (at < 0 || static_cast<std::uint64_t>(at) + len > input_size_) return std::nullopt;
  if (!output_->has_source()) {
    const int source = platform::duplicate_input(input_.get());
    if (source < 0) return std::nullopt;  // out of descriptors: the bytes are read instead
    output_->adopt_source(source);
  }
  if (platform::skip_in_stream(input_.get(), len) != 0) return std::nullopt;
  const auto source_offset = static_cast<std::uint64_t>(at);
  if (!pipeline::run_has_workers) {
    if (output_->copy(index, out_offset, source_offset, len)) return 0;
    return output_->failed_reading() ? -report::kReadError : -report::kWriteError;
  }
  pipeline::WriteJob copy;
  copy.kind = pipeline::WriteKind::copy;
  copy.output = output_.get();
  copy.block_index = index;
  copy.out_offset = out_offset;
  copy.source_offset = source_offset;
  copy.out_len = static_cast<std::int32_t>(len);
  queue_.downstream->push(copy);
  ++queued_;
  return 0;
}

int FileDecoder::restore_here(codec::DecodeJob& job) {
  codec::RestoredBlock restored = codec::restore_block(job);
  switch (restored.status) {
    case codec::BlockStatus::no_memory:
      output_->dropped(job.block_index);
      return reporter_.no_memory();
    case codec::BlockStatus::corrupt: {
      const int status = reporter_.block_damaged(output_->path(), job.block_index, restored.result, job.out_len);
      output_->dropped(job.block_index);
      return output_->reads_past_damage() ? 0 : status;
    }
    case codec::BlockStatus::ok:
      break;
  }
  if (restored.result != job.out_len) reporter_.block_length_differs(output_->path(), restored.result, job.out_len);
  const bool written =
      output_->put(job.block_index, job.out_offset, restored.out_buf, static_cast<std::size_t>(job.out_len));
  codec::release_buffer(restored.out_buf);
  return written ? 0 : -report::kWriteError;
}

void FileDecoder::hand_over() {
  if (!output_ || queued_ == 0) return;
  // Copies still to come read this input: a later output of the same file must wait for them.
  static const std::string no_source;
  const std::string& source = output_->has_source() ? input_path_ : no_source;
  pipeline::hand_over_output(queue_, std::move(output_), queued_, source);
}

int FileDecoder::finish(int status) {
  // With jobs queued the output writer ends the output after the last of them; otherwise
  // nothing else holds it and it ends here.
  hand_over();
  if (output_) {
    const bool failed_before = output_->failed();
    if (!output_->finish() && !failed_before && status == 0) status = -report::kWriteError;
  }
  return status;
}

}  // namespace

InputOpener set_input_opener(InputOpener opener) {
  return input_opener.exchange(opener != nullptr ? opener : &open_for_reading);
}

int decode_file(pipeline::DecodeQueue& queue, const std::string& input_path, const std::string& output_path,
                report::Reporter& reporter, const OutputMaker& make_output, const DecodeSource& source) {
  try {
    return FileDecoder(queue, input_path, output_path, reporter, make_output, source).run();
  } catch (const std::bad_alloc&) {
    return reporter.no_memory();
  }
}

}  // namespace uq::format
