// The restore tool with an input cut short under its pending copies: before the first copy of a
// stored block into the output named by UQ_CUT_OUTPUT, the file UQ_CUT_INPUT is truncated to
// UQ_CUT_SIZE bytes, as another program or a failing disk may do once its records have been read.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pipeline/output.h"
#include "unquarvex.h"

namespace {

std::atomic<bool> cut{false};

void cut_input(const std::string& output) {
  const char* target = std::getenv("UQ_CUT_OUTPUT");
  if (target == nullptr || output != target || cut.exchange(true)) return;
  std::error_code failed;
  std::filesystem::resize_file(std::filesystem::u8path(std::getenv("UQ_CUT_INPUT")),
                               std::strtoull(std::getenv("UQ_CUT_SIZE"), nullptr, 10), failed);
  if (failed) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  uq::pipeline::set_copy_hook(cut_input);
  return uq::restore_main(argc, argv);
}
