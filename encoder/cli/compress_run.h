// A compression run: the inputs named (and, with -r, the trees walked by the restore tool's own
// input iterator) turned into one archive each, under DEST_DIR or at -o's path.
#pragma once

#include "options.h"

namespace uq::suite {

// Compresses what `options` names; gives the exit status: 0 when every input was compressed,
// 1 when any failed or was passed over.
int run_compression(const Options& options);

}  // namespace uq::suite
