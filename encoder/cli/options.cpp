// quarvex's command line: getopt_long (platform::OptionScanner) over the options people know from
// xz, zstd and pigz, each checked for its range, then the arguments checked against what the mode
// needs.
#include "options.h"

#include <cstring>

#include "platform/option_scanner.h"
#include "qvx_version.h"

namespace uq::suite {

namespace {

constexpr unsigned kMaxThreads = 64;

// Long options without a short form.
enum LongOnly : int { kLevel = 256, kBest, kFilter, kJson, kShuffleSeed, kRemove, kKeepPartial };

const platform::LongOption kLongOptions[] = {
    {"level", true, kLevel},
    {"best", false, kBest},
    {"block-size", true, 'b'},
    {"filter", true, kFilter},
    {"threads", true, 'p'},
    {"stdout", false, 'c'},
    {"keep", false, 'k'},
    {"rm", false, kRemove},
    {"quiet", false, 'q'},
    {"recursive", false, 'r'},
    {"output", true, 'o'},
    {"force", false, 'f'},
    {"list", false, 'l'},
    {"test", false, 't'},
    {"json", false, kJson},
    {"verbose", false, 'v'},
    {"help", false, 'h'},
    {"version", false, 'V'},
    {"shuffle-seed", true, kShuffleSeed},
    {"decompress", false, 'd'},
    {"keep-partial", false, kKeepPartial},
};

// A leading ':' makes a missing value its own case; digits are the levels -0 ... -9.
constexpr const char kShortOptions[] = ":0123456789b:cdfhklo:p:qrtT:vV";
// The short options that take a value (the rest of their argument, or the next one).
constexpr const char kShortWithValue[] = "bopT";

// A decimal number of at most 20 digits, nothing else, within [low, high].
std::optional<std::uint64_t> parse_number(const char* text, std::uint64_t low, std::uint64_t high) {
  std::size_t len = std::strlen(text);
  if (len == 0 || len > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v < low || v > high) return std::nullopt;
  return v;
}

// An option by its code, for messages: "-p" for a short one, "--level" for one that is long only.
std::string name_of(int code) {
  if (code > 0 && code < 256) return std::string("-") + static_cast<char>(code);
  for (const platform::LongOption& o : kLongOptions) {
    if (o.code == code) return std::string("--") + o.name;
  }
  return "?";
}

// The option as the user wrote it: "-p" or "--threads".
std::string option_name(int code, int long_index) {
  return long_index >= 0 ? std::string("--") + kLongOptions[long_index].name : name_of(code);
}

// Whether a long option as written ("--lev", "--level") names one that takes a value.
bool long_takes_value(const std::string& written) {
  for (const platform::LongOption& o : kLongOptions) {
    if (o.takes_value && std::string(o.name).rfind(written, 0) == 0) return true;
  }
  return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// getopt reads "-10" as -1 then -0, which would quietly give level 0: the argument that has two
// level digits in a row, if any. Values of options ("-p16", "-b 10") are passed over.
const char* run_of_level_digits(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return nullptr;
    if (arg[0] != '-' || arg[1] == '\0') continue;
    if (arg[1] == '-') {
      if (std::strchr(arg, '=') == nullptr && long_takes_value(arg + 2)) ++i;
      continue;
    }
    for (const char* p = arg + 1; *p != '\0'; ++p) {
      if (std::strchr(kShortWithValue, *p) != nullptr) {
        if (p[1] == '\0') ++i;
        break;
      }
      if (is_digit(p[0]) && is_digit(p[1])) return arg;
    }
  }
  return nullptr;
}

Command usage_error(std::string message) {
  Command c;
  c.action = Command::Action::usage_error;
  c.error = std::move(message);
  return c;
}

}  // namespace

Command parse_command_line(int argc, char** argv, unsigned processors) {
  Command command;
  Options& o = command.options;
  o.threads = processors == 0 ? 1 : std::min(processors, kMaxThreads);
  bool listing = false;
  bool testing = false;
  bool decompressing = false;

  if (const char* digits = run_of_level_digits(argc, argv)) {
    return usage_error(std::string("unknown option '") + digits + "': levels are -0 to -9 (--level=N for any level)");
  }
  platform::OptionScanner scan(argc, argv, kShortOptions, kLongOptions);
  for (;;) {
    int long_index = -1;
    const int c = scan.next(long_index);
    if (c == -1) break;
    const char* value = scan.value();
    std::optional<std::uint64_t> v;
    switch (c) {
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        o.level = static_cast<std::uint8_t>(c - '0');
        break;
      case kLevel:
        if (!(v = parse_number(value, 0, 255))) return usage_error("--level must be 0 to 255");
        o.level = static_cast<std::uint8_t>(*v);
        break;
      case kBest: o.level = enc::kBestLevel; break;
      case 'b':
        if (!(v = parse_number(value, 1, enc::kMaxBlockMib))) {
          return usage_error(option_name(c, long_index) + " must be 1 to " +
                             std::to_string(enc::kMaxBlockMib) + " (MiB)");
        }
        o.block_mib = static_cast<std::uint16_t>(*v);
        break;
      case kFilter: {
        const std::string name = value;
        if (name == "none") o.filter = FilterChoice::none;
        else if (name == "x86") o.filter = FilterChoice::x86;
        else if (name == "delta") o.filter = FilterChoice::delta;
        else if (name == "auto") o.filter = FilterChoice::automatic;
        else return usage_error("--filter must be none, x86, delta or auto");
        break;
      }
      case 'p':
      case 'T':
        if (!(v = parse_number(value, 0, kMaxThreads))) {
          return usage_error(option_name(c, long_index) + " must be 0 to " + std::to_string(kMaxThreads));
        }
        o.threads = static_cast<unsigned>(*v);
        break;
      case kShuffleSeed:
        if (!(v = parse_number(value, 0, UINT64_MAX))) return usage_error("--shuffle-seed must be a number");
        o.shuffle_seed = *v;
        break;
      case 'r': o.recursive = true; break;
      case 'o': o.output = value; break;
      case 'f': o.force = true; break;
      case 'l': listing = true; break;
      case 't': testing = true; break;
      case 'd': decompressing = true; break;
      case kKeepPartial: o.keep_partial = true; break;
      case kJson: o.json = true; break;
      case 'v': o.verbose = true; break;
      case 'q': o.quiet = true; break;
      case 'c': o.to_stdout = true; break;
      case 'k': o.keep_inputs = true; break;
      case kRemove: o.remove_inputs = true; break;
      case 'h': command.action = Command::Action::help; return command;
      case 'V': command.action = Command::Action::version; return command;
      case ':': {
        // mingw-w64's getopt_long comes here, not to '?', for a long option given a value it does
        // not take ("--verbose=1"): a missing value is never written with "=".
        const std::string written = argv[scan.next_argument() - 1];
        if (written.rfind("--", 0) == 0 && written.find('=') != std::string::npos) {
          return usage_error("option '" + written.substr(0, written.find('=')) + "' takes no value");
        }
        return usage_error("option " + name_of(scan.mistaken()) + " needs a value");
      }
      default: {  // '?'
        const int mistaken = scan.mistaken();
        // A known option here is a long one given a value it does not take ("--verbose=1"); getopt
        // has stepped past it.
        if (mistaken != 0 && (mistaken >= 256 || std::strchr(kShortOptions, mistaken) != nullptr)) {
          const std::string written = argv[scan.next_argument() - 1];
          return usage_error("option '" + written.substr(0, written.find('=')) + "' takes no value");
        }
        if (mistaken != 0) return usage_error(std::string("unknown option '-") + static_cast<char>(mistaken) + "'");
        // An unknown long option: getopt has stepped past it.
        return usage_error(std::string("unknown option '") + argv[scan.next_argument() - 1] + "'");
      }
    }
  }
  for (int i = scan.next_argument(); i < argc; ++i) o.inputs.emplace_back(argv[i]);

  if (listing && testing) return usage_error("--list and --test can't be combined");
  if (decompressing && (listing || testing)) return usage_error("-d can't be combined with --list or --test");
  o.mode = listing ? Mode::list : testing ? Mode::test : decompressing ? Mode::decompress : Mode::compress;
  if (o.json && (o.mode == Mode::compress || o.mode == Mode::decompress)) {
    return usage_error("--json goes with --list or --test");
  }
  if (o.output && o.to_stdout) return usage_error("-c and -o can't be combined");
  // "-o -" is standard output, as -c is: never a file named "-".
  if (o.output && *o.output == "-") {
    o.output.reset();
    o.to_stdout = true;
  }
  if (o.remove_inputs && o.keep_inputs) return usage_error("-k and --rm can't be combined");
  if (o.keep_partial && o.mode != Mode::decompress) return usage_error("--keep-partial goes with -d");
  if (o.quiet) o.verbose = false;
  int stdin_count = 0;
  for (const std::string& input : o.inputs) stdin_count += input == "-" ? 1 : 0;

  if (o.mode == Mode::decompress) {
    // No name, or -c: one archive (standard input without a name) to standard output.
    if (o.to_stdout || o.inputs.empty()) {
      if (o.recursive) return usage_error("-r restores into a DEST_DIR, not to standard output");
      if (o.inputs.size() > 1) return usage_error("standard output takes one archive (an archive holds one file)");
      if (o.keep_partial) return usage_error("--keep-partial goes with restores to files: a stream can't hold a hole");
      if (o.remove_inputs) return usage_error("--rm goes with restores to files");
      o.to_stdout = true;
      return command;
    }
    if (o.output) {
      if (o.recursive) return usage_error("-o takes one archive; -r needs a DEST_DIR");
      if (o.inputs.size() != 1) return usage_error("-o takes exactly one archive");
      if (o.output->empty()) return usage_error("-o needs a file name");
    } else {
      if (o.inputs.size() < 2) return usage_error("give the archives to restore, then DEST_DIR (or -c, or -o FILE)");
      o.destination = o.inputs.back();
      o.inputs.pop_back();
      if (o.destination == "-") return usage_error("DEST_DIR can't be '-'");
    }
    for (const std::string& input : o.inputs) {
      if (input == "-") return usage_error("standard input ('-') restores to standard output (-c)");
    }
    return command;
  }
  if (o.mode != Mode::compress) {
    if (o.output) return usage_error("-o goes with compression and -d");
    if (o.to_stdout) return usage_error("-c goes with compression and -d");
    if (o.remove_inputs) return usage_error("--rm goes with compression and -d");
    if (stdin_count > 0) return usage_error("--list and --test read archives from files, not '-'");
    if (o.inputs.empty()) return usage_error("give the archives to " + std::string(listing ? "list" : "test"));
    return command;
  }
  // No names at all: standard input to standard output, as a filter.
  if (!o.output && !o.recursive && o.inputs.empty()) o.to_stdout = true;
  if (o.to_stdout) {
    if (o.output) return usage_error("-c and -o can't be combined");
    if (o.recursive) return usage_error("-c writes one archive; -r needs a DEST_DIR");
    if (o.inputs.size() > 1) return usage_error("-c takes one file: an archive holds one");
    // A reader of the stream may still fail after its last byte: no input is removed for it.
    if (o.remove_inputs) return usage_error("--rm goes with archives written to files, not with -c");
    if (o.inputs.empty()) o.inputs.emplace_back("-");
    return command;
  }
  if (o.output) {
    if (o.recursive) return usage_error("-o takes one file; -r needs a DEST_DIR");
    if (o.inputs.size() != 1) return usage_error("-o takes exactly one input file");
    if (o.output->empty()) return usage_error("-o needs a file name");
    return command;
  }
  // The last name is the destination, a directory: one input alone is a mistake.
  if (o.inputs.size() < 2) return usage_error("give the files to compress, then DEST_DIR (or -o FILE, or -c)");
  o.destination = o.inputs.back();
  o.inputs.pop_back();
  if (o.destination == "-") return usage_error("DEST_DIR can't be '-'");
  if (stdin_count > 1) return usage_error("standard input ('-') can be read only once");
  return command;
}

std::string help_text() {
  return std::string(
             "Usage: quarvex [OPTIONS] FILE... DEST_DIR     compress each FILE to DEST_DIR/FILE.qvx\n"
             "       quarvex [OPTIONS] -o OUT.qvx FILE       compress one file to OUT.qvx\n"
             "       quarvex [OPTIONS] -c [FILE]             compress FILE (default: standard input)\n"
             "                                               to standard output; no names: the same\n"
             "       quarvex -d [OPTIONS] ARCHIVE... DEST_DIR  restore each archive, checked\n"
             "       quarvex -d [OPTIONS] -o FILE ARCHIVE    restore one archive to FILE\n"
             "       quarvex -d [OPTIONS] [-c ARCHIVE]       restore one archive (or standard input)\n"
             "                                               to standard output\n"
             "       quarvex -l|-t [--json] [-r] ARCHIVE...  list or test archives\n"
             "\n"
             "  -r, --recursive      walk directories and recreate their tree under DEST_DIR\n"
             "  -o, --output=FILE    the archive of the single input FILE (with -d: the file\n"
             "                       restored from the single ARCHIVE); '-' is standard output\n"
         "  -c, --stdout         write to standard output: the one archive, or with -d the\n"
         "                       restored file, its blocks in order (never compressed data to\n"
         "                       or from a terminal without -f)\n"
             "  -0 ... -9            level; default ") +
         std::to_string(enc::kDefaultLevel) +
         "\n"
         "      --best           the level with the smallest output (" +
         std::to_string(enc::kBestLevel) +
         ")\n"
         "      --level=N        any level of the format, 0 to 255\n"
         "  -b, --block-size=MIB block size, 1 to " +
         std::to_string(enc::kMaxBlockMib) + " MiB; default " + std::to_string(enc::kDefaultBlockMib) +
         " (" + std::to_string(enc::kBestBlockMib) + " with --best), or less to cut\n"
         "                       a file into blocks that share it fairly, " +
         std::to_string(enc::kBlocksOfASmallFile) + " or more (" +
         std::to_string(enc::kBlocksOfABestFile) + " with --best)\n"
         "      --filter=NAME    none, x86, delta or auto (default: x86 for x86 and x86-64\n"
         "                       ELF and PE programs and libraries, none for the rest)\n"
         "  -p, -T, --threads=N  workers, 0 to 64; default: one per processor\n"
         "  -f, --force          replace existing outputs (a regular file or a link); write\n"
         "                       compressed data to a terminal, or read it from one with -d\n"
         "  -d, --decompress     restore archives, checking every block and the checksum: a\n"
         "                       failure names the archive and its first bad block, gives\n"
         "                       status 1 and leaves no file under the output's name\n"
         "      --keep-partial   with -d: keep a damaged archive's good blocks, zeros for the\n"
         "                       others, and name each bad range (the status is still 1)\n"
         "      --rm             remove each input once its output is complete and on disk;\n"
         "                       never after a failure\n"
         "  -k, --keep           keep the inputs (they always are)\n"
         "  -l, --list           list archives: sizes, ratio, blocks, level, filter, checksum\n"
         "  -t, --test           decode every block of archives and check them, writing nothing\n"
         "      --json           --list and --test output for scripts\n"
         "  -v, --verbose        print a summary, and progress on a terminal\n"
         "  -q, --quiet          print errors only\n"
         "  -h, --help           this text\n"
         "  -V, --version        the version\n"
         "  FILE '-'             standard input, compressed to DEST_DIR/stdin.qvx\n"
         "\n"
         "quarvex -d checks and fails loudly; unquarvex, the format's restore tool, salvages\n"
         "instead: it restores every good block of a damaged archive and ends with status 0.\n"
         "A restore gives each file the archive's mode and times; links, owners and hard links\n"
         "are not kept by a per-file archive: tar -I quarvex keeps a whole tree as it was.\n"
         "\n"
         "Exit status: 0 when everything succeeded, 1 when any file failed or an archive is\n"
         "damaged, 2 for a mistake on the command line.\n";
}

std::string usage_reminder() {
  return "Usage: quarvex [OPTIONS] FILE... DEST_DIR (or -o FILE, -c, -l, -t, -d); try 'quarvex --help'\n";
}

std::string version_text() { return std::string("quarvex ") + QVX_VERSION + "\n"; }

}  // namespace uq::suite
