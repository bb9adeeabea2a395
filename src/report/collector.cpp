// The collecting reporter: each event becomes a Problem, under a mutex.
#include "report/collector.h"

#include "report/console.h"
#include "report/report.h"

namespace uq::report {

void Collector::keep(Problem::Kind kind, std::int64_t block, std::string what, int err) {
  std::lock_guard lock(mutex_);
  problems_.push_back(Problem{kind, block, std::move(what), err});
}

std::vector<Problem> Collector::problems() const {
  std::lock_guard lock(mutex_);
  return problems_;
}

void Collector::cannot_open(const std::string&, int err) {
  keep(Problem::Kind::cannot_open, kNoBlock, error_text(err), err);
}

int Collector::read_failed(int err) {
  keep(Problem::Kind::read_error, kNoBlock, err == 0 ? "cut short" : error_text(err), err);
  return -kReadError;
}

int Collector::data_short(std::int64_t block, int err, std::uint32_t comp_len, std::size_t got) {
  keep(Problem::Kind::read_error, block,
       "cut short: " + std::to_string(got) + " of " + std::to_string(comp_len) + " bytes", err);
  return -kReadError;
}

int Collector::not_qvx(const std::string&) {
  keep(Problem::Kind::not_qvx, kNoBlock, "not a quarvex file");
  return -kHeaderError;
}

int Collector::corrupt(std::int64_t block, const char* what) {
  keep(Problem::Kind::corrupt, block, what);
  return -kCorruptError;
}

int Collector::block_damaged(const std::string&, std::int64_t block, int, int) {
  keep(Problem::Kind::damaged, block, "coded stream damaged");
  return -kCorruptError;
}

void Collector::block_length_differs(const std::string&, int result, int expected) {
  keep(Problem::Kind::damaged, kNoBlock,
       "decoded " + std::to_string(result) + " bytes of " + std::to_string(expected));
}

int Collector::no_memory() {
  keep(Problem::Kind::no_memory, kNoBlock, "out of memory");
  return -kMallocError;
}

int Collector::write_failed(int err) {
  keep(Problem::Kind::write_error, kNoBlock, error_text(err), err);
  return -kWriteError;
}

void Collector::incomplete(const std::string&, std::uint64_t missing, std::uint64_t total) {
  keep(Problem::Kind::incomplete, kNoBlock,
       std::to_string(missing) + " of " + std::to_string(total) + " blocks not written");
}

}  // namespace uq::report
