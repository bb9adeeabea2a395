// What the tools do on Windows alone, through unquarvex.exe and quarvex.exe: the backslash and
// the forward slash, wildcards expanded by the C runtime, names in any script both ways, both
// sides of the path limit, junctions and their loops, the exit code of a fatal end, the
// console's line ends, a file over 4 GiB, read-only archives and kept times, Ctrl-C during a
// compression, and memory and processors as Windows reports them.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/memory_limit.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "support/expected.h"
#include "support/process.h"
#include "support/qvx_builder.h"
#include "support/restore_tool.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

const Bytes kDigits{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

std::wstring wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.pop_back();
  return out;
}

// An absolute path as the wide calls take it at any length: \\?\ and backslashes.
std::wstring extended(const std::string& absolute) {
  std::wstring path = wide(absolute);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return L"\\\\?\\" + path;
}

bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool run_linux(std::string command, const std::function<bool()>& done);
std::string linux_path(const std::string& path);

// A file written and read back through the wide calls, whatever the length of its path.
void put_long(const std::string& absolute, const Bytes& bytes) {
  HANDLE f = CreateFileW(extended(absolute).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << absolute.size() << " " << GetLastError();
  DWORD put = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(f);
}

std::optional<Bytes> get_long(const std::string& absolute) {
  HANDLE f = CreateFileW(extended(absolute).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::nullopt;
  Bytes bytes(1 << 16);
  DWORD got = 0;
  ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(f);
  bytes.resize(got);
  return bytes;
}

class Windows : public ::testing::Test {
 protected:
  RunResult quarvex(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), UQ_QUARVEX);
    if (options.cwd.empty()) options.cwd = dir_.path();
    return run_program(args, options);
  }
  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), UQ_UNQUARVEX);
    if (options.cwd.empty()) options.cwd = dir_.path();
    return run_program(args, options);
  }
  void put(const std::string& name, const Bytes& bytes) { write_file(dir_ / name, bytes); }
  Bytes get(const std::string& name) { return read_file(dir_ / name); }
  bool exists(const std::string& name) { return file_exists(dir_ / name); }

  TempDir dir_;
};

void expect_clean(const RunResult& r) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// A damaged one-block file: its message names the output path the program built.
Bytes damaged() { return QvxBuilder({.orig_size = 16}).block(hex("61 62 00 ff ff ff ff")).bytes(); }

