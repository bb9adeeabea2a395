// The archive's temporary file and its rename, in process: what the binary can't show from
// outside. A replacing archive reaches the disk before its rename and a new one costs no flush;
// a file that appears at the final name while the archive is written is kept; what -f may not
// replace is refused before any work; the temporary name's two forms.
#include "safe_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_sync.h"
#include "support/os.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;
using suite::SafeOutput;

// What each sync saw: the file synced, and what the final name held at that moment.
struct SyncSeen {
  std::uint64_t synced;  // the file's id
  Bytes final_bytes;
};
std::vector<SyncSeen> syncs;
std::string watched_final;

void record_sync(int fd) {
  syncs.push_back({descriptor_file_id(fd), file_exists(watched_final) ? read_file(watched_final) : Bytes{}});
}

class SafeOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    syncs.clear();
    platform::set_sync_observer(record_sync);
  }
  void TearDown() override { platform::set_sync_observer(nullptr); }

  // Writes `bytes` through a SafeOutput at `name` and commits; gives the error, empty on success.
  std::string write_archive(const std::string& name, bool force, const Bytes& bytes, std::uint64_t* temporary = nullptr) {
    watched_final = dir_ / name;
    SafeOutput out;
    std::string error;
    if (!out.open(dir_ / name, force, nullptr, &error)) return error;
    FileStatus st;
    if (temporary != nullptr && file_status(out.temporary_path(), &st)) *temporary = st.id;
    if (!out.write(bytes.data(), bytes.size())) return "write failed";
    if (!out.commit(0644, nullptr, &error)) return error;
    return "";
  }

  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir_.path())) all.push_back(entry.path().filename().string());
    std::sort(all.begin(), all.end());
    return all;
  }

  TempDir dir_;
};

TEST_F(SafeOutputTest, OnlyAReplacingArchiveIsFlushedToTheDiskAndThatBeforeItsRename) {
  ASSERT_EQ(write_archive("new.qvx", false, {'n'}), "");
  EXPECT_TRUE(syncs.empty());
  EXPECT_EQ(read_file(dir_ / "new.qvx"), Bytes{'n'});

  std::uint64_t temporary = 0;
  ASSERT_EQ(write_archive("new.qvx", true, {'r'}, &temporary), "");
  ASSERT_EQ(syncs.size(), 1u);
  EXPECT_EQ(syncs[0].synced, temporary);             // the new archive's own file ...
  EXPECT_EQ(syncs[0].final_bytes, Bytes{'n'});       // ... while the old one is still in place
  EXPECT_EQ(read_file(dir_ / "new.qvx"), Bytes{'r'});

  // -f without anything to replace is a new archive: no flush.
  syncs.clear();
  ASSERT_EQ(write_archive("other.qvx", true, {'o'}), "");
  EXPECT_TRUE(syncs.empty());
}

// An archive whose input is about to be removed goes to the disk even when it replaces nothing.
TEST_F(SafeOutputTest, ADurableArchiveIsSyncedBeforeItsRenameEvenWhenNew) {
  watched_final = dir_ / "d.qvx";
  SafeOutput out;
  std::string error;
  ASSERT_TRUE(out.open(watched_final, false, nullptr, &error)) << error;
  FileStatus st;
  ASSERT_TRUE(file_status(out.temporary_path(), &st));
  const Bytes bytes{'d'};
  ASSERT_TRUE(out.write(bytes.data(), bytes.size()));
  out.make_durable();
  ASSERT_TRUE(out.commit(0644, nullptr, &error)) << error;
  ASSERT_EQ(syncs.size(), 1u);
  EXPECT_EQ(syncs[0].synced, st.id);
  EXPECT_EQ(syncs[0].final_bytes, Bytes{});  // not there yet
}

