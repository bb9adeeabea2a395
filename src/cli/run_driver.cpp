// The run driver: options, usage, threads, destination, then every input in turn.
#include "cli/run_driver.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "cli/options.h"
#include "cli/output_path.h"
#include "cli/recursive_run.h"
#include "format/file_decoder.h"
#include "pipeline/memory_limit.h"
#include "pipeline/queues.h"
#include "pipeline/run_settings.h"
#include "pipeline/threaded_run.h"
#include "platform/file_status.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "report/console.h"
#include "report/report.h"

namespace uq::cli {

namespace {

// Makes the destination when it does not exist (one level); ends the run when that fails or when
// it is not a directory.
void check_destination(const std::string& destination) {
  platform::FileStatus status = platform::file_status(destination);
  if (!status.ok) {
    int err = platform::make_directory(destination);
    if (err != 0 && err != EEXIST) {
      report::print_message(stderr, "cannot create directory '%s'\n", destination.c_str());
      pipeline::fatal_exit(-1);
    }
  } else if (status.kind != platform::FileKind::directory) {
    report::print_message(stdout, "destination is not a directory\n");
    pipeline::fatal_exit(-1);
  }
}

// Each regular file named on the command line, restored beside the others; the first failure
// ends the list.
void plain_run(const std::vector<std::string>& inputs, const std::string& destination,
               pipeline::DecodeQueue& queue) {
  for (const std::string& input : inputs) {
    platform::FileStatus status = platform::file_status(input);
    if (!status.ok || status.kind != platform::FileKind::regular) continue;
    std::string output_path = join_output_path(destination, plain_tail(input));
    if (format::decode_file(queue, input, output_path) != 0) break;
  }
}

}  // namespace

int run(int argc, const char* const* argv) {
  platform::ignore_fatal_write_signals();
  platform::share_one_heap();
  Options options = parse_options(argc, argv, platform::processor_count());
  if (options.args.size() < 2) {
    std::string usage = usage_text(options.program_name);
    std::fputs(usage.c_str(), stderr);
    return 1;
  }
  pipeline::thread_count = options.thread_count;

  pipeline::WriteQueue write_queue(pipeline::thread_count);
  write_queue.budget.set_limit(pipeline::memory_budget_from_environment(options.program_name));
  pipeline::DecodeQueue decode_queue(pipeline::thread_count, &write_queue);
  pipeline::ThreadedRun threads(decode_queue, write_queue);
  if (!threads.start()) pipeline::fatal_exit(-1);  // the output writer could not be started

  std::string destination = options.args.back();
  options.args.pop_back();
  check_destination(destination);

  if (options.recursive == 0) {
    plain_run(options.args, destination, decode_queue);
  } else {
    recursive_run(options.args, destination, options.verbose != 0, decode_queue);
  }
  threads.finish();
  return 0;
}

}  // namespace uq::cli
