// The recursive run: every input the iterator gives is recreated (a directory) or restored (a
// file) under the destination, at its path from the argument's last component on.
#include "cli/recursive_run.h"

#include <cerrno>
#include <cstdio>

#include "cli/input_iterator.h"
#include "cli/output_path.h"
#include "format/file_decoder.h"
#include "pipeline/threaded_run.h"
#include "platform/file_status.h"
#include "platform/paths.h"
#include "report/console.h"

namespace uq::cli {

namespace {

using platform::FileKind;
using platform::kDirSeparators;

// Makes one level; one that exists already as a directory counts as made. Any other failure
// ends the run, since the files meant for it could not be restored.
void make_level(const std::string& level) {
  int err = platform::make_directory(level);
  if (err == 0) return;
  if (err == EEXIST) {
    platform::FileStatus status = platform::file_status(level);
    if (status.ok && status.kind == FileKind::directory) return;
  }
  report::print_message(stderr, "cannot create directory '%s'", level.c_str());
  pipeline::fatal_exit(-1);
}

// Makes every level of `path`: the text before each separator, then the whole path. The empty
// text before the leading separator of an absolute path is passed over.
void make_output_directories(const std::string& path) {
  for (std::size_t slash = path.find_first_of(kDirSeparators); slash != std::string::npos;
       slash = path.find_first_of(kDirSeparators, slash + 1)) {
    if (slash != 0) make_level(path.substr(0, slash));
  }
  make_level(path);
}

}  // namespace

void recursive_run(const std::vector<std::string>& inputs, const std::string& destination,
                   bool verbose, pipeline::DecodeQueue& queue) {
  std::unique_ptr<InputIterator> iterator = open_input_iterator(inputs);
  if (!iterator) return;
  // Restored into while it is walked, the destination would be walked again, deeper each time.
  if (const platform::FileStatus dest = platform::file_status(destination); dest.ok) {
    iterator->pass_over({dest.device, dest.inode});
  }
  std::string path;
  platform::FileStatus status;
  while (iterator->next_input(path, status) == 0) {
    std::string output = join_output_path(destination, recursive_tail(path, iterator->current_argument()));
    if (status.kind == FileKind::regular) {
      if (verbose) report::print_message(stdout, "%s\n", path.c_str());
      // Decode workers print on standard output too; what this thread has said goes out first.
      std::fflush(stdout);
      format::decode_file(queue, path, output);  // a failed file does not stop the run
    } else if (status.kind == FileKind::directory) {
      make_output_directories(output);
    }
  }
  close_input_iterator(iterator);
}

}  // namespace uq::cli
