// The restore library: what the restore tool does, for both tools (`unquarvex`, and `quarvex`
// for its checked restores, streams, --list and --test), the fuzz targets and the benchmarks.
// One block decoder, one file decoder and one pipeline serve every use; this header is all a
// user of the library needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// Whether `p` is damage in the archive, rather than an archive that could not be opened or read,
// a lack of memory or a failed write, which say nothing of the archive's bytes.
bool is_damage(const Problem& p);

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
// when the argument has no separator; an argument that ends in one, or whose last component is "."
// or "..", contributes nothing of its own).
std::string tree_output_path(const std::string& destination, const std::string& input_path,
                             const std::string& argument);

// The memory budget of a restore: the blocks in flight stay within it. UNQUARVEX_MEMORY_LIMIT when
// it is set and well formed; otherwise half of the memory the process may use, after one line on
// standard error (naming `program`) when the variable is malformed.
std::uint64_t memory_budget(const std::string& program);

// The name a restore gives the restored file of the archive `path`: ".qvx" cut off (in any
// case), or ".out" appended when the name has no such extension.
std::string restored_name(const std::string& path);

// What the header of the archive `path` says the restored file holds, or -1 when it has no
// quarvex header (or can't be read). Reads the header alone.
std::int64_t restored_size_of(const std::string& path);

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
// block decoder and pipeline, writing nothing. Three outcomes: intact; damaged (a block or the
// structure is bad, or the checksum differs); or no verdict, when memory ran out before every
// block could be decoded (a lack of memory is no damage).
struct ArchiveCheck {
  bool intact = false;
  bool out_of_memory = false;        // no verdict: blocks went undecoded for want of memory
  std::string reason;                // why not intact, in a few words (empty when intact)
  std::int64_t first_bad_block = -1;  // the lowest block index that a problem names, or -1
  bool has_checksum = false;         // the header carries one
  bool checksum_matches = false;     // ... and the restored blocks give it: the contents are
                                     // verified (without a checksum, only that every block decodes)
  std::vector<Problem> problems;     // everything the decoder reported, in order
  int named_problem = -1;            // the one `reason` gives, as an index into problems, or -1
  std::int64_t restored_size = -1;   // what the header says the file holds; -1 without a header
  std::int64_t block_size = 0;       // B, in bytes
  // The blocks of 0..N-1 that were not restored, in runs of neighbours with the same reason.
  struct BadBlocks {
    std::int64_t first;
    std::int64_t last;
    std::string why;  // in --test's words: "coded stream damaged", "missing", ...
  };
  std::vector<BadBlocks> bad_blocks;
};

// How check_archive runs.
struct CheckOptions {
  int threads = 0;                          // decode workers (0: all on this thread)
  std::uint64_t memory_limit = UINT64_MAX;  // the blocks in flight stay within it
  // A checked restore: each restored block of 0..N-1 is also given here, `len` bytes that belong
  // at byte `offset` of the restored file, from one thread at a time and in any order. It gives
  // 0, or the errno of a failed write, which ends the check as a write error.
  std::function<int(std::uint64_t offset, const std::uint8_t* data, std::size_t len)> write;
  // Called with the length of each block restored, from one thread at a time.
  std::function<void(std::uint64_t bytes)> progress;
};

// Decodes every block of `path` on `threads` workers (0: on this thread) whose blocks stay within
// `memory_limit` bytes, writing nothing, and checks its structure (every block index from 0 to
// N-1 exactly once, each with its expected length) and, where the header has one, its checksum.
ArchiveCheck check_archive(const std::string& path, int threads, std::uint64_t memory_limit);
ArchiveCheck check_archive(const std::string& path, const CheckOptions& options);

// ---- Restoring into a stream (quarvex -d -c) ----------------------------------------------------

// The archive a stream restore reads.
struct StreamSource {
  std::string name;             // the archive's path, opened unless `stream` is given
  std::FILE* stream = nullptr;  // read from here instead, from where it stands; left open
  bool seekable = false;        // `stream` is a regular file, whose records can be read first
};

struct StreamOptions {
  int threads = 0;                          // decode workers (0: all on this thread)
  std::uint64_t memory_limit = UINT64_MAX;  // the blocks in flight and in the window stay within it
  std::function<void(std::uint64_t bytes)> progress;  // called with each block written
};

struct StreamRestore {
  bool complete = false;            // every block went out in order, and the checksum matched
  std::string reason;               // why not, in --test's words (empty when complete)
  std::int64_t first_bad_block = -1;  // the block that `reason` names, or -1
  std::int64_t blocks_out = 0;      // blocks 0 .. blocks_out - 1 went out whole, nothing after
  std::uint64_t bytes_out = 0;
  std::int64_t block_count = 0;     // N, as the header gives it
  bool write_failed = false;        // `write` failed with write_err (EPIPE: the reader has gone)
  int write_err = 0;
  bool window_full = false;         // the records lie too far out of order for the memory limit
  bool read_records_first = false;  // the window would not fit: records read first, blocks by index
  bool has_checksum = false;
  bool checksum_matches = false;
  std::vector<Problem> problems;    // everything the decoder reported, in order
  int named_problem = -1;           // the one `reason` gives, as an index into problems, or -1
};

// Restores the archive of `source` block after block, in index order, to `write` (which gives 0
// or the errno of a failed write), checking it as check_archive does; the checksum is checked at
// the end, after every byte went out. Blocks restored ahead of their turn wait in a window whose
// memory counts against options.memory_limit; the records of any valid archive lie within 128
// places of their blocks, so 128 blocks always put them in order. When that many would not fit,
// a seekable source has its records read first and its blocks read by index; from a pipe, a file
// whose records need more than the limit ends with window_full. A failure ends the stream after
// the last block that could go out in order.
StreamRestore restore_to_stream(const StreamSource& source,
                                const std::function<int(const std::uint8_t* data, std::size_t len)>& write,
                                const StreamOptions& options);

}  // namespace uq
