// Builds compressed files byte by byte, so tests can state exactly what a file holds, damage
// included.
#pragma once

#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace uq::test {

struct HeaderFields {
  std::int64_t orig_size = 0;
  std::uint8_t method = 5;
  std::uint8_t level = 0;
  std::uint8_t filter = 0;
  std::uint16_t block_mib = 1;
  std::string magic = "QV0";
};

class QvxBuilder {
 public:
  explicit QvxBuilder(const HeaderFields& h);

  // A block record followed by `data` as its bytes (comp_len = data.size()).
  QvxBuilder& block(const Bytes& data, std::uint8_t rel_index = 0);
  // A block record alone.
  QvxBuilder& record(std::uint32_t comp_len, std::uint8_t rel_index = 0);
  // Any bytes.
  QvxBuilder& raw(const Bytes& data);

  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// The 47-byte smallest complete file: "0123456789" stored in one block.
Bytes smallest_file();

// Bytes from a string of hex pairs such as "61 62 00 ff".
Bytes hex(const std::string& text);

}  // namespace uq::test
