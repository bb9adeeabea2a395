// fork/exec with both output pipes drained through poll, so a chatty child never blocks.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace uq::test {

const int kFatalStatus = 255;

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
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
  if (options.stdout_closed) {
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = options.stdout_closed ? 1 : 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.raw_out = result.out;
  result.raw_err = result.err;
  return result;
}

}  // namespace uq::test
