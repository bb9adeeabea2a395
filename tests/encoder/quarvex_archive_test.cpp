// quarvex --list and --test end to end: the facts of whole, shuffled, short and odd archives, the
// verdict on damaged ones (a flipped byte that still decodes is caught by the checksum), the
// vectors of other writers (no checksum), JSON that a strict reader accepts, and no file written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/json.h"
#include "support/os.h"
#include "support/qvx_builder.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Json parsed(const std::string& text) {
  std::string error;
  std::optional<Json> json = parse_json(text, &error);
  EXPECT_TRUE(json.has_value()) << error << "\n" << text;
  return json.value_or(Json{});
}

class QuarvexArchives : public QuarvexTest {
 protected:
  // Four 1 MiB blocks written shuffled: text, noise (stored), text, and 500 bytes of text.
  void SetUp() override {
    data_ = text_like(kMiB, 1);
    const Bytes noise = random_bytes(kMiB, 2);
    const Bytes more = text_like(kMiB + 500, 3);
    data_.insert(data_.end(), noise.begin(), noise.end());
    data_.insert(data_.end(), more.begin(), more.end());
    put("data", data_);
    ASSERT_EQ(quarvex({"-1", "-b", "1", "--shuffle-seed=7", "-o", "shuffled.qvx", "data"}).status, 0);
    shuffled_ = get("shuffled.qvx");
    // Blocks 0 and 2 of 2 MiB + 10 bytes, block 0 twice; a record for block 4, past the end.
    const Bytes b0 = text_like(kMiB, 4);
    put("odd.qvx", QvxBuilder({.orig_size = 2 * kMiB + 10})
                       .block(b0)
                       .block(b0, 0x03)
                       .block(Bytes(10, 'z'))
                       .block(Bytes(5, 'y'), 0x02)
                       .bytes());
  }

  Bytes data_;
  Bytes shuffled_;
};

