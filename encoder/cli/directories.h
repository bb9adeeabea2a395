// The directories a run of quarvex writes into, compressing or restoring: DEST_DIR and the
// folders of a walked tree below it, each failure said through the run's progress.
#pragma once

#include <string>

#include "progress.h"

namespace uq::suite {

// Makes DEST_DIR when it does not exist: one level, its parent must exist.
bool ensure_destination(const std::string& destination, Progress& progress);

// One directory of a walked tree; one that exists as a directory counts as made.
bool make_directory(const std::string& path, Progress& progress);

}  // namespace uq::suite
