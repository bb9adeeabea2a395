// Input enumeration over real directory trees: order, what is given, what is reported.
#include "cli/input_iterator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace uq::cli {
namespace {

using platform::FileKind;
using test::TempDir;

struct Given {
  std::string path;
  FileKind kind;
  std::string argument;
  bool operator==(const Given&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Given& g) {
  return os << "{" << g.path << ", " << static_cast<int>(g.kind) << ", " << g.argument << "}";
}

struct Walked {
  std::vector<Given> inputs;
  std::string err;  // what went to standard error
};

Walked walk(const std::vector<std::string>& arguments, ListDirectory list = list_directory,
            std::optional<DirIdentity> passed_over = std::nullopt) {
  Walked result;
  testing::internal::CaptureStderr();
  std::unique_ptr<InputIterator> it = open_input_iterator(arguments, std::move(list));
  if (it && passed_over) it->pass_over(*passed_over);
  if (it) {
    std::string path;
    platform::FileStatus status;
    while (it->next_input(path, status) == 0) {
      EXPECT_TRUE(status.ok) << path;
      result.inputs.push_back({path, status.kind, it->current_argument()});
    }
    EXPECT_EQ(it->next_input(path, status), -1) << "an ended iterator stays ended";
    close_input_iterator(it);
    EXPECT_EQ(it, nullptr);
  }
  result.err = testing::internal::GetCapturedStderr();
  return result;
}

std::string message(const std::string& path, int err) { return path + ": " + std::strerror(err) + "\n"; }

void touch(const std::string& path) { test::write_file(path, {'x'}); }

constexpr FileKind kFile = FileKind::regular;
constexpr FileKind kDir = FileKind::directory;

TEST(InputIterator, GivesArgumentsInOrderAndWalksDirectoriesDepthFirstInByteOrder) {
  TempDir t;
  touch(t / "a");
  test::make_dirs(t / "d/s");
  touch(t / "d/x");
  touch(t / "d/s/y");
  touch(t / "b");
  // Byte order: upper case before lower case, "x.10" before "x.9", and names with bytes from
  // 0x80 up (here UTF-8 "été") after every ASCII name.
  test::make_dirs(t / "o");
  for (const char* name : {"x.9", "\xc3\xa9t\xc3\xa9", "b", "x.10", "B", "a"}) touch(t / (std::string("o/") + name));

  Walked w = walk({t / "a", t / "d", t / "b", t / "o"});
  std::vector<Given> expected = {
      {t / "a", kFile, t / "a"},       {t / "d", kDir, t / "d"},        {t / "d/s", kDir, t / "d"},
      {t / "d/s/y", kFile, t / "d"},   {t / "d/x", kFile, t / "d"},     {t / "b", kFile, t / "b"},
      {t / "o", kDir, t / "o"},        {t / "o/B", kFile, t / "o"},     {t / "o/a", kFile, t / "o"},
      {t / "o/b", kFile, t / "o"},     {t / "o/x.10", kFile, t / "o"},  {t / "o/x.9", kFile, t / "o"},
      {t / "o/\xc3\xa9t\xc3\xa9", kFile, t / "o"},
  };
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, "");
}

TEST(InputIterator, TrailingSeparatorIsKeptOnTheArgumentOnlyAndEmptyDirectoryGivesItself) {
  TempDir t;
  test::make_dirs(t / "d/s");
  touch(t / "d/s/y");
  test::make_dirs(t / "e");
  Walked w = walk({t / "d/", t / "e"});
  std::vector<Given> expected = {
      {t / "d/", kDir, t / "d/"},
      {t / "d/s", kDir, t / "d/"},
      {t / "d/s/y", kFile, t / "d/"},
      {t / "e", kDir, t / "e"},
  };
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, "");
}

TEST(InputIterator, RootDirectoryEntriesCarryOneSeparator) {
  DirNames root;
  ASSERT_EQ(list_directory("/", root), 0);
  std::string path;
  platform::FileStatus status;
  InputIterator it({"/"});
  ASSERT_EQ(it.next_input(path, status), 0);
  EXPECT_EQ(path, "/");
  ASSERT_EQ(it.next_input(path, status), 0);
  EXPECT_EQ(path.rfind('/'), 0u) << path;
}

