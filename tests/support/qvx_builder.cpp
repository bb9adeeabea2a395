// Little-endian header and record encoding for test files.
#include "support/qvx_builder.h"

#include <cctype>
#include <stdexcept>

namespace uq::test {

namespace {

void put_le(Bytes& out, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(i < 8 ? static_cast<std::uint8_t>(v >> (8 * i)) : 0);
}

}  // namespace

QvxBuilder::QvxBuilder(const HeaderFields& h) {
  bytes_.push_back(0);
  for (int i = 0; i < 3; ++i) bytes_.push_back(static_cast<std::uint8_t>(h.magic.at(i)));
  put_le(bytes_, static_cast<std::uint64_t>(h.orig_size), 8);
  bytes_.push_back(h.method);
  bytes_.push_back(h.level);
  put_le(bytes_, 0, 3);
  bytes_.push_back(h.filter);
  put_le(bytes_, h.block_mib, 2);
  put_le(bytes_, 0, 12);
}

QvxBuilder& QvxBuilder::block(const Bytes& data, std::uint8_t rel_index) {
  record(static_cast<std::uint32_t>(data.size()), rel_index);
  return raw(data);
}

QvxBuilder& QvxBuilder::record(std::uint32_t comp_len, std::uint8_t rel_index) {
  put_le(bytes_, comp_len, 4);
  bytes_.push_back(rel_index);
  return *this;
}

QvxBuilder& QvxBuilder::raw(const Bytes& data) {
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

Bytes smallest_file() {
  HeaderFields h;
  h.orig_size = 10;
  return QvxBuilder(h).block(Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}).bytes();
}

Bytes hex(const std::string& text) {
  Bytes out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("bad hex");
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    if (++nibbles == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      nibbles = 0;
      value = 0;
    }
  }
  if (nibbles != 0) throw std::invalid_argument("odd hex");
  return out;
}

}  // namespace uq::test
