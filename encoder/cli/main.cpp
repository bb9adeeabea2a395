// quarvex: compresses one file into the block-compressed quarvex format that unquarvex restores.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "format/file_writer.h"

namespace {

constexpr unsigned kMaxThreads = 64;

void print_usage(std::FILE* to) {
  std::fprintf(to,
               "usage: quarvex [-l LEVEL] [-f FILTER] [-b BLOCK_MIB] [-s SHUFFLE_SEED] "
               "[-t THREADS] [-v] INPUT OUTPUT.qvx\n"
               "  -l LEVEL      0..255, default %u. Shortest match 4 bytes at 0..7, 3 at 8 and\n"
               "                10..255, 2 at 9; higher levels search harder (no gain past 10)\n"
               "  -f FILTER     0 none (default), 1 x86 branch filter, 2 3-byte delta filter\n"
               "  -b BLOCK_MIB  block size in MiB, 1..%u, default %u\n"
               "  -s SHUFFLE_SEED  write the blocks in a shuffled order, each record within\n"
               "                127 places of its block\n"
               "  -t THREADS    compressing threads, 1..%u, default: one per processor\n"
               "  -v            print sizes, ratio and speed on standard error\n",
               unsigned{uq::enc::kDefaultLevel}, unsigned{uq::enc::kMaxBlockMib},
               unsigned{uq::enc::kDefaultBlockMib}, kMaxThreads);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "quarvex: %s\n", message.c_str());
  print_usage(stderr);
  return 2;
}

// A decimal number of at most 20 digits, nothing else, within [low, high].
std::optional<std::uint64_t> parse_number(const char* text, std::uint64_t low,
                                          std::uint64_t high) {
  std::size_t len = std::strlen(text);
  if (len == 0 || len > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v < low || v > high) return std::nullopt;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write should fail (and the output be removed), not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  uq::enc::WriterOptions options;
  unsigned hardware = std::thread::hardware_concurrency();
  options.threads = hardware == 0 ? 1 : std::min(hardware, kMaxThreads);
  bool verbose = false;
  std::vector<std::string> files;

  for (int a = 1; a < argc; ++a) {
    const char* arg = argv[a];
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      print_usage(stdout);
      return 0;
    }
    if (std::strcmp(arg, "-v") == 0) {
      verbose = true;
      continue;
    }
    if (arg[0] != '-' || arg[1] == '\0') {
      files.emplace_back(arg);
      continue;
    }
    char option = arg[1];
    if (std::strchr("lfbst", option) == nullptr) {
      return usage_error(std::string("unknown option '") + arg + "'");
    }
    // The value follows in the same argument (-l9) or in the next one (-l 9).
    const char* value = arg[2] != '\0' ? arg + 2 : (a + 1 < argc ? argv[++a] : nullptr);
    if (value == nullptr) return usage_error(std::string("option -") + option + " needs a value");
    std::optional<std::uint64_t> v;
    switch (option) {
      case 'l':
        if (!(v = parse_number(value, 0, 255))) return usage_error("level must be 0 to 255");
        options.level = static_cast<std::uint8_t>(*v);
        break;
      case 'f':
        if (!(v = parse_number(value, 0, 2))) return usage_error("filter must be 0, 1 or 2");
        options.filter = static_cast<std::uint8_t>(*v);
        break;
      case 'b':
        if (!(v = parse_number(value, 1, uq::enc::kMaxBlockMib))) {
          return usage_error("block size must be 1 to 2047 MiB");
        }
        options.block_mib = static_cast<std::uint16_t>(*v);
        break;
      case 's':
        if (!(v = parse_number(value, 0, UINT64_MAX))) {
          return usage_error("shuffle seed must be a number");
        }
        options.shuffle_seed = *v;
        break;
      case 't':
        if (!(v = parse_number(value, 1, kMaxThreads))) {
          return usage_error("threads must be 1 to 64");
        }
        options.threads = static_cast<unsigned>(*v);
        break;
    }
  }
  if (files.size() != 2) return usage_error("give one input file and one output file");

  auto start = std::chrono::steady_clock::now();
  uq::enc::WriteSummary summary;
  std::string error;
  if (!uq::enc::compress_file(files[0], files[1], options, &summary, &error)) {
    std::fprintf(stderr, "quarvex: %s\n", error.c_str());
    return 1;
  }
  if (verbose) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double ratio = summary.in_bytes == 0 ? 0.0 : 100.0 * summary.out_bytes / summary.in_bytes;
    std::fprintf(stderr,
                 "%s: %llu -> %llu bytes (%.2f%%), %llu blocks (%llu stored), %.2f s, %.1f MB/s\n",
                 files[0].c_str(), static_cast<unsigned long long>(summary.in_bytes),
                 static_cast<unsigned long long>(summary.out_bytes), ratio,
                 static_cast<unsigned long long>(summary.blocks),
                 static_cast<unsigned long long>(summary.stored_blocks), seconds,
                 seconds > 0 ? summary.in_bytes / seconds / 1e6 : 0.0);
  }
  return 0;
}
