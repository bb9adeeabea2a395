// libFuzzer target: any bytes as a whole compressed file, restored without workers through the
// restore library (`uq::restore_file`, as the restore tool's file decoder runs it, with what goes
// wrong collected instead of printed). Damaged headers, records and blocks must end in exactly
// one problem and a non-zero status, a clean restore in status 0 and none; never in a crash, a
// leak, or a read or write outside a buffer.
#include <cstdint>

#include "plain_restore.h"
#include "scratch_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static uq::fuzz::InputFile input;
  static uq::fuzz::ScratchDir scratch;
  static const std::string output = scratch.path("plain.qvx");
  uq::fuzz::restore_plain(input.fill(data, size), output, false);
  return 0;
}
