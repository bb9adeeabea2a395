// Problems in --test's words, the one a verdict names, and the header's facts.
#include "format/verdict.h"

#include <algorithm>
#include <cstdio>

namespace uq::format {

std::string describe_without_block(const Problem& p) {
  switch (p.kind) {
    case Problem::Kind::cannot_open: return "can't be opened: " + p.what;
    case Problem::Kind::read_error: return p.block >= 0 ? p.what : "read error: " + p.what;
    case Problem::Kind::not_qvx: return "not a quarvex file";
    case Problem::Kind::no_memory: return "out of memory";
    case Problem::Kind::write_error: return "write error: " + p.what;
    default: return p.what;
  }
}

std::string describe(const Problem& p) {
  const bool names_block = p.block >= 0 && (p.kind == Problem::Kind::read_error || p.kind == Problem::Kind::corrupt ||
                                            p.kind == Problem::Kind::damaged);
  return (names_block ? "block " + std::to_string(p.block) + ": " : "") + describe_without_block(p);
}

const Problem* first_problem(const std::vector<Problem>& problems) {
  const Problem* first = nullptr;
  for (const Problem& p : problems) {
    if (p.kind == Problem::Kind::incomplete) continue;  // follows another problem
    if (first == nullptr || (first->block >= 0 && p.block < first->block)) first = &p;
  }
  return first;
}

HeaderFacts header_facts(const std::uint8_t (&bytes)[kHeaderSize]) {
  HeaderFacts facts;
  facts.header = parse_header(bytes);
  facts.read = facts.header.magic_ok;
  facts.has_checksum = std::equal(kChecksumTag, kChecksumTag + 4, bytes + kChecksumAt);
  if (facts.has_checksum) {
    for (int i = 7; i >= 0; --i) facts.checksum = (facts.checksum << 8) | bytes[kChecksumAt + 4 + i];
  }
  return facts;
}

HeaderFacts header_facts_of(const std::string& path) {
  std::uint8_t bytes[kHeaderSize];
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return {};
  const bool whole = std::fread(bytes, 1, sizeof bytes, in) == sizeof bytes;
  std::fclose(in);
  return whole ? header_facts(bytes) : HeaderFacts{};
}

}  // namespace uq::format

namespace uq {

bool is_damage(const Problem& p) {
  switch (p.kind) {
    case Problem::Kind::cannot_open:
    case Problem::Kind::not_qvx:
    case Problem::Kind::no_memory:
    case Problem::Kind::write_error:
      return false;
    case Problem::Kind::read_error:
      return p.err == 0;  // cut short; a read that failed says nothing of the bytes
    default:
      return true;
  }
}

std::int64_t restored_size_of(const std::string& path) {
  const format::HeaderFacts facts = format::header_facts_of(path);
  return facts.read ? std::max<std::int64_t>(facts.header.orig_size, 0) : -1;
}

}  // namespace uq
