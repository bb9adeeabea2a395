// Many small files in one run: they are compressed several at a time, yet each archive is the
// one a run of its own gives, and the messages come in the order of the inputs. Runs under
// ThreadSanitizer too (label pipeline).
#include <string>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/expected.h"

namespace uq::test {
namespace {

TEST_F(QuarvexTest, SmallFilesTogetherGiveTheSameArchivesAndMessagesInOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 24; ++i) {
    const std::string name = "f" + std::to_string(10 + i);
    // Sizes from 0 to about 40 KB, two of them noise (stored).
    put(name, i % 11 == 5 ? random_bytes(5000u + i, static_cast<std::uint32_t>(i))
                          : text_like(static_cast<std::size_t>(i) * 1700, static_cast<std::uint32_t>(i)));
    names.push_back(name);
  }
  put("big", text_like((1 << 20) + 5000, 99));  // two blocks: runs alone between the others
  names.insert(names.begin() + 12, "big");
  put("dest/f17.qvx", Bytes{'o', 'l', 'd'});  // kept: that file fails, the others go on

  std::vector<std::string> args{"-v", "-p2", "-1"};
  args.insert(args.end(), names.begin(), names.end());
  args.push_back("dest");
  RunResult r = quarvex(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = r.err.find('\n', at)) != std::string::npos; at = nl + 1) {
    lines.push_back(r.err.substr(at, nl - at));
  }
  ASSERT_EQ(lines.size(), names.size() + 1) << r.err;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string expected_start =
        names[i] == "f17" ? "quarvex: '" + native("dest/f17.qvx") + "' exists; not replaced" : names[i] + ": ";
    EXPECT_EQ(lines[i].rfind(expected_start, 0), 0u) << lines[i];
  }
  EXPECT_EQ(lines.back().rfind("total: 24 of 25 files, ", 0), 0u) << lines.back();
  EXPECT_EQ(get("dest/f17.qvx"), (Bytes{'o', 'l', 'd'}));

  // Each archive as a run of its own on one worker makes it.
  for (const std::string& name : names) {
    if (name == "f17") continue;
    ASSERT_EQ(quarvex({"-p1", "-1", "-o", name + ".alone", name}).status, 0);
    EXPECT_TRUE(get(name + ".alone") == get("dest/" + name + ".qvx")) << name;
  }
}

}  // namespace
}  // namespace uq::test
