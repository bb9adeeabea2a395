// A reporter that prints nothing and keeps what goes wrong, for in-process restores and checks.
#pragma once

#include <mutex>
#include <vector>

#include "report/reporter.h"
#include "unquarvex.h"

namespace uq::report {

class Collector final : public Reporter {
 public:
  void cannot_open(const std::string& input, int err) override;
  int read_failed(int err) override;
  int data_short(std::int64_t block, int err, std::uint32_t comp_len, std::size_t got) override;
  int not_qvx(const std::string& input) override;
  int corrupt(std::int64_t block, const char* what) override;
  int block_damaged(const std::string& output, std::int64_t block, int result, int expected) override;
  void block_length_differs(const std::string& output, int result, int expected) override;
  int no_memory() override;
  int write_failed(int err) override;
  void incomplete(const std::string& output, std::uint64_t missing, std::uint64_t total) override;

  // What was kept so far, in the order it was reported.
  std::vector<Problem> problems() const;

 private:
  void keep(Problem::Kind kind, std::int64_t block, std::string what, int err = 0);

  mutable std::mutex mutex_;  // workers and the writer report too
  std::vector<Problem> problems_;
};

}  // namespace uq::report
