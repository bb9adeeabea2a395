// CreateProcessW with both output pipes drained by a thread each, so a chatty child never
// blocks. Arguments and paths are UTF-8, as the tests and the programs under test take them.
#include "support/process.h"

#include <windows.h>

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

void drain(HANDLE pipe, std::string* sink) {
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) sink->append(buffer, got);
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
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                      env.data(), cwd.empty() ? nullptr : cwd.c_str(), &startup, &child);
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(null_in);
  if (!started) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    throw std::runtime_error("CreateProcessW failed for " + argv[0]);
  }
  RunResult result;
  // Nobody reads a closed standard output: the child's writes to it fail.
  if (options.stdout_closed) CloseHandle(out_read);
  std::thread out_reader;
  if (!options.stdout_closed) out_reader = std::thread(drain, out_read, &result.raw_out);
  drain(err_read, &result.raw_err);
  if (out_reader.joinable()) out_reader.join();
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  result.status = static_cast<int>(code);
  result.out = text_mode(result.raw_out);
  result.err = text_mode(result.raw_err);
  return result;
}

}  // namespace uq::test