TEST(InputIterator, SkippedArgumentsAreReportedAndTheNextOneFollows) {
  TempDir t;
  touch(t / "a");
  std::string too_long = t / std::string(4096, 'n');
  Walked w = walk({t / "missing", "", too_long, t / "a", "/dev/null", too_long});
  std::vector<Given> expected = {
      {t / "a", kFile, t / "a"},
      {"/dev/null", FileKind::other, "/dev/null"},
  };
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, message(t / "missing", ENOENT) + message("", ENOENT) + message(too_long, ENAMETOOLONG) +
                       message(too_long, ENAMETOOLONG));
}

TEST(InputIterator, NoIteratorForAnEmptyList) { EXPECT_EQ(open_input_iterator({}), nullptr); }

TEST(InputIterator, DirectoryHundredLevelsDownIsGivenButNotEntered) {
  TempDir t;
  std::string dir = t / "deep";
  std::vector<std::string> levels{dir};
  for (int i = 1; i <= 100; ++i) levels.push_back(levels.back() + "/n");
  test::make_dirs(levels[100]);
  touch(levels[99] + "/z");
  touch(levels[100] + "/z");

  Walked w = walk({dir});
  ASSERT_EQ(w.inputs.size(), 102u);  // the argument, 100 levels, the file on level 99
  EXPECT_EQ(w.inputs[99].path, levels[99]);
  EXPECT_EQ(w.inputs[100].path, levels[100]);
  EXPECT_EQ(w.inputs[101].path, levels[99] + "/z");
  EXPECT_EQ(w.err, levels[100] + ": directory nesting too deep\n");
}

// Removes a tree whose paths may be too long for the path-based calls.
void remove_tree_at(int parent, const char* name) {
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    unlinkat(parent, name, 0);
    return;
  }
  DIR* dir = fdopendir(fd);
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  for (const std::string& n : names) remove_tree_at(dirfd(dir), n.c_str());
  closedir(dir);
  unlinkat(parent, name, AT_REMOVEDIR);
}

struct LongTree {
  std::string root;
  ~LongTree() { remove_tree_at(AT_FDCWD, root.c_str()); }
};

TEST(InputIterator, EntryWhosePathWouldBeTooLongIsReportedAndNothingBelowIsGiven) {
  TempDir t;
  LongTree tree{t / "long"};
  ASSERT_EQ(mkdir(tree.root.c_str(), 0777), 0);
  const std::string component(250, 'm');
  // Deepen until one more component would pass the limit; mkdirat does not care about the total.
  std::string path = tree.root;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  while (path.size() + 1 + component.size() <= platform::kMaxPathLength) {
    ASSERT_EQ(mkdirat(fd, component.c_str(), 0777), 0);
    int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    path += "/" + component;
  }
  ASSERT_EQ(mkdirat(fd, component.c_str(), 0777), 0);  // its path is too long
  int inner = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
  close(openat(inner, "f", O_CREAT | O_WRONLY, 0666));
  close(inner);
  close(openat(fd, "z", O_CREAT | O_WRONLY, 0666));  // a sibling that still fits
  close(fd);

  Walked w = walk({tree.root});
  ASSERT_FALSE(w.inputs.empty());
  EXPECT_EQ(w.inputs.back().path, path + "/z");
  EXPECT_EQ(w.inputs.back().kind, kFile);
  EXPECT_EQ(w.inputs[w.inputs.size() - 2].path, path);
  EXPECT_EQ(w.err, message(path + "/" + component, ENAMETOOLONG));
}

TEST(InputIterator, DirectoryThatCannotBeListedIsGivenWithItsErrorButNotEntered) {
  TempDir t;
  test::make_dirs(t / "d/s");
  touch(t / "d/s/y");
  touch(t / "d/x");
  test::make_dirs(t / "e");
  touch(t / "e/y");
  // Reading is not refused to root, so the listing is refused here instead.
  auto refusing = [&](const std::string& path, DirNames& out) {
    if (path == t / "d/s") return EIO;
    if (path == t / "e") return EACCES;
    return list_directory(path, out);
  };
  Walked w = walk({t / "d", t / "e"}, refusing);
  std::vector<Given> expected = {
      {t / "d", kDir, t / "d"},
      {t / "d/s", kDir, t / "d"},
      {t / "d/x", kFile, t / "d"},
      {t / "e", kDir, t / "e"},
  };
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, message(t / "d/s", EIO) + message(t / "e", EACCES));
}