TEST_F(Windows, PathsAreJoinedWithABackslashAndTakenApartAtEitherSlash) {
  make_dirs(dir_ / "in/sub");
  put("in/sub/a.qvx", smallest_file());
  put("bad.qvx", damaged());
  // A forward slash in an argument separates too: out\a, not out\in/sub/a.
  expect_clean(run({"-d", "in/sub/a.qvx", "out"}));
  EXPECT_EQ(get("out/a"), kDigits);
  expect_clean(run({"-d", "in\\sub\\a.qvx", "out2\\"}));
  EXPECT_EQ(get("out2/a"), kDigits);
  // The join is a backslash, and a destination that ends in either slash gets none.
  for (const auto& [dest, joined] : {std::pair{"j1", "j1\\bad"}, {"j2\\", "j2\\bad"}, {"j3/", "j3/bad"}}) {
    RunResult r = run({"-d", "bad.qvx", dest});
    EXPECT_EQ(r.out, fatal_decomp_line(joined, -1, 16) + report_line(105)) << dest;
  }
  // Recursive: the argument's last component after either slash, the walk's own joins with a
  // backslash, and an argument ending in "/" contributing nothing of its own.
  RunResult r = run({"-d", "-r", "-v", "-p0", "in/sub", "r1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "in/sub\\a.qvx\n");
  EXPECT_EQ(get("r1/sub/a"), kDigits);
  // The argument's trailing "/" goes before the walk's joins.
  r = run({"-d", "-r", "-v", "in/", "r2"});
  EXPECT_EQ(r.out, "in\\sub\\a.qvx\n");
  EXPECT_EQ(get("r2/sub/a"), kDigits);
  EXPECT_TRUE(exists("r2/sub"));
}

TEST_F(Windows, UsageExitCodeAndLineEnds) {
  RunResult r = run({"-d", "only-one"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // The program's own name, after its last backslash, and the example with a backslash; each
  // line end written by the console's text mode as CR LF.
  const std::string usage =
      "\r\nquarvex 0.94   Apr 18 2009\r\n\r\n Usage: unquarvex.exe <options> <filename1> .. <filenameN> "
      "DESTINATION_DIR\r\n<options>\r\n     quarvex -d -r backup_dir\\* restore_dir\r\n";
  EXPECT_EQ(r.raw_err, usage);

  // Under another name, reached through forward slashes.
  fs::copy_file(UQ_UNQUARVEX, fs::path(dir_ / "restore-tool.exe"));
  r = run_program({dir_ / "restore-tool.exe"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(" Usage: restore-tool.exe <options>"), std::string::npos) << r.err;

  // A fatal end is the exit code 0xFFFFFFFF, -1 in all 32 bits.
  put("a.qvx", smallest_file());
  put("file", kDigits);
  r = run({"-d", "a.qvx", "file"});
  EXPECT_EQ(static_cast<unsigned>(r.status), 0xFFFFFFFFu);
  EXPECT_EQ(r.raw_out, "destination is not a directory\r\n");
  r = run({"-d", "a.qvx", "no/such/dir"});
  EXPECT_EQ(static_cast<unsigned>(r.status), 0xFFFFFFFFu);
  EXPECT_EQ(r.raw_err, "cannot create directory 'no/such/dir'\r\n");
}

TEST_F(Windows, WildcardsAreExpandedByTheRuntime) {
  make_dirs(dir_ / "backup/sub");
  put("backup/a.qvx", smallest_file());
  put("backup/b.QVX", smallest_file());
  put("backup/c.bin", smallest_file());
  put("backup/sub/d.qvx", smallest_file());
  // As typed in cmd.exe: every entry of backup, directories passed over in a plain run.
  expect_clean(run({"-d", "backup\\*", "out"}));
  EXPECT_EQ(get("out/a"), kDigits);
  EXPECT_EQ(get("out/b"), kDigits);
  EXPECT_EQ(get("out/c.bin.out"), kDigits);
  EXPECT_FALSE(exists("out/d"));
  expect_clean(run({"-d", "backup/*.qvx", "out2"}));
  EXPECT_EQ(get("out2/a"), kDigits);
  EXPECT_FALSE(exists("out2/c.bin.out"));
  // The usage example itself: each entry of backup, the directory walked.
  expect_clean(run({"-d", "-r", "backup\\*", "out3"}));
  EXPECT_EQ(get("out3/a"), kDigits);
  EXPECT_EQ(get("out3/sub/d"), kDigits);
  // A pattern that matches nothing arrives as typed, a name that does not exist.
  expect_clean(run({"-d", "nothing*.qvx", "out4"}));
  RunResult r = run({"-d", "-r", "nothing*.qvx", "out5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "nothing*.qvx: " + std::string(std::strerror(ENOENT)) + "\n");
}

TEST_F(Windows, NamesInAnyScriptRestore) {
  const std::vector<std::string> names{"Привет", "日本語の名前", "café crème"};
  make_dirs(dir_ / "données");
  for (const std::string& name : names) put("données/" + name + ".qvx", smallest_file());
  // Named on the command line, found by a wildcard, and walked.
  std::vector<std::string> args{"-d"};
  for (const std::string& name : names) args.push_back("données/" + name + ".qvx");
  args.push_back("sortie");
  expect_clean(run(args));
  expect_clean(run({"-d", "données\\*.qvx", "étoile"}));
  RunResult r = run({"-d", "-r", "-v", "-p2", "données", "arbre"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string listed;
  for (const std::string& name : names) {
    EXPECT_EQ(get("sortie/" + name), kDigits) << name;
    EXPECT_EQ(get("étoile/" + name), kDigits) << name;
    EXPECT_EQ(get("arbre/données/" + name), kDigits) << name;
    listed += "données\\" + name + ".qvx\n";
  }
  EXPECT_EQ(sorted_lines(r.out), sorted_lines(listed));  // UTF-8 on standard output
  // The messages name them in UTF-8 too.
  put("données/ошибка.qvx", damaged());
  r = run({"-d", "données/ошибка.qvx", "sortie"});
  EXPECT_EQ(r.out, fatal_decomp_line("sortie\\ошибка", -1, 16) + report_line(105));
}

// A tree of names in three scripts, compressed with quarvex.exe -r and restored with
// unquarvex.exe -d -r, comes back byte for byte under the same names.
TEST_F(Windows, NamesInAnyScriptCompressAndRestore) {
  const std::vector<std::string> files{"Привет.txt", "日本語の名前", "café crème", "подпапка/ß ü ñ", "目录/数据.bin"};
  make_dirs(dir_ / "дерево/подпапка");
  make_dirs(dir_ / "дерево/目录");
  std::map<std::string, Bytes> originals;
  for (std::size_t i = 0; i < files.size(); ++i) {
    Bytes bytes(3000 + 1000 * i);
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>("quarvex "[k % 8] + i);
    put("дерево/" + files[i], bytes);
    originals[files[i]] = bytes;
  }
  RunResult packed = quarvex({"-r", "дерево", "архив"});
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.err, "");
  for (const std::string& name : files) EXPECT_TRUE(exists("архив/дерево/" + name + ".qvx")) << name;
  expect_clean(run({"-d", "-r", "архив", "восстановлено"}));
  for (const auto& [name, bytes] : originals) {
    EXPECT_EQ(get("восстановлено/архив/дерево/" + name), bytes) << name;
  }
  // And through quarvex's own restore.
  RunResult restored = quarvex({"-d", "-r", "архив", "снова"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  for (const auto& [name, bytes] : originals) EXPECT_EQ(get("снова/архив/дерево/" + name), bytes) << name;
}

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(wide(path).c_str()); }

void set_read_only(const std::string& path, bool on) {
  const DWORD now = attributes_of(path);
  ASSERT_NE(now, INVALID_FILE_ATTRIBUTES) << path;
  ASSERT_TRUE(SetFileAttributesW(wide(path).c_str(), on ? now | FILE_ATTRIBUTE_READONLY
                                                        : now & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)));
}

std::uint64_t modified_at(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// An archive marked read-only is kept without -f, as any archive is, and replaced with it (the
// flag is no refusal on Linux either); a device or a directory never is. An archive keeps its input's modification time and
// read-only flag, and so does a file quarvex -d restores.
TEST_F(Windows, ReadOnlyArchivesAndKeptTimes) {
  put("old", Bytes(5000, 'o'));
  put("new", Bytes(7000, 'n'));
  ASSERT_EQ(quarvex({"-o", "a.qvx", "old"}).status, 0);
  set_read_only(dir_ / "a.qvx", true);
  RunResult kept = quarvex({"-o", "a.qvx", "new"});
  EXPECT_EQ(kept.status, 1);
  EXPECT_EQ(kept.err, "quarvex: 'a.qvx' exists; not replaced (-f replaces it)\n");
  RunResult forced = quarvex({"-f", "-o", "a.qvx", "new"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(forced.err, "");
  expect_clean(run({"-d", "a.qvx", "out"}));
  EXPECT_EQ(get("out/a"), Bytes(7000, 'n'));

  // The input's time and flag go to its archive, and from the archive to what is restored.
  const FILETIME past{0x12345678, 0x01c00000};  // in 1999
  HANDLE f = CreateFileW(wide(dir_ / "old").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(f, nullptr, nullptr, &past));
  CloseHandle(f);
  set_read_only(dir_ / "old", true);
  ASSERT_EQ(quarvex({"-o", "b.qvx", "old"}).status, 0);
  const std::uint64_t past_ticks = (std::uint64_t{past.dwHighDateTime} << 32) | past.dwLowDateTime;
  EXPECT_EQ(modified_at(dir_ / "b.qvx"), past_ticks);
  EXPECT_NE(attributes_of(dir_ / "b.qvx") & FILE_ATTRIBUTE_READONLY, 0u);
  RunResult restored = quarvex({"-d", "b.qvx", "back"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(get("back/b"), Bytes(5000, 'o'));
  EXPECT_EQ(modified_at(dir_ / "back/b"), past_ticks);
  EXPECT_NE(attributes_of(dir_ / "back/b") & FILE_ATTRIBUTE_READONLY, 0u);
  // A writable input gives a writable archive.
  ASSERT_EQ(quarvex({"-o", "c.qvx", "new"}).status, 0);
  EXPECT_EQ(attributes_of(dir_ / "c.qvx") & FILE_ATTRIBUTE_READONLY, 0u);
  // -f replaces a file, never a device or a directory.
  make_dirs(dir_ / "dir");
  for (const std::string target : {"NUL", "dir"}) {
    RunResult refused = quarvex({"-f", "-o", target, "new"});
    EXPECT_EQ(refused.status, 1) << target;
    EXPECT_EQ(refused.err, "quarvex: '" + target + "' exists and is not a regular file; not replaced\n");
  }
  EXPECT_TRUE(fs::is_directory(fs::u8path(dir_ / "dir")));
}

// Ctrl-C during a compression removes its temporary file, and the process ends as the console's
// event ends it (STATUS_CONTROL_C_EXIT). Sent as Ctrl-Break, the one event a process group of its
// own can be sent; quarvex's handler takes both alike. The input takes the slowest level on one
// worker many seconds, so the event finds the temporary file there.
TEST_F(Windows, CtrlBreakDuringACompressionLeavesNoTemporaryFile) {
  if (!AllocConsole() && GetLastError() != ERROR_ACCESS_DENIED) GTEST_SKIP() << "no console to send an event in";
  Bytes big(48 << 20);
  std::uint32_t state = 1;
  for (std::uint8_t& b : big) b = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  put("big", big);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_out;
  startup.hStdOutput = null_out;
  startup.hStdError = null_out;
  std::wstring line = L"quarvex.exe -9 -p1 -o out.qvx big";
  PROCESS_INFORMATION child{};
  const std::wstring program = wide(UQ_QUARVEX);
  const std::wstring cwd = wide(dir_.path());
  ASSERT_TRUE(CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                             cwd.c_str(), &startup, &child));
  CloseHandle(null_out);

  const auto temporary_files = [&] {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(fs::u8path(dir_.path()))) {
      if (e.path().filename().string().rfind(".out.qvx.", 0) == 0) found.push_back(e.path().filename().string());
    }
    return found;
  };
  // Bounded: a run that never makes its temporary file fails here in seconds.
  for (int i = 0; i < 3000 && temporary_files().empty(); ++i) Sleep(10);
  ASSERT_EQ(temporary_files().size(), 1u);
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.dwProcessId)) {
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, 30000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    GTEST_SKIP() << "no console event can be sent to a child here (Wine's GenerateConsoleCtrlEvent fails); "
                    "ACtrlCRemovesTheTemporaryFile runs the handler from inside";
  }
  const DWORD waited = WaitForSingleObject(child.hProcess, 30000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the console's event did not end quarvex";
  EXPECT_EQ(code, 0xC000013Au);  // STATUS_CONTROL_C_EXIT
  EXPECT_EQ(temporary_files(), std::vector<std::string>{});
  EXPECT_FALSE(exists("out.qvx"));
}

// The same cleanup, run from inside a process as the console's handler thread runs it: the
// temporary file of an archive being written goes, the archive never appears, and the process
// ends as Ctrl-C ends it.
TEST_F(Windows, ACtrlCRemovesTheTemporaryFile) {
  RunResult r = run_program({UQ_INTERRUPTED_OUTPUT, "архив.qvx"}, {.cwd = dir_.path()});
  EXPECT_EQ(static_cast<DWORD>(r.status), 0xC000013Au);  // STATUS_CONTROL_C_EXIT
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(fs::u8path(dir_.path()))) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{});
}

// The memory budget keeps to the limit of the job the process runs in, as it keeps to rlimits
// on Linux. The limit set here (1 TiB) bounds nothing this test process does.
TEST(WindowsMachine, TheJobsMemoryLimitIsTheProcesssOwn) {
  if (under_wine()) GTEST_SKIP() << "Wine reports no job's limits to a process in it";
  ASSERT_EQ(platform::address_space_limit(), std::nullopt);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  ASSERT_NE(job, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
  limits.ProcessMemoryLimit = std::size_t{1} << 40;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
  ASSERT_TRUE(AssignProcessToJobObject(job, GetCurrentProcess()));
  EXPECT_EQ(platform::address_space_limit(), std::uint64_t{1} << 40);
}

// Paths far over Windows' classic limit of 260 are taken, and the walk's limit is the same 4,095
// bytes as on Linux: an entry whose path is 4,095 bytes is restored, one of 4,096 reported as too
// long. Under Wine a path's Linux form, through the prefix's dosdevices, must stay under 4,096
// bytes too: the tree below is 2,500 bytes deep, and the paths at the limit reach it through an
// argument lengthened with "./", which the system takes away.
TEST_F(Windows, LongPathsAndTheLimitOfTheWalk) {
  const std::string base = dir_.path();
  // Removed however the test ends: the tree is too deep for std::filesystem.
  struct Remove {
    std::string base;
    ~Remove() {
      if (under_wine()) run_linux("/bin/rm -rf " + linux_path(base), [&] { return !fs::exists(fs::path(base)); });
    }
  } remove{base + "/in"};
  std::string dir = base + "/in";
  ASSERT_TRUE(CreateDirectoryW(extended(dir).c_str(), nullptr));
  for (char c = 'a'; dir.size() < 2500; ++c) {
    dir += "\\" + std::string(100, c);
    ASSERT_TRUE(CreateDirectoryW(extended(dir).c_str(), nullptr)) << dir.size();
  }
  const std::string deep = dir.substr(base.size() + 1);  // "in\\aaa...", relative to the test's directory
  put_long(dir + "\\deep.qvx", smallest_file());

  // Long paths in both runs, and a destination as long.
  const std::string out = base + "/" + std::string(200, 'o');
  RunResult r = run({"-d", "-r", "-p0", "in", out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(get_long(out + "\\" + deep + "\\deep"), kDigits);
  expect_clean(run({"-d", "-p2", deep + "\\deep.qvx", out + "\\" + deep}));
  EXPECT_EQ(get_long(out + "\\" + deep + "\\deep"), kDigits);

  // The limit: `fits` and `over` are the paths the walk joins for f.qvx and of.qvx.
  put_long(dir + "\\f.qvx", smallest_file());
  put_long(dir + "\\of.qvx", smallest_file());
  const std::size_t padding = platform::kMaxPathLength - deep.size() - std::string("\\f.qvx").size();
  ASSERT_EQ(padding % 2, 0u);
  std::string arg;
  for (std::size_t i = 0; i < padding / 2; ++i) arg += "./";
  arg += deep;
  const std::string fits = arg + "\\f.qvx";
  const std::string over = arg + "\\of.qvx";
  ASSERT_EQ(fits.size(), platform::kMaxPathLength);
  ASSERT_EQ(over.size(), platform::kMaxPathLength + 1);
  r = run({"-d", "-r", "-p0", arg, "lim"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // deep.qvx, longer still, is reported too; the walk gives names in byte order.
  const std::string too_long = std::string(": ") + std::strerror(ENAMETOOLONG) + "\n";
  EXPECT_EQ(r.err, arg + "\\deep.qvx" + too_long + over + too_long);
  const std::string last = deep.substr(deep.rfind('\\') + 1);
  EXPECT_EQ(get("lim/" + last + "/f"), kDigits);
  EXPECT_FALSE(exists("lim/" + last + "/of"));
  EXPECT_FALSE(exists("lim/" + last + "/deep"));
}

// Wine runs a Linux program named by its Linux path, but gives no handle to wait on: the
// caller's `done` tells when it has had its effect, for ten seconds at most. The command line goes
// over as it stands: the paths in it hold no blank.
bool run_linux(std::string command, const std::function<bool()>& done) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    return false;
  }
  for (int waited = 0; !done(); waited += 10) {
    if (waited >= 10'000) return false;
    Sleep(10);
  }
  return true;
}

// The Linux path of a Windows path, under Wine.
std::string linux_path(const std::string& path) {
  using UnixName = char* (*)(const wchar_t*);
  auto unix_name = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  return unix_name == nullptr ? "" : unix_name(fs::absolute(fs::path(wide(path))).wstring().c_str());
}

// A link made just now where nothing was: a directory if it leads to one.
bool is_directory_link(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Directory links made by a test, removed (the links, not what they name) before its temporary
// directory goes: a loop among them would keep that removal walking.
class DirectoryLinks {
 public:
  ~DirectoryLinks() {
    for (const std::string& link : links_) {
      if (!RemoveDirectoryW(wide(link).c_str()) && under_wine()) {
        run_linux("/bin/rm -f " + linux_path(link), [&] { return GetFileAttributesW(wide(link).c_str()) == INVALID_FILE_ATTRIBUTES; });
      }
    }
  }

  // `link` made a junction to the directory `target`, as Windows' own tools make one; under Wine,
  // which can't, a symbolic link, which Wine shows as a directory reparse point too. Gives what
  // was made, or "".
  std::string make(const std::string& link, const std::string& target) {
    const std::string made = make_junction(link, target) ? "junction"
                             : under_wine() && run_linux("/bin/ln -s " + linux_path(target) + " " + linux_path(link),
                                                         [&] { return is_directory_link(link); })
                                 ? "symbolic link"
                                 : "";
    if (made.empty() || !is_directory_link(link)) return "";
    links_.push_back(link);
    return made;
  }

 private:
  static bool make_junction(const std::string& link, const std::string& target) {
    if (!CreateDirectoryW(wide(link).c_str(), nullptr)) return false;
    HANDLE h = CreateFileW(wide(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // The mount-point reparse data: tag, length, then the substitute name (\??\ and the full
    // path) and an empty print name, each with a terminator.
    const std::wstring substitute = L"\\??\\" + fs::absolute(fs::path(wide(target))).make_preferred().wstring();
    const auto bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    std::vector<std::uint8_t> buffer(8 + 8 + bytes + 4, 0);
    auto put16 = [&](std::size_t at, WORD v) { std::memcpy(&buffer[at], &v, 2); };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, static_cast<WORD>(buffer.size() - 8));
    put16(10, bytes);
    put16(12, static_cast<WORD>(bytes + 2));
    std::memcpy(&buffer[16], substitute.data(), bytes);
    DWORD got = 0;
    const bool made = h != INVALID_HANDLE_VALUE &&
                      DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      nullptr, 0, &got, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!made) RemoveDirectoryW(wide(link).c_str());
    return made;
  }

  std::vector<std::string> links_;
};

TEST_F(Windows, JunctionsAreFollowedAndALoopIsNotEntered) {
  make_dirs(dir_ / "backup/x");
  make_dirs(dir_ / "more");
  put("backup/a.qvx", smallest_file());
  put("more/m.qvx", smallest_file());
  DirectoryLinks links;
  const std::string made = links.make(dir_ / "backup/x/linked", dir_ / "more");
  if (made.empty()) GTEST_SKIP() << "neither a junction nor a symbolic link can be made here";
  ASSERT_EQ(links.make(dir_ / "backup/x/up", dir_ / "backup"), made);
  RecordProperty("link", made);

  for (const char* threads : {"-p0", "-p2"}) {
    const std::string out = std::string("out") + threads;
    RunResult r = run({"-d", "-r", threads, "backup", out});
    EXPECT_EQ(r.status, 0) << made;
    EXPECT_EQ(r.out, "");
    // The loop, told by volume serial number and file index, is recreated and not entered.
    EXPECT_EQ(r.err, "backup\\x\\up: Too many levels of symbolic links\n") << made;
    EXPECT_EQ(get(out + "/backup/a"), kDigits);
    EXPECT_EQ(get(out + "/backup/x/linked/m"), kDigits);  // followed as a directory
    EXPECT_TRUE(fs::is_directory(fs::path(dir_ / (out + "/backup/x/up"))));
    EXPECT_TRUE(fs::is_empty(fs::path(dir_ / (out + "/backup/x/up"))));
  }
}

// The last block of a mostly-zero file lies past 4 GiB: it is written there, and the bytes before
// it that no block wrote read as zeros.
TEST_F(Windows, AFileOverFourGiB) {
  const std::int64_t block = 2047ll << 20;
  const Bytes tail = hex("74 61 69 6c");
  // Block 3 of 4 alone, stored at 3 x 2047 MiB; blocks 0 to 2 are not in the file.
  put("big.qvx", QvxBuilder({.orig_size = 3 * block + 4, .block_mib = 2047}).block(tail, 0x06).bytes());
  for (const char* threads : {"-p0", "-p2"}) {
    const std::string out = std::string("out") + threads;
    expect_clean(run({"-d", threads, "big.qvx", out}));
    EXPECT_EQ(fs::file_size(fs::path(dir_ / (out + "/big"))), static_cast<std::uintmax_t>(3 * block + 4));
    EXPECT_EQ(read_range(dir_ / (out + "/big"), static_cast<std::uint64_t>(3 * block), 4), tail);
    EXPECT_EQ(read_range(dir_ / (out + "/big"), (std::uint64_t{1} << 32) + 1, 4), Bytes(4, 0));
  }
}

// The default memory budget is half the physical memory Windows reports (there is no control
// group); the default number of workers is the processors this process may run on.
TEST(WindowsMachine, MemoryAndProcessorsAsWindowsReportsThem) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  EXPECT_EQ(platform::physical_memory(), status.ullTotalPhys);
  EXPECT_EQ(pipeline::default_memory_budget(), status.ullTotalPhys / 2);

  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  // One processor allowed: one counted, however many the machine has.
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), process & (~process + 1)));
  EXPECT_EQ(platform::processor_count(), 1);
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), process));
  EXPECT_EQ(platform::processor_count(), __builtin_popcountll(process));
}

// A Linux program can't be run from a Windows test: Wine starts one without a process handle to
// wait on, so the run fails at once (on Windows there is no such program) rather than waiting
// for ever.
TEST(WindowsMachine, ALinuxProgramFailsToRunAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run_program({"/bin/sh", "-c", "exit 0"}, {.time_limit = kQuickRun}), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kQuickRun);
}

}  // namespace
}  // namespace uq::test
