// A plain main() for a fuzz target outside libFuzzer: feeds every file under the directories (or
// files) it is given to LLVMFuzzerTestOneInput, in name order, so that the committed corpora are
// replayed by the ordinary test run. A target's check fails by aborting; replay then fails too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Only some targets define it.
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR|FILE...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path root(argv[i]);
    std::error_code err;
    if (std::filesystem::is_regular_file(root, err)) {
      inputs.push_back(root);
      continue;
    }
    if (!std::filesystem::is_directory(root, err)) {
      std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
      return 1;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  // A corpus that has gone missing or empty must not pass as replayed.
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());

  for (const auto& path : inputs) {
    // Named first, so that a failing input is the last name before the sanitizer's report.
    std::fprintf(stderr, "%s\n", path.c_str());
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "%s: cannot read\n", path.c_str());
      return 1;
    }
    // A copy of exactly its size (never null, even when empty), as libFuzzer gives it: a read past
    // the input is a heap overflow.
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