TEST(InputIterator, UnreadableDirectoryOnDisk) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads a directory whatever its mode";
  TempDir t;
  test::make_dirs(t / "d/s");
  touch(t / "d/s/y");
  ASSERT_EQ(chmod((t / "d/s").c_str(), 0), 0);
  Walked w = walk({t / "d"});
  chmod((t / "d/s").c_str(), 0700);
  std::vector<Given> expected = {{t / "d", kDir, t / "d"}, {t / "d/s", kDir, t / "d"}};
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, message(t / "d/s", EACCES));
}

TEST(InputIterator, LinksAreFollowedButALoopIsNotEnteredTwice) {
  TempDir t;
  test::make_dirs(t / "d/s");
  test::make_dirs(t / "other/inner");
  touch(t / "other/inner/y");
  touch(t / "f");
  std::filesystem::create_symlink("..", t / "d/s/back");        // d itself
  std::filesystem::create_symlink("../other", t / "d/linked");  // a tree outside
  std::filesystem::create_symlink("../f", t / "d/lf");
  std::filesystem::create_symlink("nowhere", t / "d/dangling");

  Walked w = walk({t / "d"});
  std::vector<Given> expected = {
      {t / "d", kDir, t / "d"},
      {t / "d/lf", kFile, t / "d"},
      {t / "d/linked", kDir, t / "d"},
      {t / "d/linked/inner", kDir, t / "d"},
      {t / "d/linked/inner/y", kFile, t / "d"},
      {t / "d/s", kDir, t / "d"},
      {t / "d/s/back", kDir, t / "d"},
  };
  EXPECT_EQ(w.inputs, expected);
  EXPECT_EQ(w.err, message(t / "d/dangling", ENOENT) + message(t / "d/s/back", ELOOP));
}

TEST(InputIterator, DirectoryGivenTwiceAsArgumentsIsWalkedTwice) {
  // Loops are looked for within one walk only: separate arguments are separate requests.
  TempDir t;
  test::make_dirs(t / "d");
  touch(t / "d/x");
  std::filesystem::create_symlink("d", t / "l");
  Walked w = walk({t / "d", t / "l"});
  ASSERT_EQ(w.inputs.size(), 4u);
  EXPECT_EQ(w.inputs[3].path, t / "l/x");
  EXPECT_EQ(w.err, "");
}

// The destination of a restore, met below an argument (by its name or through a link), is
// reported and neither given nor entered; as an argument of its own it is walked.
TEST(InputIterator, TheDestinationIsPassedOverBelowAnArgument) {
  TempDir t;
  test::make_dirs(t / "T/out/T");
  test::make_dirs(t / "T/sub");
  touch(t / "T/a");
  touch(t / "T/out/c");
  touch(t / "T/sub/b");
  ASSERT_EQ(::symlink("../out", (t / "T/sub/l").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(::stat((t / "T/out").c_str(), &st), 0);
  Walked w = walk({t / "T", t / "T/out"}, list_directory, DirIdentity{st.st_dev, st.st_ino});
  const std::string T = t / "T";
  const std::string out = t / "T/out";
  EXPECT_EQ(w.inputs, (std::vector<Given>{{T, kDir, T},
                                          {T + "/a", kFile, T},
                                          {T + "/sub", kDir, T},
                                          {T + "/sub/b", kFile, T},
                                          {out, kDir, out},
                                          {out + "/T", kDir, out},
                                          {out + "/c", kFile, out}}));
  EXPECT_EQ(w.err, T + "/out: the destination directory; passed over\n" + T +
                       "/sub/l: the destination directory; passed over\n");
  // Without a destination to pass over, the same tree is walked whole, the link's target twice;
  // and so it is when the destination has the same inode number on another device.
  EXPECT_EQ(walk({t / "T"}).inputs.size(), 10u);
  const Walked elsewhere = walk({t / "T"}, list_directory, DirIdentity{st.st_dev + 1, st.st_ino});
  EXPECT_EQ(elsewhere.inputs.size(), 10u);
  EXPECT_EQ(elsewhere.err, "");
}

}  // namespace
}  // namespace uq::cli
