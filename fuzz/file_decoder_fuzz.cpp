// libFuzzer target: any bytes as a whole compressed file, restored by decode_file without
// workers. Damaged headers, records and blocks must end in a report, never in a crash, a leak or
// a read or write outside a buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "format/file_decoder.h"
#include "pipeline/queues.h"

namespace {

std::string input_path;
std::string output_path;
int input_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports go to standard output; keep them out of the fuzzer's log.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  input_fd = memfd_create("fuzz.qvx", 0);
  char dir[] = "/tmp/uqfuzz-XXXXXX";
  if (input_fd < 0 || mkdtemp(dir) == nullptr) std::abort();
  input_path = "/proc/self/fd/" + std::to_string(input_fd);
  output_path = std::string(dir) + "/out.qvx";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(input_fd, 0) != 0 || pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  uq::pipeline::WriteQueue write_queue(0);
  uq::pipeline::DecodeQueue decode_queue(0, &write_queue);
  uq::format::decode_file(decode_queue, input_path, output_path);
  return 0;
}
