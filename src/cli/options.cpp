// Command-line examination: options, the argument list, the thread count and the usage text.
#include "cli/options.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/paths.h"

namespace uq::cli {

namespace {

// The banner date is the release's own, not the build's.
constexpr const char kBanner[] = "quarvex 0.94   Apr 18 2009";
constexpr const char kDefaultProgramName[] = "unquarvex";

std::string base_name(const char* path) {
  if (path == nullptr || *path == '\0') return kDefaultProgramName;
  const std::string_view text(path);
  const std::size_t slash = text.find_last_of(platform::kDirSeparators);
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

}  // namespace

std::int32_t parse_count(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  // Accumulate toward the sign's limit so that the most negative value is reachable too.
  constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  while (std::isdigit(static_cast<unsigned char>(*text))) {
    value = value * 10 + (*text++ - '0');
    if (value > kLimit + 1) value = kLimit + 1;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value > kLimit ? kLimit : value);
}

Options parse_options(int argc, const char* const* argv, std::int32_t processors) {
  Options options;
  options.program_name = base_name(argc > 0 ? argv[0] : nullptr);
  options.thread_count = processors;
  if (argc > 1 && std::strcmp(argv[1], "-d") == 0) {
    for (int i = 1; i < argc; ++i) {
      const char* arg = argv[i];
      if (arg[0] != '-') {
        options.args.emplace_back(arg);
        continue;
      }
      switch (arg[1]) {
        case 'p': options.thread_count = parse_count(arg + 2); break;
        case 'r': ++options.recursive; break;
        case 'v': ++options.verbose; break;
        default: break;  // "-d", unknown letters and a lone "-" are accepted and do nothing
      }
    }
  }
  if (static_cast<std::uint32_t>(options.thread_count) > static_cast<std::uint32_t>(pipeline::kMaxWorkers)) {
    options.thread_count = pipeline::kMaxWorkers;
  }
  return options;
}

std::string usage_text(const std::string& program_name) {
  std::string text = "\n";
  text += kBanner;
  text += "\n\n Usage: " + program_name + " <options> <filename1> .. <filenameN> DESTINATION_DIR\n";
  text += "<options>\n";
  text += "     quarvex -d -r backup_dir";
  text += platform::kDirSeparator;
  text += "* restore_dir\n";
  return text;
}

}  // namespace uq::cli