// The file system keeps a name that appeared between the temporary file and the rename; without
// -f it is never replaced, and only the temporary file goes.
TEST_F(SafeOutputTest, AFileMadeAtTheFinalNameWhileTheArchiveIsWrittenIsKept) {
  SafeOutput out;
  std::string error;
  ASSERT_TRUE(out.open(dir_ / "x.qvx", false, nullptr, &error)) << error;
  write_file(dir_ / "x.qvx", {'t', 'h', 'e', 'i', 'r', 's'});
  const Bytes archive{'a'};
  ASSERT_TRUE(out.write(archive.data(), archive.size()));
  EXPECT_FALSE(out.commit(0644, nullptr, &error));
  EXPECT_EQ(error, "'" + (dir_ / "x.qvx") + "' exists; not replaced (-f replaces it)");
  EXPECT_EQ(read_file(dir_ / "x.qvx"), (Bytes{'t', 'h', 'e', 'i', 'r', 's'}));
  EXPECT_EQ(names(), std::vector<std::string>{"x.qvx"});

  // With -f, what appears must still be something -f may replace.
  if (kWindows) GTEST_SKIP() << "symbolic links need a privilege Windows gives administrators alone";
  SafeOutput forced;
  ASSERT_TRUE(forced.open(dir_ / "y.qvx", true, nullptr, &error)) << error;
  fs::create_symlink("/dev/null", dir_ / "y.qvx");
  EXPECT_FALSE(forced.commit(0644, nullptr, &error));
  EXPECT_EQ(error, "'" + (dir_ / "y.qvx") + "' is a link to something other than a regular file; not replaced");
  EXPECT_TRUE(fs::is_symlink(dir_ / "y.qvx"));
  EXPECT_EQ(names(), (std::vector<std::string>{"x.qvx", "y.qvx"}));
}

// What -f may not replace is refused as the archive is opened, before its input is read (a pipe
// would be used up for nothing) or a temporary file made; the commit's check is for what appears
// in the meantime.
TEST_F(SafeOutputTest, WhatForceMayNotReplaceIsRefusedBeforeAnyTemporaryFile) {
  fs::create_directory(dir_ / "d.qvx");
  std::string error;
  SafeOutput into_directory;
  EXPECT_FALSE(into_directory.open(dir_ / "d.qvx", true, nullptr, &error));
  EXPECT_EQ(error, "'" + (dir_ / "d.qvx") + "' exists and is not a regular file; not replaced");
  if (kWindows) GTEST_SKIP() << "symbolic links need a privilege Windows gives administrators alone";
  fs::create_symlink("/dev/null", dir_ / "l.qvx");
  SafeOutput through_link;
  EXPECT_FALSE(through_link.open(dir_ / "l.qvx", true, nullptr, &error));
  EXPECT_EQ(error, "'" + (dir_ / "l.qvx") + "' is a link to something other than a regular file; not replaced");
  EXPECT_EQ(names(), (std::vector<std::string>{"d.qvx", "l.qvx"}));
}

TEST_F(SafeOutputTest, TheTemporaryNameIsTheArchivesOwnWhileItFitsAndAShortOnePastThat) {
  const std::string longest(247, 'a');  // "." + 247 + ".XXXXXX" is 255 bytes, the longest name
  std::string error;
  SafeOutput own;
  ASSERT_TRUE(own.open(dir_ / longest, false, nullptr, &error)) << error;
  const std::string own_name = fs::path(own.temporary_path()).filename().string();
  EXPECT_EQ(own_name.size(), 255u);
  EXPECT_EQ(own_name.rfind("." + longest + ".", 0), 0u);

  SafeOutput short_name;
  ASSERT_TRUE(short_name.open(dir_ / (longest + "a"), false, nullptr, &error)) << error;
  const std::string name = fs::path(short_name.temporary_path()).filename().string();
  EXPECT_EQ(name.rfind(".quarvex.", 0), 0u);
  EXPECT_EQ(name.size(), 15u);
  own.discard();
  short_name.discard();
  EXPECT_EQ(names(), std::vector<std::string>{});
}

}  // namespace
}  // namespace uq::test
