// quarvex -d: checked restores into files (ARCHIVE... DEST_DIR, -r, -o FILE), and restores into
// a stream (-c ARCHIVE, or no name: standard input to standard output). Unlike the restore tool,
// which salvages what it can, every archive is checked as it is restored, and any failure is
// loud: a message naming the archive and its first bad block, and exit status 1.
#pragma once

#include "options.h"

namespace uq::suite {

// Restores the archives of `options` into files; gives the exit status: 0 when every archive
// was restored whole and checked, 1 when any failed or was passed over.
int run_restore_to_files(const Options& options);

// Restores one archive (standard input when none is named) to standard output in order; gives
// the exit status: 0 when it went out whole and checked, 1 otherwise. A reader that closes the
// pipe ends the process at once, by SIGPIPE, without a word.
int run_restore_to_stream(const Options& options);

}  // namespace uq::suite
