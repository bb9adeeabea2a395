// libFuzzer target: any bytes through the compressor and back, exactly. Input: a level byte (any
// of 0..255), an options byte, then the data. Options: bits 0-1 the filter (0 none, 1 x86
// branches, 2 3-byte delta; 3 counts as 0), bits 2-3 the block size less one in MiB, bit 4 block
// records shuffled (seed: bits 5-7), bit 5 two compressor threads. The compressed file is
// restored by the restore library without workers; it must restore with status 0, no problem,
// and the bytes given. The data is the input's, so every file has one block: a 1 MiB block costs
// about 6 s here under the sanitizers, so files of several blocks are left to the compressor's
// own tests and to the whole-file targets' seeds.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/file_writer.h"
#include "plain_restore.h"
#include "scratch_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static uq::fuzz::InputFile compressed_file;
  static uq::fuzz::ScratchDir scratch;
  static const std::string output = scratch.path("round.qvx");
  if (size < 2) return 0;

  uq::enc::WriterOptions options;
  options.level = data[0];
  const std::uint8_t bits = data[1];
  options.filter = (bits & 3) == 3 ? 0 : bits & 3;
  options.block_mib = static_cast<std::uint16_t>(1 + ((bits >> 2) & 3));
  if ((bits & 0x10) != 0) options.shuffle_seed = bits >> 5;
  options.threads = (bits & 0x20) != 0 ? 2 : 1;

  const std::vector<std::uint8_t> original(data + 2, data + size);
  const std::vector<std::uint8_t> compressed =
      uq::enc::compress_bytes(original.data(), original.size(), options);
  if (compressed.empty()) std::abort();  // a buffer in memory can't fail to be written
  const uq::fuzz::PlainRestore restored = uq::fuzz::restore_plain(
      compressed_file.fill(compressed.data(), compressed.size()), output);
  if (restored.result.status != 0 || !restored.output || *restored.output != original) {
    std::abort();
  }
  return 0;
}
