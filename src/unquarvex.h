// The restore library: what the restore tool does, for both tools (`unquarvex`, and `quarvex`
// for -d, --list and --test), the fuzz targets and the benchmarks. One block decoder, one file
// decoder and one pipeline serve every use; this header is all a user of the library needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace uq {

// ---- The restore tool --------------------------------------------------------------------------

// Runs the restore tool on its whole command line (argv[1] must be exactly "-d"; argv[0] names
// the tool in its usage text). Prints what the tool prints and gives its exit status; a fatal
// condition ends the process, as the tool does.
int restore_main(int argc, const char* const* argv);

// ---- One block ---------------------------------------------------------------------------------

enum class BlockOutcome {
  restored,   // `restored` holds out_len bytes
  damaged,    // the coded stream is damaged, or its method is unknown
  no_memory,  // a buffer or the model could not be had
};

// Restores one block of `comp_len` bytes at `coded` that restores to `out_len` bytes: stored
// when comp_len equals out_len, otherwise coded with `method` at `level`; then the post-filter of
// `filter` is undone. comp_len must not exceed out_len.
BlockOutcome restore_block(const std::uint8_t* coded, std::size_t comp_len, std::int32_t out_len,
                           std::uint8_t method, std::uint8_t level, std::uint8_t filter,
                           std::vector<std::uint8_t>& restored);

// Undoes the post-filter named by the low four bits of `filter` (1 x86 branches, 2 3-byte delta,
// others none) on one block, in place.
void undo_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size);

// ---- Whole files, in process -------------------------------------------------------------------

// Something that went wrong, as a restore or a check reports it.
struct Problem {
  enum class Kind {
    cannot_open,  // the input can't be opened
    read_error,   // 103: the header or a read failed, or a block's bytes are cut short
    not_qvx,      // 104: the header is not a quarvex header
    corrupt,      // 105: a damaged record or header
    damaged,      // 105: a block's coded stream is damaged
    no_memory,    // 100
    write_error,  // 102
    incomplete,   // an output was left with blocks unwritten by a failure
  };
  Kind kind;
  std::int64_t block;  // the block concerned, or -1
  std::string what;    // a short reason, for messages
  int err = 0;         // the errno behind a read or write error

  bool operator==(const Problem&) const = default;
};

struct FileRestore {
  int status = 0;  // as the restore tool's file decoder gives it: 0, -1 or -code
  std::vector<Problem> problems;  // in the order they were reported
};

// Restores the compressed file `input` the way the restore tool does, to `output_path` less its
// ".qvx" (or with ".out" appended), with `threads` decode workers (0: all on this thread) and
// their blocks within `memory_limit` bytes. Prints nothing: what goes wrong is collected.
FileRestore restore_file(const std::string& input, const std::string& output_path, int threads,
                         std::uint64_t memory_limit = UINT64_MAX);

}  // namespace uq
