// CreateProcessW with both output pipes drained (and an input pipe fed) by a thread each, so a
// chatty child never blocks. Arguments and paths are UTF-8, as the tests and the programs under
// test take them.
#include "support/process.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <stdexcept>
#include <thread>

namespace uq::test {

const int kFatalStatus = -1;

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int wide = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), wide);
  return out;
}

// One argument as the C runtime's start-up code splits a command line: quoted when it holds a
// blank or a quote or is empty, a quote escaped with a backslash, and the backslashes before a
// quote (or before the closing one) doubled.
void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// This process's environment with `entries` ("NAME=VALUE") set over it, as CreateProcessW takes
// it: each entry ended by a null, the block by one more.
std::wstring environment_with(const std::vector<std::string>& entries) {
  std::vector<std::wstring> vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) vars.emplace_back(p);
  FreeEnvironmentStringsW(block);
  for (const std::string& entry : entries) {
    std::wstring wide = widen(entry);
    const std::wstring name = wide.substr(0, wide.find(L'=') + 1);
    std::erase_if(vars, [&](const std::wstring& v) { return _wcsnicmp(v.c_str(), name.c_str(), name.size()) == 0; });
    vars.push_back(wide);
  }
  std::wstring out;
  for (const std::wstring& v : vars) out += v + L'\0';
  return out + L'\0';
}

// A pipe whose write end the child inherits; the read end stays here.
void make_pipe(HANDLE& read_end, HANDLE& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
}

// Reads `pipe` to its end, or until `limit` bytes (a reader that stops, as head -c), then closes it.
void drain(HANDLE pipe, std::string* sink, std::size_t limit) {
  char buffer[65536];
  DWORD got = 0;
  while (sink->size() < limit && ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    sink->append(buffer, got);
  }
  if (sink->size() > limit) sink->resize(limit);
  CloseHandle(pipe);
}