TEST_F(QuarvexArchives, ListGivesOneLinePerArchiveWithItsOddities) {
  put("cut.qvx", Bytes(shuffled_.begin(), shuffled_.begin() + static_cast<long>(shuffled_.size() / 2)));
  put("header-only.qvx", QvxBuilder({.orig_size = 0}).bytes());
  RunResult whole = quarvex({"--list", "shuffled.qvx"});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(whole.err, "");
  std::vector<std::string> lines = lines_of(whole.out);
  ASSERT_EQ(lines.size(), 3u) << whole.out;
  EXPECT_EQ(words_of(lines[0]), (std::vector<std::string>{"Restored", "Archive", "Ratio", "Block", "Blocks", "Coded",
                                                           "Stored", "Method", "Level", "Filter", "Check", "Name"}));
  const std::string size = std::to_string(shuffled_.size());
  const std::vector<std::string> row = words_of(lines[1]);
  ASSERT_EQ(row.size(), 13u) << lines[1];
  EXPECT_EQ(row[0], std::to_string(data_.size()));
  EXPECT_EQ(row[1], size);
  EXPECT_EQ(row[3] + " " + row[4], "1 MiB");
  EXPECT_EQ(std::vector<std::string>(row.begin() + 5, row.end()),
            (std::vector<std::string>{"4", "3", "1", "5", "1", "none", "yes", "shuffled.qvx"}));
  EXPECT_EQ(words_of(lines[2]).back(), "archive");

  RunResult odd = quarvex({"-l", "shuffled.qvx", "cut.qvx", "odd.qvx", "header-only.qvx", "data"});
  EXPECT_EQ(odd.status, 1);
  EXPECT_EQ(odd.err, "quarvex: 'data': not a quarvex archive\n");
  lines = lines_of(odd.out);
  ASSERT_EQ(lines.size(), 6u) << odd.out;
  EXPECT_NE(lines[2].find(" cut.qvx  [missing "), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(", cut short]"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find(" odd.qvx  [missing 1, repeated 1, out of range 1]  (no checksum: contents can't be "
                          "verified)"),
            std::string::npos)
      << lines[3];
  EXPECT_EQ(words_of(lines[4]), (std::vector<std::string>{"0", "32", "-", "1", "MiB", "0", "0", "0", "5", "0", "none",
                                                           "no", "header-only.qvx", "(no", "checksum:", "contents",
                                                           "can't", "be", "verified)"}));
  const std::vector<std::string> total = words_of(lines[5]);
  EXPECT_EQ(std::vector<std::string>(total.end() - 3, total.end()), (std::vector<std::string>{"total,", "4", "archives"}));
  EXPECT_EQ(total[0], std::to_string(2 * data_.size() + 2 * kMiB + 10));
}

// Listing reads records only and keeps a fixed window of them: four million records take no
// more memory than one (a set of every index took 175 MB of a release build for them).
// (A child's peak counts the test's own pages that it forked with, the same for both runs; the
// file is written in pieces so that they stay few.)
TEST_F(QuarvexArchives, ListingMillionsOfRecordsTakesNoMoreMemoryThanOne) {
  constexpr int kRecords = 4 << 20;
  {
    std::FILE* f = std::fopen((dir_ / "many.qvx").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const Bytes header = QvxBuilder({.orig_size = std::int64_t{kRecords} * std::int64_t{kMiB}}).bytes();
    std::fwrite(header.data(), 1, header.size(), f);
    for (int k = 0; k < kRecords; ++k) {
      const std::uint8_t record[5] = {0, 0, 0, 0, k % 7 == 3 ? std::uint8_t{0x03} : std::uint8_t{0x00}};
      std::fwrite(record, 1, sizeof record, f);  // every 7th names the block of the one before
    }
    ASSERT_EQ(std::fclose(f), 0);
  }
  put("one.qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(kMiB)}).record(0).bytes());
  RunResult one = quarvex({"-l", "one.qvx"});
  EXPECT_EQ(one.status, 0) << one.err;
  RunResult r = quarvex({"-l", "many.qvx"});
  EXPECT_EQ(r.status, 1);  // odd: repeated and missing blocks
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::string repeats = std::to_string((kRecords + 3) / 7);
  EXPECT_NE(lines[1].find(" many.qvx  [missing " + repeats + ", repeated " + repeats + "]"), std::string::npos)
      << lines[1];
  EXPECT_LT(r.max_rss_kib - one.max_rss_kib, 8 << 10) << r.max_rss_kib << " KiB against " << one.max_rss_kib;
}

TEST_F(QuarvexArchives, ListJsonParsesAndCarriesTheSameFacts) {
  put("cut.qvx", Bytes(shuffled_.begin(), shuffled_.end() - 100));
  // A name JSON must escape; Windows allows none of its odd bytes in a name.
  const std::string odd_name = "name \"with\"\nodd\tbytes \xff.qvx";
  std::vector<std::string> args{"-l", "--json", "shuffled.qvx", "cut.qvx", "odd.qvx", "absent.qvx"};
  if (!kWindows) {
    put(odd_name, shuffled_);
    args.push_back(odd_name);
  }
  RunResult r = quarvex(args);
  EXPECT_EQ(r.status, 1);
  const Json json = parsed(r.out);
  const std::vector<Json>& a = json["archives"].items;
  ASSERT_EQ(a.size(), kWindows ? 4u : 5u);
  EXPECT_EQ(a[0]["name"].text, "shuffled.qvx");
  EXPECT_EQ(a[0]["restored_size"].number, static_cast<double>(data_.size()));
  EXPECT_EQ(a[0]["archive_size"].number, static_cast<double>(shuffled_.size()));
  EXPECT_EQ(a[0]["blocks"].number, 4);
  EXPECT_EQ(a[0]["coded_blocks"].number, 3);
  EXPECT_EQ(a[0]["stored_blocks"].number, 1);
  EXPECT_EQ(a[0]["level"].number, 1);
  EXPECT_EQ(a[0]["filter"].text, "none");
  EXPECT_TRUE(a[0]["checksum"].boolean);
  EXPECT_EQ(a[0]["checksum_value"].text.size(), 16u);
  EXPECT_FALSE(a[0]["odd"].boolean);
  EXPECT_TRUE(a[1]["cut_short"].boolean);
  EXPECT_TRUE(a[1]["odd"].boolean);
  EXPECT_EQ(a[2]["missing_blocks"].number, 1);
  EXPECT_EQ(a[2]["repeated_blocks"].number, 1);
  EXPECT_EQ(a[2]["out_of_range_records"].number, 1);
  EXPECT_EQ(a[2]["checksum"].kind, Json::Kind::boolean);
  EXPECT_FALSE(a[2]["checksum"].boolean);
  EXPECT_EQ(a[2]["checksum_value"].kind, Json::Kind::null);
  EXPECT_EQ(a[3]["name"].text, "absent.qvx");
  EXPECT_EQ(a[3]["error"].kind, Json::Kind::string);
  if (!kWindows) {
    EXPECT_EQ(a[4]["name"].text, "name \"with\"\nodd\tbytes \xef\xbf\xbd.qvx");  // U+FFFD for the byte
  }
  EXPECT_EQ(json["totals"]["archives"].number, kWindows ? 3 : 4);  // absent.qvx is none
  double coded = 0;
  for (const Json& item : a) coded += item["coded_blocks"].number;
  EXPECT_EQ(json["totals"]["coded_blocks"].number, coded);
}

TEST_F(QuarvexArchives, TestFindsEveryKindOfDamageAndWritesNothing) {
  // One coded block with a bit flipped near its end, where the range coder's last bits are: the
  // first flip from the end that still decodes, into other bytes, without a word from the
  // restore tool. Only the checksum can tell.
  put("text", text_like(50000, 5));
  ASSERT_EQ(quarvex({"-o", "text.qvx", "text"}).status, 0);
  bool found = false;
  for (std::size_t k = 1; k <= 64 && !found; ++k) {
    Bytes flipped = get("text.qvx");
    flipped[flipped.size() - k] ^= 0x01;
    put("flipped.qvx", flipped);
    fs::remove_all(dir_ / "restored");
    RunResult restored = unquarvex({"-d", "-p0", "flipped.qvx", "restored"});
    found = restored.out + restored.err == "" && get("restored/flipped") != text_like(50000, 5);
  }
  ASSERT_TRUE(found) << "no flip of the last 64 bytes decodes";
  fs::remove_all(dir_ / "restored");

  const Bytes b = text_like(kMiB, 6);
  put("missing.qvx", QvxBuilder({.orig_size = 2 * kMiB + 10}).block(b).block(Bytes(10, 'z'), 0x02).bytes());
  put("cut.qvx", Bytes(shuffled_.begin(), shuffled_.end() - 100));
  Bytes header = shuffled_;
  header[1] = 'X';
  put("header.qvx", header);
  const Tree before = snapshot(dir_.path());

  for (const char* threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    RunResult r = quarvex({"-t", threads, "shuffled.qvx", "flipped.qvx", "missing.qvx", "odd.qvx", "cut.qvx",
                           "header.qvx", "text.qvx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    EXPECT_EQ(lines[0], "shuffled.qvx: OK");
    EXPECT_EQ(lines[1], "flipped.qvx: damaged: checksum mismatch");
    EXPECT_EQ(lines[2], "missing.qvx: damaged: block 1 missing");
    EXPECT_EQ(lines[3].rfind("odd.qvx: damaged: block 0: ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("cut.qvx: damaged: block ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "header.qvx: damaged: not a quarvex file");
    EXPECT_EQ(lines[6], "text.qvx: OK");
    EXPECT_EQ(snapshot(dir_.path()), before);
  }
  RunResult good = quarvex({"--test", "shuffled.qvx", "text.qvx"});
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out, "shuffled.qvx: OK\ntext.qvx: OK\n");
  RunResult absent = quarvex({"-t", "absent.qvx", "text.qvx"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.out, "text.qvx: OK\n");
  EXPECT_EQ(absent.err, "quarvex: 'absent.qvx': " + std::string(std::strerror(ENOENT)) + "\n");
}

// --test takes the restore tool's memory budget: a budget below one block checks the blocks one
// at a time, and a malformed value gets the restore tool's line.
TEST_F(QuarvexArchives, TestKeepsToTheMemoryBudget) {
  // Each block waits for the one before to be done: a release that wakes nobody hangs the run.
  RunResult tight =
      quarvex({"-t", "-p2", "shuffled.qvx"}, {.env = {"UNQUARVEX_MEMORY_LIMIT=1"}, .time_limit = kQuickRun});
  EXPECT_EQ(tight.status, 0) << tight.err;
  EXPECT_EQ(tight.out, "shuffled.qvx: OK\n");
  EXPECT_EQ(tight.err, "");
  RunResult bad = quarvex({"-t", "-p2", "shuffled.qvx", "odd.qvx"}, {.env = {"UNQUARVEX_MEMORY_LIMIT=lots"}});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out.rfind("shuffled.qvx: OK\nodd.qvx: damaged: ", 0), 0u) << bad.out;
  EXPECT_EQ(bad.err,
            "quarvex: ignoring UNQUARVEX_MEMORY_LIMIT='lots': give bytes with an optional K, M or G, or a "
            "percentage of memory such as 25%\n");
}

TEST_F(QuarvexArchives, TestJsonParses) {
  put("cut.qvx", Bytes(shuffled_.begin(), shuffled_.end() - 100));
  put("plain.qvx", smallest_file());
  RunResult r = quarvex({"-t", "--json", "shuffled.qvx", "cut.qvx", "plain.qvx"});
  EXPECT_EQ(r.status, 1);
  const Json json = parsed(r.out);
  const std::vector<Json>& a = json["archives"].items;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0]["status"].text, "ok");
  EXPECT_EQ(a[0]["reason"].kind, Json::Kind::null);
  EXPECT_TRUE(a[0]["checksum_matches"].boolean);
  EXPECT_TRUE(a[0]["verified"].boolean);
  EXPECT_EQ(a[1]["status"].text, "damaged");
  EXPECT_EQ(a[1]["reason"].kind, Json::Kind::string);
  EXPECT_EQ(a[1]["first_bad_block"].kind, Json::Kind::number);
  EXPECT_EQ(a[1]["verified"].kind, Json::Kind::boolean);
  EXPECT_FALSE(a[1]["verified"].boolean);
  // Intact as far as its blocks tell, with nothing to verify their bytes against.
  EXPECT_EQ(a[2]["status"].text, "ok");
  EXPECT_EQ(a[2]["verified"].kind, Json::Kind::boolean);
  EXPECT_FALSE(a[2]["verified"].boolean);
  EXPECT_EQ(json["totals"]["intact"].number, 2);
}

// A lack of memory is no verdict: the archive is neither intact nor damaged, and the run fails.
TEST_F(QuarvexArchives, OutOfMemoryIsNotChecked) {
  for (const char* threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    RunResult r = run_program({UQ_QUARVEX_WITHOUT_BLOCK_MEMORY, "-t", threads, "shuffled.qvx"}, {.cwd = dir_.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "shuffled.qvx: not checked: out of memory\n");
    EXPECT_EQ(r.err, "");
    RunResult json = run_program({UQ_QUARVEX_WITHOUT_BLOCK_MEMORY, "-t", "--json", threads, "shuffled.qvx"},
                                 {.cwd = dir_.path()});
    EXPECT_EQ(json.status, 1);
    const Json item = parsed(json.out)["archives"].items.at(0);
    EXPECT_EQ(item["status"].text, "error");
    EXPECT_EQ(item["reason"].text, "out of memory");
    EXPECT_EQ(item["first_bad_block"].kind, Json::Kind::null);
    EXPECT_FALSE(item["verified"].boolean);
  }
}

// With workers, blocks finish in any order: the lowest damaged block is the one named.
TEST_F(QuarvexArchives, TestNamesTheLowestDamagedBlock) {
  const Bytes damaged = hex("61 62 00 ff ff ff ff");  // a length ladder that never ends
  put("two-bad.qvx", QvxBuilder({.orig_size = 2 * kMiB + 16})
                         .block(damaged)
                         .block(text_like(kMiB, 8))
                         .block(damaged)
                         .bytes());
  // The same blocks with block 2's record first: the run reads on past it to the lower one.
  put("shuffled.qvx", QvxBuilder({.orig_size = 2 * kMiB + 16})
                          .block(damaged, 4)  // block 2
                          .block(damaged, 3)  // block 0
                          .block(text_like(kMiB, 8), 3)
                          .bytes());
  for (const char* threads : {"-p0", "-p2"}) {
    for (const std::string name : {"two-bad", "shuffled"}) {
      RunResult r = quarvex({"-t", threads, name + ".qvx"});
      EXPECT_EQ(r.status, 1) << threads << " " << name;
      EXPECT_EQ(r.out, name + ".qvx: damaged: block 0: coded stream damaged\n") << threads;
    }
  }
}

// Archives of other writers carry no checksum: listed as such, and judged by their blocks alone.
TEST_F(QuarvexArchives, TheVectorsPassOrFailAsTheyRestore) {
  const std::string vectors = UQ_VECTOR_DIR;
  const Tree before = snapshot(vectors);
  const std::vector<std::string> clean = {"every-item-level9.qvx", "hello-level0.qvx", "overlong-match.qvx",
                                          "run-level0.qvx", "smallest-delta.qvx", "smallest.qvx", "zeros-short.qvx"};
  const std::vector<std::string> damaged = {"corrupt-far-distance.qvx", "corrupt-ladder.qvx", "empty-coded-blocks.qvx",
                                            "hostile-2gib-block.qvx", "zeros-4mib.qvx"};
  std::vector<std::string> args{"-t"};
  for (const auto& name : clean) args.push_back(vectors + "/" + name);
  RunResult r = quarvex(args);
  EXPECT_EQ(r.status, 0) << r.out;
  for (const auto& name : clean) {
    EXPECT_NE(r.out.find(vectors + "/" + name + ": OK (no checksum: every block decodes, contents not verified)\n"),
              std::string::npos)
        << name;
  }
  for (const auto& name : damaged) {
    r = quarvex({"-t", vectors + "/" + name});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out.rfind(vectors + "/" + name + ": damaged: block ", 0), 0u) << r.out;
  }
  args[0] = "-l";
  r = quarvex(args);
  for (const std::string& line : lines_of(r.out)) {
    if (line.find(".qvx") != std::string::npos) {
      EXPECT_EQ(words_of(line).end()[-8], "no") << line;
      EXPECT_NE(line.find(".qvx  (no checksum: contents can't be verified)"), std::string::npos) << line;
    }
  }
  // -r finds them all, and the files beside them that are no archives.
  r = quarvex({"-t", "-r", vectors});
  EXPECT_EQ(r.status, 1);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(vectors)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(lines_of(r.out).size(), files);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(snapshot(vectors), before);
}

}  // namespace
}  // namespace uq::test
