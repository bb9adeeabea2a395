// Command-line examination and output paths.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "cli/output_path.h"
#include "platform/paths.h"

namespace uq::cli {
namespace {

Options parse(std::vector<const char*> argv, std::int32_t processors = 2) {
  return parse_options(static_cast<int>(argv.size()), argv.data(), processors);
}

using Args = std::vector<std::string>;

TEST(Options, FirstArgumentMustBeExactlyDashD) {
  EXPECT_TRUE(parse({"uq"}).args.empty());
  EXPECT_TRUE(parse({"uq", "-D", "a", "b"}).args.empty());
  EXPECT_TRUE(parse({"uq", "-dr", "a", "b"}).args.empty());
  EXPECT_TRUE(parse({"uq", "a", "-d", "b"}).args.empty());
  EXPECT_EQ(parse({"uq", "-d", "a", "b"}).args, (Args{"a", "b"}));
}

TEST(Options, OptionsAnywhereAndUnknownOnesIgnored) {
  Options o = parse({"uq", "-d", "a.qvx", "out", "-r", "-v", "-U", "-", "-d", "-vv"});
  EXPECT_EQ(o.args, (Args{"a.qvx", "out"}));
  EXPECT_EQ(o.recursive, 1);
  EXPECT_EQ(o.verbose, 2);
  // An empty argument is a non-option argument.
  EXPECT_EQ(parse({"uq", "-d", "", "out"}).args, (Args{"", "out"}));
}

TEST(Options, ThreadCountFromProcessorsOrLastDashP) {
  EXPECT_EQ(parse({"uq", "-d", "a", "b"}, 2).thread_count, 2);
  EXPECT_EQ(parse({"uq", "-d", "a", "b"}, 64).thread_count, 16);
  EXPECT_EQ(parse({"uq", "-d", "-p3", "-p5", "a", "b"}).thread_count, 5);
  EXPECT_EQ(parse({"uq", "-d", "-p0", "a", "b"}).thread_count, 0);
  EXPECT_EQ(parse({"uq", "-d", "-p100", "a", "b"}).thread_count, 16);
  EXPECT_EQ(parse({"uq", "-d", "-p-3", "a", "b"}).thread_count, 16);
  EXPECT_EQ(parse({"uq", "-d", "-p4294967297", "a", "b"}).thread_count, 16);
  // "-p" then "4" as two arguments: no digits gives 0 and 4 becomes an input.
  Options split = parse({"uq", "-d", "-p", "4", "a", "b"});
  EXPECT_EQ(split.thread_count, 0);
  EXPECT_EQ(split.args, (Args{"4", "a", "b"}));
}

TEST(Options, CountIsReadLikeAtoiButSaturates) {
  EXPECT_EQ(parse_count("  +12x"), 12);
  EXPECT_EQ(parse_count("\t-7"), -7);
  EXPECT_EQ(parse_count("x12"), 0);
  EXPECT_EQ(parse_count(""), 0);
  EXPECT_EQ(parse_count("- 3"), 0);
  EXPECT_EQ(parse_count("2147483647"), 2147483647);
  EXPECT_EQ(parse_count("99999999999999999999"), 2147483647);
  EXPECT_EQ(parse_count("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_count("-99999999999999999999"), -2147483647 - 1);
}

TEST(Options, ProgramNameIsTheBaseNameOrADefault) {
  EXPECT_EQ(parse({"/usr/local/bin/unq"}).program_name, "unq");
  EXPECT_EQ(parse({"unq"}).program_name, "unq");
  EXPECT_EQ(parse({""}).program_name, "unquarvex");
  EXPECT_EQ(parse_options(0, nullptr, 1).program_name, "unquarvex");
  if (platform::kDirSeparator == '/') {
    // A backslash is an ordinary character here.
    EXPECT_EQ(parse({"c:\\tools\\unq.exe"}).program_name, "c:\\tools\\unq.exe");
  } else {
    // Windows: after the last backslash, or the last slash.
    EXPECT_EQ(parse({"c:\\tools\\unq.exe"}).program_name, "unq.exe");
    EXPECT_EQ(parse({"c:\\tools/bin\\x/unq.exe"}).program_name, "unq.exe");
  }
}

// `path` with "/" for the platform's separator.
std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kDirSeparator);
  return path;
}

// Paths with the platform's separator; Windows' forward-slash cases are in windows_test.
TEST(OutputPath, PlainAndRecursiveTails) {
  EXPECT_EQ(join_output_path("out", plain_tail(native("/in/a.qvx"))), native("out/a.qvx"));
  EXPECT_EQ(join_output_path(native("out/"), plain_tail("a.qvx")), native("out/a.qvx"));
  EXPECT_EQ(join_output_path("out", recursive_tail("backup", "backup")), native("out/backup"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("backup/x/b.qvx"), "backup")), native("out/backup/x/b.qvx"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("/data/backup/x"), native("/data/backup"))),
            native("out/backup/x"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("backup/"), native("backup/"))), native("out/"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("backup/x/b.qvx"), native("backup/"))), native("out/x/b.qvx"));
}

// "." and ".." as an argument's last component name no directory of their own: what is below them
// lands in the destination, never above it. Names that merely begin with dots keep their place.
TEST(OutputPath, DotAndDotDotContributeNothingOfTheirOwn) {
  EXPECT_EQ(join_output_path("out", recursive_tail(native(".."), native(".."))), native("out/"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("../x/b.qvx"), native(".."))), native("out/x/b.qvx"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("./b.qvx"), native("."))), native("out/b.qvx"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("a/../b.qvx"), native("a/.."))), native("out/b.qvx"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("/data/./x"), native("/data/."))), native("out/x"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("../"), native("../"))), native("out/"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("a/.../b"), native("a/..."))), native("out/.../b"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native("..x/b"), native("..x"))), native("out/..x/b"));
  EXPECT_EQ(join_output_path("out", recursive_tail(native(".hidden/b"), native(".hidden"))), native("out/.hidden/b"));
}

}  // namespace
}  // namespace uq::cli