std::string text_mode(const std::string& raw) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  if (options.max_open_files >= 0 || options.max_file_size >= 0) {
    throw std::runtime_error("Windows has no descriptor or file-size limit to set for a child");
  }
  if (options.stdin_terminal) throw std::runtime_error("no pseudo-terminal to give a child on Windows");
  if (options.umask >= 0) throw std::runtime_error("Windows has no file-creation mask to set for a child");
  std::wstring line;
  if (!options.empty_argv0) {
    for (const std::string& arg : argv) append_argument(line, widen(arg));
  }
  const std::wstring program = widen(argv.at(0));
  const std::wstring cwd = widen(options.cwd);
  std::wstring env = environment_with(options.env);

  HANDLE out_read, out_write, err_read, err_write;
  make_pipe(out_read, out_write);
  make_pipe(err_read, err_write);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_child = INVALID_HANDLE_VALUE;
  HANDLE in_feed = INVALID_HANDLE_VALUE;
  if (options.stdin_pipe) {
    if (!CreatePipe(&in_child, &in_feed, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(in_feed, HANDLE_FLAG_INHERIT, 0);
  } else {
    const std::wstring in_path = options.stdin_file.empty() ? L"NUL" : widen(options.stdin_file);
    in_child = CreateFileW(in_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
  }
  if (options.stdin_absent) {
    if (in_child != INVALID_HANDLE_VALUE) CloseHandle(in_child);
    in_child = INVALID_HANDLE_VALUE;
  }
  HANDLE out_child = out_write;
  if (!options.stdout_file.empty()) {
    // Append mode is a handle with the right to append and none to write anywhere else.
    const bool append = options.stdout_mode == FileOutput::append;
    out_child = CreateFileW(widen(options.stdout_file).c_str(), append ? FILE_APPEND_DATA | SYNCHRONIZE : GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                            options.stdout_mode == FileOutput::replace ? CREATE_ALWAYS : OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out_child == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + options.stdout_file);
    if (options.stdout_mode == FileOutput::after_content) SetFilePointerEx(out_child, LARGE_INTEGER{}, nullptr, FILE_END);
  }
  if (options.stdout_absent) out_child = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  // A stream the child starts without is a null handle, as GetStdHandle gives it then.
  startup.hStdInput = options.stdin_absent ? nullptr : in_child;
  startup.hStdOutput = out_child;
  startup.hStdError = err_write;
  PROCESS_INFORMATION child{};
  // Wine, on a loaded machine, now and then fails to start a process with ERROR_INTERNAL_ERROR, a
  // failure of its own that says nothing of the program: tried again, up to three times.
  BOOL started = FALSE;
  DWORD start_error = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                             env.data(), cwd.empty() ? nullptr : cwd.c_str(), &startup, &child);
    start_error = started ? 0 : GetLastError();
    if (start_error != ERROR_INTERNAL_ERROR) break;
  }
  CloseHandle(out_write);
  if (out_child != out_write && out_child != nullptr) CloseHandle(out_child);
  CloseHandle(err_write);
  if (in_child != INVALID_HANDLE_VALUE) CloseHandle(in_child);
  if (!started) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    if (in_feed != INVALID_HANDLE_VALUE) CloseHandle(in_feed);
    throw std::runtime_error("CreateProcessW failed for " + argv[0] + " (error " + std::to_string(start_error) + ")");
  }
  if (child.hProcess == nullptr) {
    // Wine runs a Linux program (/bin/sh, say) as one of its own and gives no handle to wait on:
    // the wait below would never end.
    CloseHandle(out_read);
    CloseHandle(err_read);
    if (in_feed != INVALID_HANDLE_VALUE) CloseHandle(in_feed);
    throw std::runtime_error(argv[0] + " started with no process handle to wait on (under Wine, a Linux program)");
  }
  RunResult result;
  // Nobody reads a closed stream: the child's writes to it fail.
  const bool stdout_read = !options.stdout_closed && options.stdout_file.empty() && !options.stdout_absent;
  if (!stdout_read) CloseHandle(out_read);
  if (options.stderr_closed) CloseHandle(err_read);
  std::thread feeder;
  if (in_feed != INVALID_HANDLE_VALUE) {
    // Fed until all is written or the child stops reading (the write then fails), then closed.
    feeder = std::thread([in_feed, &options] {
      std::size_t fed = 0;
      DWORD put = 0;
      while (fed < options.stdin_data.size() &&
             WriteFile(in_feed, options.stdin_data.data() + fed,
                       static_cast<DWORD>(std::min<std::size_t>(options.stdin_data.size() - fed, 1 << 16)), &put,
                       nullptr)) {
        fed += put;
      }
      CloseHandle(in_feed);
    });
  }
  std::thread out_reader;
  std::thread err_reader;
  if (stdout_read) out_reader = std::thread(drain, out_read, &result.raw_out, options.stdout_limit);
  if (!options.stderr_closed) err_reader = std::thread(drain, err_read, &result.raw_err, std::string::npos);

  // timeout_seconds: the child is killed and the run ends as timed_out; the time limit: the
  // child is killed and the test fails.
  const auto start = std::chrono::steady_clock::now();
  const auto hard = start + options.time_limit;
  const auto soft = start + std::chrono::seconds(options.timeout_seconds);
  bool killed = false;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const bool soft_pending = options.timeout_seconds > 0 && !result.timed_out;
    if (soft_pending && now >= soft) {
      result.timed_out = true;
      TerminateProcess(child.hProcess, 1);
    }
    if (now >= hard) {
      TerminateProcess(child.hProcess, 1);
      killed = true;
      WaitForSingleObject(child.hProcess, 5000);
      break;
    }
    const auto next = soft_pending && soft < hard ? soft : hard;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(std::clamp<long long>(left, 1, 1000))) ==
        WAIT_OBJECT_0) {
      break;
    }
  }
  // The child's end closes its side of each pipe, unless a child of its own holds it: the
  // readers then end with it.
  if (out_reader.joinable()) out_reader.join();
  if (err_reader.joinable()) err_reader.join();
  if (feeder.joinable()) feeder.join();
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(child.hProcess, &memory, sizeof memory)) {
    result.max_rss_kib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  result.status = static_cast<int>(code);
  result.out = text_mode(result.raw_out);
  result.err = text_mode(result.raw_err);
  if (killed) {
    throw std::runtime_error(argv[0] + " was still running after " + std::to_string(options.time_limit.count()) +
                             " s and was killed; what it printed:\n" + result.out + result.err);
  }
  return result;
}

std::string run_on_terminal(const std::vector<std::string>&, const std::string&, int*, bool) {
  throw std::runtime_error("no pseudo-terminal to give a child on Windows");
}

int interrupted_run(const std::vector<std::string>&, const std::string&, const std::function<bool()>&,
                    std::chrono::seconds) {
  throw std::runtime_error("no signals to send a child on Windows");
}

}  // namespace uq::test
