// An output's own account of its blocks, and the output that writes a restored file.
#include "pipeline/output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/output_file.h"
#include "platform/stream.h"

namespace uq::pipeline {

bool Output::put(std::int64_t index, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  std::lock_guard lock(put_mutex_);
  if (failed_) return false;
  if (int err = store(index, offset, data, len); err != 0) {
    fail(err);
    return false;
  }
  counted(index);
  return true;
}

namespace {

std::atomic<CopyHook> copy_hook{nullptr};

}  // namespace

CopyHook set_copy_hook(CopyHook hook) { return copy_hook.exchange(hook); }

bool Output::copy(std::int64_t index, std::uint64_t offset, std::uint64_t source_offset, std::size_t len) {
  std::lock_guard lock(put_mutex_);
  if (failed_) return false;
  if (CopyHook hook = copy_hook.load(); hook != nullptr) hook(path_);
  const CopyResult result = copy_in(source_fd_, source_offset, offset, len);
  if (result.reading) {
    // As the file decoder reports a block whose bytes are cut short; the input is this file's
    // alone, so the run and the output's other blocks go on.
    if (!failed_reading_) {
      reporter_.data_short(index, result.err, static_cast<std::uint32_t>(len), result.copied);
    }
    failed_reading_ = true;
    return false;
  }
  if (result.err != 0) {
    fail(result.err);
    return false;
  }
  counted(index);
  return true;
}

Output::Admission Output::admit(std::int64_t, std::int64_t, std::uint64_t, std::uint64_t) {
  return Admission::uncounted;
}

Output::CopyResult Output::copy_in(int, std::uint64_t, std::uint64_t, std::size_t) { return {EINVAL, false, 0}; }

void Output::counted(std::int64_t index) {
  if (index >= 0 && index < block_count_) ++blocks_put_;
}

bool Output::finish() {
  finished_ = true;
  if (source_fd_ >= 0) platform::close_input(source_fd_);
  source_fd_ = -1;
  bool close_failed = false;
  if (int err = close_target(); err != 0) {
    fail(err);
    close_failed = true;
  }
  finished();
  const auto total = static_cast<std::uint64_t>(block_count_ > 0 ? block_count_ : 0);
  // After a failed close nothing of the file can be trusted to have reached the disk.
  const std::uint64_t missing = close_failed ? total : total - std::min(total, blocks_put_);
  if ((failed_ || failed_reading_ || cut_short_ || lost_) && missing > 0) reporter_.incomplete(path_, missing, total);
  return !failed_;
}

void Output::fail(int err) {
  if (failed_) return;
  failed_ = true;
  reporter_.write_failed(err);
}

std::unique_ptr<FileOutput> FileOutput::create(const std::string& path, std::int64_t block_count,
                                               report::Reporter& reporter, int& err) {
  std::unique_ptr<FileOutput> output(new FileOutput(path, block_count, reporter));
  err = output->file_->open();
  if (err != 0) {
    output->finished_quietly();
    return nullptr;
  }
  return output;
}

FileOutput::FileOutput(const std::string& path, std::int64_t block_count, report::Reporter& reporter)
    : Output(path, block_count, reporter), file_(std::make_unique<platform::OutputFile>(path)) {}

FileOutput::~FileOutput() { finish_if_needed(); }

namespace {

bool all_zeros(const std::uint8_t* data, std::size_t len) {
  // Most blocks differ from zero in their first bytes: only runs of zeros are read through.
  return len > 0 && data[0] == 0 && std::memcmp(data, data + 1, len - 1) == 0;
}

}  // namespace

int FileOutput::store(std::int64_t, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  if (file_->regular() && all_zeros(data, len)) {
    hole_end_ = std::max(hole_end_, offset + len);
    return 0;
  }
  return file_->write_at(offset, data, len);
}

Output::CopyResult FileOutput::copy_in(int source, std::uint64_t source_offset, std::uint64_t offset,
                                       std::size_t len) {
  const platform::OutputFile::CopyResult result = file_->copy_from(source, source_offset, offset, len);
  return {result.err, result.reading, result.copied};
}

int FileOutput::close_target() {
  // A hole at the end gives the file its length; where a later block was written, it has it.
  const int err = hole_end_ > 0 ? file_->extend_to(hole_end_) : 0;
  const int close_err = file_->close();
  return err != 0 ? err : close_err;
}

}  // namespace uq::pipeline
