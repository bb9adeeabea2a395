// Deterministic inputs for the compressor's tests and a one-block restore through the decoder.
#include "encoder/test_data.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "codec/block_buffers.h"
#include "support/method5.h"

namespace uq::test {

Data text_like(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {
      "the",     "of",       "and",     "to",      "license", "software", "copy",   "program",
      "work",    "source",   "code",    "you",     "may",     "any",      "under",  "terms",
      "without", "warranty", "version", "free",    "public",  "general",  "this",   "that",
      "modify",  "permission", "notice", "is",     "for",     "distribute", "or",   "with"};
  std::mt19937 rng(seed);
  Data out;
  out.reserve(n + 16);
  std::size_t line = 0;
  while (out.size() < n) {
    const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    out.insert(out.end(), w, w + std::strlen(w));
    line += std::strlen(w) + 1;
    unsigned r = rng() % 16;
    char sep = r == 0 ? ',' : r == 1 ? '.' : ' ';
    out.push_back(static_cast<std::uint8_t>(sep));
    if (sep != ' ') out.push_back(' ');
    if (line > 70) {
      out.push_back('\n');
      line = 0;
    }
  }
  out.resize(n);
  return out;
}

Data random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Data out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng() >> 24);
  return out;
}

Data x86_like(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> functions(300);
  for (auto& f : functions) f = rng() % static_cast<std::uint32_t>(n + 1);
  static const std::uint8_t kOps[][3] = {{0x48, 0x89, 0xC7}, {0x48, 0x8B, 0x45}, {0x31, 0xC0, 0x90},
                                         {0x48, 0x83, 0xEC}, {0x5D, 0xC3, 0x90}, {0x89, 0x45, 0xFC}};
  Data out;
  out.reserve(n + 8);
  while (out.size() < n) {
    if (rng() % 3 == 0) {
      auto target = functions[rng() % functions.size()];
      std::uint32_t rel = target - static_cast<std::uint32_t>(out.size() + 5);
      out.push_back(0xE8);
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(rel >> (8 * i)));
    } else {
      const auto& op = kOps[rng() % 6];
      out.insert(out.end(), op, op + 3);
      out.push_back(static_cast<std::uint8_t>(rng() % 16 * 8));
    }
  }
  out.resize(n);
  return out;
}

Data header_like(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> names(400);
  static const char* const kParts[] = {"buf", "len", "ctx", "node", "flag", "io", "dev",
                                       "map", "page", "lock", "req", "stat", "sock", "irq"};
  for (auto& name : names) {
    name = kParts[rng() % 14];
    for (unsigned k = 1 + rng() % 3; k > 0; --k) name += std::string("_") + kParts[rng() % 14];
  }
  // A square law on a uniform pick: the first names come up far more often than the last ones.
  auto pick = [&]() -> const std::string& {
    double u = (rng() % 10000) / 10000.0;
    return names[static_cast<std::size_t>(u * u * names.size())];
  };
  Data out;
  out.reserve(n + 160);
  char line[160];
  while (out.size() < n) {
    unsigned kind = rng() % 4;
    int len = 0;
    if (kind == 0) {
      len = std::snprintf(line, sizeof line, "#define %s_MAX 0x%x\n", pick().c_str(),
                          static_cast<unsigned>(rng() % 4096));
    } else if (kind == 1) {
      len = std::snprintf(line, sizeof line, "extern int %s(struct %s *%s, unsigned %s);\n",
                          pick().c_str(), pick().c_str(), pick().c_str(), pick().c_str());
    } else if (kind == 2) {
      len = std::snprintf(line, sizeof line, "\tstruct %s *%s;\t/* %s */\n", pick().c_str(),
                          pick().c_str(), pick().c_str());
    } else {
      len = std::snprintf(line, sizeof line, "static inline void %s(void) { %s(%s); }\n",
                          pick().c_str(), pick().c_str(), pick().c_str());
    }
    out.insert(out.end(), line, line + len);
  }
  out.resize(n);
  return out;
}

Data rgb_like(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Data out(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t pixel = i / 3;
    unsigned channel = static_cast<unsigned>(i % 3);
    unsigned x = static_cast<unsigned>(pixel % 512);
    unsigned y = static_cast<unsigned>(pixel / 512);
    unsigned v = (x * (channel + 1) + y * (3 - channel)) / 3 + rng() % 3;
    out[i] = static_cast<std::uint8_t>(v);
  }
  return out;
}

Data restore_block(const Data& coded, std::size_t n, std::uint8_t level, std::uint8_t padding,
                   std::int32_t* result) {
  std::uint8_t* in = codec::allocate_input(coded.size());
  std::uint8_t* out = codec::allocate_output(n);
  if (!coded.empty()) std::memcpy(in, coded.data(), coded.size());
  std::memset(in + coded.size(), padding, codec::kInputPadding);
  const std::optional<std::int32_t> r =
      decode_method5(in, coded.size(), out, static_cast<std::int32_t>(n), level);
  Data restored = r ? Data(out, out + n) : Data{};
  if (r && result != nullptr) *result = *r;
  codec::release_buffer(in);
  codec::release_buffer(out);
  return restored;
}

}  // namespace uq::test
