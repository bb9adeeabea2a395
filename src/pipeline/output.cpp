// An output's own account of its blocks, and the output that writes a restored file.
#include "pipeline/output.h"

#include <algorithm>

#include "platform/output_file.h"

namespace uq::pipeline {

bool Output::put(std::int64_t index, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  if (failed_) return false;
  if (int err = store(index, offset, data, len); err != 0) {
    fail(err);
    return false;
  }
  if (index >= 0 && index < block_count_) ++blocks_put_;
  return true;
}

bool Output::finish() {
  finished_ = true;
  bool close_failed = false;
  if (int err = close_target(); err != 0) {
    fail(err);
    close_failed = true;
  }
  finished();
  const auto total = static_cast<std::uint64_t>(block_count_ > 0 ? block_count_ : 0);
  // After a failed close nothing of the file can be trusted to have reached the disk.
  const std::uint64_t missing = close_failed ? total : total - std::min(total, blocks_put_);
  if ((failed_ || cut_short_ || lost_) && missing > 0) reporter_.incomplete(path_, missing, total);
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

int FileOutput::store(std::int64_t, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  return file_->write_at(offset, data, len);
}

int FileOutput::close_target() { return file_->close(); }

}  // namespace uq::pipeline
