// Block decode speed per data kind: one 1 MiB block of text, x86 code, zeros and random bytes,
// coded once at start-up by the compressor's block encoder and decoded per iteration through the
// method table; the post-filters over the same blocks.
// `decode_bench --once=KIND` decodes one block of KIND and exits, for callgrind.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec/block_buffers.h"
#include "codec/block_encoder.h"
#include "codec/method_table.h"
#include "codec/post_filters.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::uint8_t kLevel = uq::enc::kDefaultLevel;

// Appends whole files (sorted by path, so the same machine gives the same bytes) until `limit`.
void append_files(const fs::path& root, bool (*wanted)(const fs::path&), Bytes& out,
                  std::size_t limit) {
  std::error_code ec;
  std::vector<fs::path> paths;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && wanted(it->path())) paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    if (out.size() >= limit) break;
    std::ifstream file(path, std::ios::binary);
    out.insert(out.end(), std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (out.size() > limit) out.resize(limit);
}

Bytes text_data() {
  Bytes out;
  append_files("/usr/share/doc", [](const fs::path& p) { return p.extension() != ".gz"; }, out,
               kBlockSize);
  append_files("/usr/include", [](const fs::path&) { return true; }, out, kBlockSize);
  return out;
}

Bytes x86_data() {
  Bytes out;
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/proc/self/exe"}) {
    std::ifstream file(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (out.size() >= kBlockSize) break;
  }
  if (out.size() > kBlockSize) out.resize(kBlockSize);
  return out;
}

Bytes random_data() {
  std::mt19937 rng(2024);
  Bytes out(kBlockSize);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

struct Block {
  Bytes plain;
  std::uint8_t* coded = nullptr;  // from allocate_input, as the file decoder hands it over
  std::size_t coded_len = 0;
};

Block make_block(Bytes plain) {
  Block block;
  const Bytes coded = uq::enc::encode_block(plain.data(), plain.size(), kLevel);
  block.plain = std::move(plain);
  block.coded_len = coded.size();
  block.coded = uq::codec::allocate_input(coded.size());
  std::memcpy(block.coded, coded.data(), coded.size());
  return block;
}

const Block& block_of(const std::string& kind) {
  static const Block text = make_block(text_data());
  static const Block x86 = make_block(x86_data());
  static const Block zeros = make_block(Bytes(kBlockSize, 0));
  static const Block random = make_block(random_data());
  if (kind == "text") return text;
  if (kind == "x86") return x86;
  if (kind == "zeros") return zeros;
  return random;
}

// One block through the method table, as a decode worker does it. Gives the result of decode.
std::int32_t decode_once(const Block& block, std::uint8_t* out) {
  const uq::codec::Method* method = uq::codec::find_method(5);
  uq::codec::DecodeJob job;
  job.method = 5;
  job.level = kLevel;
  job.comp_len = static_cast<std::uint32_t>(block.coded_len);
  job.in_buf = block.coded;
  job.in_ptr = block.coded;
  job.out_ptr = out;
  job.out_len = static_cast<std::int32_t>(block.plain.size());
  uq::codec::ModelState* model = method->init(job);
  const std::int32_t result = method->decode(job, model);
  method->free(job, model);
  return result;
}

void BM_Decode(benchmark::State& state, const std::string& kind) {
  const Block& block = block_of(kind);
  std::uint8_t* out = uq::codec::allocate_output(block.plain.size());
  if (decode_once(block, out) != static_cast<std::int32_t>(block.plain.size()) ||
      std::memcmp(out, block.plain.data(), block.plain.size()) != 0) {
    state.SkipWithError("block does not restore to its data");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode_once(block, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.plain.size()));
  state.counters["ratio"] = static_cast<double>(block.coded_len) / block.plain.size();
  uq::codec::release_buffer(out);
}

void BM_X86Filter(benchmark::State& state) {
  Bytes data = block_of("x86").plain;
  for (auto _ : state) {
    std::uint32_t filter_state = 0;
    benchmark::DoNotOptimize(uq::codec::x86_branch_decode(data.data(), data.size(), 0, &filter_state));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_Delta3Filter(benchmark::State& state) {
  Bytes data = block_of("random").plain;
  for (auto _ : state) {
    uq::codec::delta3_decode(data.data(), data.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--once=", 7) == 0) {
      const Block& block = block_of(argv[i] + 7);
      std::uint8_t* out = uq::codec::allocate_output(block.plain.size());
      const std::int32_t result = decode_once(block, out);
      const bool same = std::memcmp(out, block.plain.data(), block.plain.size()) == 0;
      std::printf("%s: %zu bytes from %zu coded, result %d, %s\n", argv[i] + 7,
                  block.plain.size(), block.coded_len, result, same ? "restored" : "DIFFERS");
      uq::codec::release_buffer(out);
      return same ? 0 : 1;
    }
  }
  for (const char* kind : {"text", "x86", "zeros", "random"}) {
    benchmark::RegisterBenchmark((std::string("Decode/") + kind).c_str(), BM_Decode,
                                 std::string(kind))
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("X86Filter", BM_X86Filter)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Delta3Filter", BM_Delta3Filter)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
