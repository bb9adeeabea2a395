// Decoding of the little-endian file header and block record.
#include "format/file_format.h"

namespace uq::format {

namespace {

std::uint64_t load_le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

FileHeader parse_header(const std::uint8_t (&bytes)[kHeaderSize]) {
  FileHeader h;
  h.magic_ok = bytes[1] == 'Q' && bytes[2] == 'V' && bytes[3] == '0';
  h.orig_size = static_cast<std::int64_t>(load_le(bytes + 4, 8));
  h.method = bytes[12];
  h.level = bytes[13];
  h.filter = bytes[17];
  h.block_mib = static_cast<std::uint16_t>(load_le(bytes + 18, 2));
  return h;
}

BlockRecord parse_record(const std::uint8_t (&bytes)[kRecordSize]) {
  return {static_cast<std::uint32_t>(load_le(bytes, 4)), bytes[4]};
}

}  // namespace uq::format
