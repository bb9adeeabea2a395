// quarvex's block sizes and compressed sizes end to end: a file without -b gets blocks of its size
// (a small file several, a stream the full size), -b is honoured, and the sizes of a fixed corpus at
// the default level and --best stay where they are, so that a change that costs ratio fails.
#include <string>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"

namespace uq::test {
namespace {

constexpr std::size_t kMiB = 1 << 20;

class QuarvexSizes : public QuarvexTest {
 protected:
  // Compresses `name` with `options` into NAME.qvx, restores it with two workers and gives the
  // archive.
  Bytes packed(const std::string& name, std::vector<std::string> options) {
    options.insert(options.end(), {"-f", "-o", name + ".qvx", name});
    RunResult c = quarvex(options);
    EXPECT_EQ(c.status, 0) << name << ": " << c.err;
    RunResult r = unquarvex({"-d", "-p2", name + ".qvx", "out"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(get("out/" + name) == get(name)) << name;
    return get(name + ".qvx");
  }
  static unsigned block_mib(const Bytes& archive) { return archive.at(18) | archive.at(19) << 8; }
};

// Text that repeats every 64 KiB: quick to compress under the sanitizers.
Bytes repeating_text(std::size_t n) {
  const Bytes unit = text_like(64 << 10, 3);
  Bytes d;
  while (d.size() < n) d.insert(d.end(), unit.begin(), unit.end());
  d.resize(n);
  return d;
}

TEST_F(QuarvexSizes, AFileWithoutBlockSizeIsCutByItsSizeAndAGivenOneIsHonoured) {
  put("eight", repeating_text(8 * kMiB));
  // Four blocks of 2 MiB, so that two workers share the restore; -b wins, whatever the size.
  EXPECT_EQ(block_mib(packed("eight", {"-1"})), 2u);
  EXPECT_EQ(block_mib(packed("eight", {"-1", "-b", "8"})), 8u);
  EXPECT_EQ(block_mib(packed("eight", {"-1", "-b", "1"})), 1u);
  // A stream's size is not known before its blocks are cut: it takes the full block, 16 MiB.
  const Bytes eight = get("eight");
  RunResult piped = run_program({UQ_QUARVEX, "-1"}, {.cwd = dir_.path(),
                                                     .stdout_file = dir_ / "piped.qvx",
                                                     .stdin_pipe = true,
                                                     .stdin_data = std::string(eight.begin(), eight.end())});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(block_mib(get("piped.qvx")), 16u);
  // --best keeps two blocks, as large as they can be; a byte more takes a third block, which the
  // first worker gets with the first one.
  put("four", repeating_text(4 * kMiB));
  EXPECT_EQ(block_mib(packed("four", {"--best"})), 2u);
  put("four", repeating_text(4 * kMiB + 1));
  EXPECT_EQ(block_mib(packed("four", {"--best"})), 2u);
  // 5 MiB can't be shared fairly: the largest block that still gives two or more.
  put("five", repeating_text(5 * kMiB));
  EXPECT_EQ(block_mib(packed("five", {"--best"})), 2u);
}

// Pinned sizes of a fixed corpus, within 1%: text, x86 code, C headers and pixels, 256 KiB each, at
// the default level and --best (one block, as the file is small); and text that comes back
// 1.25 MiB later in one 2 MiB block, which only a window reaching that far finds (in 1 MiB blocks
// the archive is 4.5% larger). Small enough to stay quick under the sanitizers on a busy machine.
TEST_F(QuarvexSizes, AFixedCorpusKeepsItsCompressedSizes) {
  constexpr std::size_t kQuarter = kMiB / 4;
  Bytes corpus = text_like(kQuarter, 7);
  for (const Bytes& part : {x86_like(kQuarter, 7), header_like(kQuarter, 7), rgb_like(kQuarter, 7)}) {
    corpus.insert(corpus.end(), part.begin(), part.end());
  }
  put("corpus", corpus);
  Bytes far = text_like(kQuarter, 8);
  const Bytes noise = random_bytes(kMiB, 8);
  far.insert(far.end(), noise.begin(), noise.end());
  far.insert(far.end(), far.begin(), far.begin() + kQuarter);
  put("far", far);
  const auto near = [](std::size_t actual, std::size_t pinned) {
    return actual * 100 >= pinned * 99 && actual * 100 <= pinned * 101;
  };
  const Bytes plain = packed("corpus", {});
  const Bytes best = packed("corpus", {"--best"});
  const Bytes window = packed("far", {"-b", "2"});
  EXPECT_PRED2(near, plain.size(), 414235u);
  EXPECT_PRED2(near, best.size(), 365214u);
  // The noise costs a little more than itself; the text's second copy almost nothing.
  EXPECT_PRED2(near, window.size(), 1119478u);
}

}  // namespace
}  // namespace uq::test
