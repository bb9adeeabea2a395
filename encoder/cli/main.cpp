// quarvex: the suite's one command. It compresses files and trees, restores them with -d
// (checked, unlike the restore tool, which salvages), lists archives (-l) or tests them (-t).
#include <cstdio>
#include <thread>

#include "archive_report.h"
#include "compress_run.h"
#include "options.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "restore_run.h"

int main(int argc, char** argv) {
  uq::platform::share_one_heap();
  // Past a file-size limit a write must fail (and only the temporary file go), not end the process.
  uq::platform::ignore_file_size_signal();
  // A missing standard stream gets the null device, and no archive its number.
  uq::platform::guard_standard_streams();
  using uq::suite::Command;
  const Command command = uq::suite::parse_command_line(argc, argv, std::thread::hardware_concurrency());
  switch (command.action) {
    case Command::Action::help: std::fputs(uq::suite::help_text().c_str(), stdout); return 0;
    case Command::Action::version: std::fputs(uq::suite::version_text().c_str(), stdout); return 0;
    case Command::Action::usage_error:
      std::fprintf(stderr, "%s: %s\n%s", uq::suite::kProgram, command.error.c_str(), uq::suite::usage_reminder().c_str());
      return 2;
    case Command::Action::run: break;
  }
  const uq::suite::Options& options = command.options;
  switch (options.mode) {
    case uq::suite::Mode::list: return uq::suite::run_list(options);
    case uq::suite::Mode::test: return uq::suite::run_test(options);
    case uq::suite::Mode::decompress:
      return options.to_stdout ? uq::suite::run_restore_to_stream(options) : uq::suite::run_restore_to_files(options);
    case uq::suite::Mode::compress: break;
  }
  return uq::suite::run_compression(options);
}
