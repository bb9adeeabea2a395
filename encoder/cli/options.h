// quarvex's command line: what each option sets, read with getopt_long, and the help, usage and
// version texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/file_writer.h"

namespace uq::suite {

// The filter a compression uses; `automatic` looks at each input's header (filter_guess.h).
enum class FilterChoice { none, x86, delta, automatic };

enum class Mode { compress, decompress, list, test };

struct Options {
  Mode mode = Mode::compress;
  std::uint8_t level = enc::kDefaultLevel;
  FilterChoice filter = FilterChoice::automatic;
  std::uint16_t block_mib = enc::kDefaultBlockMib;
  std::optional<std::uint64_t> shuffle_seed;
  unsigned threads = 1;              // -p: workers; 0 runs --test on the main thread alone
  bool recursive = false;            // -r
  bool force = false;                // -f
  bool json = false;                 // --json
  bool verbose = false;              // -v (never with -q)
  bool quiet = false;                // -q: errors only
  bool to_stdout = false;            // -c, or -o -: the one archive to standard output
  bool remove_inputs = false;        // --rm: each input once its archive is complete and flushed
  bool keep_inputs = false;          // -k: inputs are always kept; accepted for habit's sake
  bool keep_partial = false;         // --keep-partial: -d keeps a damaged archive's good blocks
  std::optional<std::string> output; // -o FILE
  std::vector<std::string> inputs;   // FILE... (DEST_DIR taken off in a compression or restore)
  std::string destination;           // DEST_DIR, unless -o or -c is given
};

// What the command line asks for.
struct Command {
  enum class Action { run, help, version, usage_error };
  Action action = Action::run;
  Options options;
  std::string error;  // for usage_error: what was wrong, without the program name
};

// Reads argv (argv[0] is the program) with getopt_long. `processors` is the default of -p.
Command parse_command_line(int argc, char** argv, unsigned processors);

// The full help (--help), the one-line reminder printed after a usage error, and the version.
std::string help_text();
std::string usage_reminder();
std::string version_text();

// The program's name in its own messages: "quarvex: <what>".
inline constexpr const char kProgram[] = "quarvex";

}  // namespace uq::suite
