// DEST_DIR and the folders of a walked tree, made for a run of quarvex either way.
#include "directories.h"

#include <cerrno>
#include <cstring>

#include "platform/file_status.h"

namespace uq::suite {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace

bool ensure_destination(const std::string& destination, Progress& progress) {
  const platform::FileStatus status = platform::file_status(destination);
  if (status.ok) {
    if (status.kind == platform::FileKind::directory) return true;
    say(progress, quoted(destination) + " is not a directory");
    return false;
  }
  if (const int err = platform::make_directory(destination); err != 0 && err != EEXIST) {
    say(progress, "cannot create directory " + quoted(destination) + ": " + std::strerror(err));
    return false;
  }
  return true;
}

bool make_directory(const std::string& path, Progress& progress) {
  const int err = platform::make_directory(path);
  if (err == 0) return true;
  const platform::FileStatus status = platform::file_status(path);
  if (err == EEXIST && status.ok && status.kind == platform::FileKind::directory) return true;
  say(progress, "cannot create directory " + quoted(path) + ": " + std::strerror(err));
  return false;
}

}  // namespace uq::suite
