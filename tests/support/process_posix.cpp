// fork/exec with the output pipes drained (and an input pipe fed) through poll, so a chatty child
// never blocks.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <stdexcept>

namespace uq::test {

const int kFatalStatus = 255;

namespace {

// A pseudo-terminal's two ends: the child gets the terminal side as standard input.
struct Terminal {
  int master = -1;
  std::string slave_name;
};

Terminal open_terminal() {
  Terminal t;
  t.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (t.master < 0 || grantpt(t.master) != 0 || unlockpt(t.master) != 0) {
    throw std::runtime_error("posix_openpt failed");
  }
  const char* name = ptsname(t.master);
  if (name == nullptr) throw std::runtime_error("ptsname failed");
  t.slave_name = name;
  return t;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  // A child that exits before reading its input must not end the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int out_pipe[2];
  int err_pipe[2];
  int in_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      (options.stdin_pipe && pipe2(in_pipe, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  Terminal terminal;
  if (options.stdin_terminal) terminal = open_terminal();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    int in_fd = -1;
    if (options.stdin_pipe) {
      in_fd = in_pipe[0];
    } else if (options.stdin_terminal) {
      in_fd = open(terminal.slave_name.c_str(), O_RDWR | O_NOCTTY);
    } else {
      in_fd = open(options.stdin_file.empty() ? "/dev/null" : options.stdin_file.c_str(), O_RDONLY);
    }
    if (in_fd >= 0) dup2(in_fd, 0);
    if (!options.stdout_file.empty()) {
      const int flags = options.stdout_mode == FileOutput::replace ? O_TRUNC
                        : options.stdout_mode == FileOutput::append ? O_APPEND
                                                                    : 0;
      const int out_fd = open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | flags, 0644);
      if (out_fd < 0 || (options.stdout_mode == FileOutput::after_content && lseek(out_fd, 0, SEEK_END) < 0)) {
        _exit(126);
      }
      dup2(out_fd, 1);
    }
    if (options.stdin_absent) close(0);
    if (options.stdout_absent) close(1);
    if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
    // The child starts with the three standard streams alone, whatever the test runner left open,
    // so that a descriptor limit means the same in every run.
    close_range(3, ~0u, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
    if (options.max_open_files >= 0) {
      rlimit lim{static_cast<rlim_t>(options.max_open_files),
                 static_cast<rlim_t>(options.max_open_files)};
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (options.max_file_size >= 0) {
      rlimit lim{static_cast<rlim_t>(options.max_file_size),
                 static_cast<rlim_t>(options.max_file_size)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    signal(SIGPIPE, SIG_DFL);
    if (options.empty_argv0) {
      char* no_args[] = {nullptr};
      execve(args[0], no_args, environ);
    } else {
      execv(args[0], args.data());
    }
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (options.stdin_pipe) {
    close(in_pipe[0]);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);  // a full pipe must not keep the outputs from being read
  }
  if (!options.typed.empty() && write(terminal.master, options.typed.data(), options.typed.size()) < 0) {
    throw std::runtime_error("typing on the terminal failed");
  }
  if (options.stdout_closed || !options.stdout_file.empty() || options.stdout_absent) {
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  if (options.stderr_closed) {
    close(err_pipe[0]);
    err_pipe[0] = -1;
  }

  RunResult result;
  // Standard output, standard error, and the input still to feed.
  pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = (out_pipe[0] < 0 ? 0 : 1) + (options.stderr_closed ? 0 : 1);
  std::size_t fed = 0;
  if (options.stdin_pipe && options.stdin_data.empty()) {
    close(in_pipe[1]);
    fds[2].fd = -1;
  }
  char buffer[65536];
  const auto deadline = std::chrono::steady_clock::now() + options.time_limit;
  const bool soft = options.timeout_seconds > 0;
  const auto soft_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  bool killed = false;
  while (open_count > 0) {
    // timeout_seconds: the child is killed and the run ends as timed_out; the time limit: the
    // child is killed and the test fails.
    const auto now = std::chrono::steady_clock::now();
    if (soft && !result.timed_out && now >= soft_deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
    }
    if (now >= deadline) {
      // Still running: its streams are left, and it is ended.
      kill(pid, SIGKILL);
      killed = true;
      for (pollfd& f : fds) {
        if (f.fd >= 0) close(f.fd);
        f.fd = -1;
      }
      break;
    }
    const auto next = soft && !result.timed_out ? std::min(soft_deadline, deadline) : deadline;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
    if (poll(fds, 3, static_cast<int>(std::clamp<long long>(left.count(), 1, 1000))) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = (fds[2].revents & POLLOUT) != 0
                            ? write(fds[2].fd, options.stdin_data.data() + fed, options.stdin_data.size() - fed)
                            : -1;
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 ? errno != EINTR && errno != EAGAIN : fed == options.stdin_data.size()) {
        close(fds[2].fd);  // all fed, or the child stopped reading
        fds[2].fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
      const bool enough = i == 0 && result.out.size() >= options.stdout_limit;
      if (enough) result.out.resize(options.stdout_limit);
      if (enough || n == 0 || (n < 0 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  // A child may close its streams and still run: the limit holds for its end too.
  int wstatus = 0;
  rusage usage{};
  for (;;) {
    const pid_t ended = wait4(pid, &wstatus, killed ? 0 : WNOHANG, &usage);
    if (ended == pid || (ended < 0 && errno != EINTR)) break;
    if (ended == 0 && std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      killed = true;
    } else if (ended == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  result.max_rss_kib = usage.ru_maxrss;
  if (killed) {
    throw std::runtime_error(argv[0] + " was still running after " + std::to_string(options.time_limit.count()) +
                             " s and was killed; what it printed:\n" + result.out + result.err);
  }
  if (terminal.master >= 0) close(terminal.master);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.raw_out = result.out;
  result.raw_err = result.err;
  return result;
}

std::string run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd, int* status,
                            bool stdout_too) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "openpty failed";
  std::vector<char*> c_argv;
  for (const std::string& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
  c_argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);  // the bytes as written: no "\r" added before each "\n"
    tcsetattr(slave, TCSANOW, &raw);
    dup2(slave, 2);
    if (stdout_too) dup2(slave, 1);
    close_range(3, ~0u, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(c_argv[0], c_argv.data());
    _exit(127);
  }
  close(slave);
  std::string seen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child has gone
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  close(master);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return seen;
}

int interrupted_run(const std::vector<std::string>& argv, const std::string& cwd, const std::function<bool()>& ready,
                    std::chrono::seconds limit) {
  std::vector<char*> c_argv;
  for (const std::string& a : argv) c_argv.push_back(const_cast<char*>(a.c_str()));
  c_argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0), dup2(null_fd, 1), dup2(null_fd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(c_argv[0], c_argv.data());
    _exit(127);
  }
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!ready() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGINT);
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid) throw std::runtime_error("waitpid failed");
  return WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
}

}  // namespace uq::test
