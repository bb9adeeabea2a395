// The restore library: what the restore tool does, for both tools (`unquarvex`, and `quarvex`
// for -d, --list and --test), the fuzz targets and the benchmarks. One block decoder, one file
// decoder and one pipeline serve every use; this header is all a user of the library needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// ---- Walking inputs ------------------------------------------------------------------------------

// One input of a recursive run, as the restore tool walks its arguments: each argument in turn,
// a directory argument given first as itself and then everything beneath it, depth first, each
// directory's names in byte order; symbolic links followed, loops recreated but not entered.
struct WalkEntry {
  enum class Kind { file, directory, other };
  std::string path;      // as walked: the argument, or the argument joined with names below it
  std::string argument;  // the argument it came from
  Kind kind;
};

// Calls `visit` for each input of `arguments`, in the walk's order. Entries that can't be used
// are reported on standard error as "<path>: <reason>" and passed over, as the restore tool does;
// gives how many were.
std::size_t walk_inputs(const std::vector<std::string>& arguments, const std::function<void(const WalkEntry&)>& visit);

// Where a recursive run puts `input_path` found below `argument`: `destination`, the separator
// ("/", on Windows "\\"), then the input's path from the argument's last component on (all of it
// when the argument has no separator; an argument that ends in one contributes nothing of its
// own).
std::string tree_output_path(const std::string& destination, const std::string& input_path,
                             const std::string& argument);

// ---- The archive checksum ----------------------------------------------------------------------

// Header bytes 20 to 31, which readers of the format never examine, may carry a checksum of the
// restored file: a 4-byte tag ("checksum, kind 1"), then 8 bytes little-endian: XXH3-64 over the
// XXH3-64 of each restored block (8 bytes each, little-endian), in index order. Blocks can be
// hashed in any order and on any thread; the file's checksum is made once all are known.
inline constexpr std::uint8_t kChecksumTag[4] = {'Q', 'C', 'S', '1'};
inline constexpr std::size_t kChecksumAt = 20;  // the tag; the value follows it

std::uint64_t block_digest(const std::uint8_t* data, std::size_t size);
std::uint64_t file_checksum(const std::vector<std::uint64_t>& block_digests);

// ---- Looking inside an archive (quarvex --list) ------------------------------------------------

// What the header and the records of one archive say. Only the header and the 5-byte records are
// read: block bytes are passed over by seeking, so a listing takes no longer for a huge archive.
struct ArchiveListing {
  bool opened = false;       // the file could be opened and read (err says why not)
  int err = 0;
  bool quarvex = false;      // 32 bytes of header with the "QV0" identifier
  std::uint64_t archive_size = 0;
  std::int64_t orig_size = 0;
  std::uint8_t method = 0;
  std::uint8_t level = 0;
  std::uint8_t filter = 0;   // the whole byte; its low four bits name the filter
  std::uint16_t block_mib = 0;
  std::int64_t block_count = 0;       // N, as the header's sizes give it
  std::uint64_t records = 0;          // block records found
  std::uint64_t coded_blocks = 0;     // records in range whose block is coded
  std::uint64_t stored_blocks = 0;    // ... and stored
  std::uint64_t missing_blocks = 0;   // indexes 0..N-1 without a record
  std::uint64_t repeated_blocks = 0;  // records for an index that had one already
  std::uint64_t out_of_range = 0;     // records for an index below 0 or from N on, or with more bytes than their block
  bool cut_short = false;             // the file ends inside a record or a block's bytes
  bool has_checksum = false;
  std::uint64_t checksum = 0;
};

ArchiveListing list_archive(const std::string& path);

// ---- Checking an archive (quarvex --test) ------------------------------------------------------

// The verdict on one archive, decoded block by block with the restore tool's own file decoder,
// block decoder and pipeline, writing nothing.
struct ArchiveCheck {
  bool intact = false;
  std::string reason;                // why not, in a few words (empty when intact)
  std::int64_t first_bad_block = -1;  // the lowest block index that a problem names, or -1
  bool has_checksum = false;         // the header carries one
  bool checksum_matches = false;     // ... and the restored blocks give it
  std::vector<Problem> problems;     // everything the decoder reported, in order
};

// Decodes every block of `path` on `threads` workers (0: on this thread), writing nothing, and
// checks its structure (every block index from 0 to N-1 exactly once, each with its expected
// length) and, where the header has one, its checksum.
ArchiveCheck check_archive(const std::string& path, int threads);

}  // namespace uq
