// --list and --test: which archives (the names given, or the files of walked trees), then one
// line or one JSON object each from uq::list_archive and uq::check_archive, and the totals.
#include "archive_report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file_status.h"
#include "platform/standard_streams.h"
#include "progress.h"
#include "unquarvex.h"

namespace uq::suite {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

void complain(const std::string& text) { std::fprintf(stderr, "quarvex: %s\n", text.c_str()); }

// The archives to look at, in order, each with what keeps it from being looked at (empty when
// nothing does). Entries a walk can't use are reported by the walk and counted.
struct Target {
  std::string path;
  std::string problem;
};

struct Targets {
  std::vector<Target> items;
  int walk_failures = 0;
};

Targets find_archives(const Options& options) {
  Targets t;
  for (const std::string& argument : options.inputs) {
    if (options.recursive) {
      t.walk_failures += static_cast<int>(walk_inputs({argument}, [&](const WalkEntry& e) {
        if (e.kind == WalkEntry::Kind::file) t.items.push_back({e.path, ""});
        if (e.kind == WalkEntry::Kind::other) t.items.push_back({e.path, "not a regular file"});
      }));
      continue;
    }
    const platform::FileStatus st = platform::file_status(argument);
    if (!st.ok) {
      t.items.push_back({argument, std::strerror(st.err)});
    } else if (st.kind == platform::FileKind::directory) {
      t.items.push_back({argument, "a directory (-r looks inside)"});
    } else if (st.kind != platform::FileKind::regular) {
      t.items.push_back({argument, "not a regular file"});
    } else {
      t.items.push_back({argument, ""});
    }
  }
  return t;
}

// Reports an archive that can't be looked at: on standard error, and in the JSON as an entry of
// its own.
void report_unusable(const std::string& path, const std::string& problem, const Options& options,
                     std::string& json_items) {
  complain(quoted(path) + ": " + problem);
  if (options.json) {
    json_items += std::string(json_items.empty() ? "" : ",\n") + "  {\"name\": " + json_string(path) +
                  ", \"error\": " + json_string(problem) + "}";
  }
}

std::string u64(std::uint64_t v) { return std::to_string(v); }

std::uint64_t restored_of(const ArchiveListing& l) { return static_cast<std::uint64_t>(std::max<std::int64_t>(l.orig_size, 0)); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The filter the restore tool applies for a header's filter byte (its low four bits name it);
// `with_byte` adds a byte that is not plainly 0, 1 or 2.
std::string filter_name(std::uint8_t filter, bool with_byte) {
  const int low = filter & 0x0F;
  std::string name = low == 1 ? "x86" : low == 2 ? "delta" : "none";
  if (with_byte && filter > 2) {
    char extra[16];
    std::snprintf(extra, sizeof extra, "(0x%02x)", filter);
    name += extra;
  }
  return name;
}

// Archive size as a percentage of the restored size, or "-" for an empty file.
std::string ratio_text(std::uint64_t archive, std::uint64_t restored) {
  if (restored == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(archive) / static_cast<double>(restored));
  return text;
}

std::string ratio_json(std::uint64_t archive, std::uint64_t restored) {
  if (restored == 0) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(archive) / static_cast<double>(restored));
  return text;
}

// What is odd about an archive's records, in words; empty when nothing is.
std::string oddities(const ArchiveListing& l) {
  std::vector<std::string> parts;
  if (l.missing_blocks > 0) parts.push_back("missing " + u64(l.missing_blocks));
  if (l.repeated_blocks > 0) parts.push_back("repeated " + u64(l.repeated_blocks));
  if (l.out_of_range > 0) parts.push_back("out of range " + u64(l.out_of_range));
  if (l.cut_short) parts.push_back("cut short");
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

std::string hex64(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

std::string bool_json(bool b) { return b ? "true" : "false"; }

// One table row: the widths fit 100 GB sizes and a million blocks.
std::string row(const std::string& restored, const std::string& archive, const std::string& ratio,
                const std::string& block, const std::string& blocks, const std::string& coded,
                const std::string& stored, const std::string& method, const std::string& level,
                const std::string& filter, const std::string& check, const std::string& name) {
  char text[256];
  std::snprintf(text, sizeof text, "%13s %13s %7s %8s %7s %7s %7s %6s %5s %-6s %-5s ", restored.c_str(),
                archive.c_str(), ratio.c_str(), block.c_str(), blocks.c_str(), coded.c_str(), stored.c_str(),
                method.c_str(), level.c_str(), filter.c_str(), check.c_str());
  return text + name + "\n";
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out = "\"";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence outside the surrogates passes; anything else is U+FFFD.
    std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    bool valid = len > 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
    if (valid && len == 3) {
      valid = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
    }
    if (valid && len == 4) {
      valid = !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90);
    }
    if (valid) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  return out + "\"";
}

int run_list(const Options& options) {
  const Targets targets = find_archives(options);
  int failures = targets.walk_failures;
  struct Sum {
    std::uint64_t archives = 0, archive_bytes = 0, blocks = 0, coded = 0, stored = 0, restored = 0;
  } sum;
  std::string json_items;
  if (!options.json) {
    std::fputs(row("Restored", "Archive", "Ratio", "Block", "Blocks", "Coded", "Stored", "Method", "Level", "Filter",
                   "Check", "Name")
                   .c_str(),
               stdout);
  }
  for (const Target& target : targets.items) {
    const std::string& path = target.path;
    ArchiveListing l;
    std::string problem = target.problem;
    if (problem.empty()) {
      l = list_archive(path);
      if (!l.opened) {
        problem = std::strerror(l.err);
      } else if (!l.quarvex) {
        problem = "not a quarvex archive";
      }
    }
    if (!problem.empty()) {
      ++failures;
      report_unusable(path, problem, options, json_items);
      continue;
    }
    const std::string odd = oddities(l);
    if (!odd.empty()) ++failures;
    ++sum.archives;
    sum.archive_bytes += l.archive_size;
    // Headers may claim anything up to 2^63 bytes: the sums stop at the largest count.
    sum.restored = saturating_add(sum.restored, static_cast<std::uint64_t>(std::max<std::int64_t>(l.orig_size, 0)));
    sum.blocks = saturating_add(sum.blocks, static_cast<std::uint64_t>(std::max<std::int64_t>(l.block_count, 0)));
    sum.coded += l.coded_blocks;
    sum.stored += l.stored_blocks;
    if (options.json) {
      json_items += std::string(json_items.empty() ? "" : ",\n") + "  {\"name\": " + json_string(path) +
                    ", \"restored_size\": " + std::to_string(l.orig_size) + ", \"archive_size\": " +
                    u64(l.archive_size) + ", \"ratio\": " + ratio_json(l.archive_size, restored_of(l)) +
                    ", \"block_mib\": " + std::to_string(l.block_mib) + ", \"blocks\": " +
                    std::to_string(l.block_count) + ", \"records\": " + u64(l.records) + ", \"coded_blocks\": " +
                    u64(l.coded_blocks) + ", \"stored_blocks\": " + u64(l.stored_blocks) + ", \"method\": " +
                    std::to_string(l.method) + ", \"level\": " + std::to_string(l.level) + ", \"filter\": " +
                    json_string(filter_name(l.filter, false)) + ", \"filter_byte\": " + std::to_string(l.filter) +
                    ", \"checksum\": " + bool_json(l.has_checksum) + ", \"checksum_value\": " +
                    (l.has_checksum ? json_string(hex64(l.checksum)) : "null") + ", \"missing_blocks\": " +
                    u64(l.missing_blocks) + ", \"repeated_blocks\": " + u64(l.repeated_blocks) +
                    ", \"out_of_range_records\": " + u64(l.out_of_range) + ", \"cut_short\": " +
                    bool_json(l.cut_short) + ", \"odd\": " + bool_json(!odd.empty()) + "}";
      continue;
    }
    std::string name = path;
    if (!odd.empty()) name += "  [" + odd + "]";
    if (!l.has_checksum) name += "  (no checksum: contents can't be verified)";
    std::fputs(row(std::to_string(l.orig_size), u64(l.archive_size), ratio_text(l.archive_size, restored_of(l)),
                   std::to_string(l.block_mib) + " MiB", std::to_string(l.block_count), u64(l.coded_blocks),
                   u64(l.stored_blocks), std::to_string(l.method), std::to_string(l.level), filter_name(l.filter, true),
                   l.has_checksum ? "yes" : "no", name)
                   .c_str(),
               stdout);
  }
  const std::string archives = u64(sum.archives) + (sum.archives == 1 ? " archive" : " archives");
  if (options.json) {
    std::printf("{\"archives\": [\n%s%s],\n \"totals\": {\"archives\": %s, \"restored_size\": %s"
                ", \"archive_size\": %s, \"ratio\": %s, \"blocks\": %s, \"coded_blocks\": %s, \"stored_blocks\": "
                "%s, \"failed\": %d}}\n",
                json_items.c_str(), json_items.empty() ? "" : "\n", u64(sum.archives).c_str(), u64(sum.restored).c_str(),
                u64(sum.archive_bytes).c_str(), ratio_json(sum.archive_bytes, sum.restored).c_str(),
                u64(sum.blocks).c_str(), u64(sum.coded).c_str(), u64(sum.stored).c_str(), failures);
  } else {
    std::fputs(row(u64(sum.restored), u64(sum.archive_bytes), ratio_text(sum.archive_bytes, sum.restored),
                   "-", u64(sum.blocks), u64(sum.coded), u64(sum.stored), "-", "-", "-", "-", "total, " + archives)
                   .c_str(),
               stdout);
  }
  return failures == 0 ? 0 : 1;
}

int run_test(const Options& options) {
  const Targets targets = find_archives(options);
  int failures = targets.walk_failures;
  int threads = static_cast<int>(std::min(options.threads, 16u));
  // The restore tool's budget: an archive of huge blocks is checked a block at a time rather than
  // decoded past what the process may map.
  const std::uint64_t memory_limit = memory_budget(kProgram);
  std::string json_items;
  std::uint64_t intact = 0;
  // -v on a terminal: progress over the restored bytes of every archive.
  Progress progress(options.verbose && platform::is_terminal(platform::StandardStream::error), 0);
  if (progress.enabled()) {
    for (const Target& target : targets.items) {
      if (!target.problem.empty()) continue;
      progress.add_total(static_cast<std::uint64_t>(std::max<std::int64_t>(restored_size_of(target.path), 0)));
    }
  }
  CheckOptions check_options;
  check_options.threads = threads;
  check_options.memory_limit = memory_limit;
  check_options.progress = [&](std::uint64_t bytes) { progress.advance(bytes); };
  for (const Target& target : targets.items) {
    const std::string& path = target.path;
    if (!target.problem.empty()) {
      ++failures;
      std::fflush(stdout);
      report_unusable(path, target.problem, options, json_items);
      continue;
    }
    const ArchiveCheck c = check_archive(path, check_options);
    progress.clear();
    const bool unreadable = !c.problems.empty() && c.problems.front().kind == Problem::Kind::cannot_open;
    if (!c.intact) ++failures;
    else ++intact;
    if (options.json && unreadable) {
      report_unusable(path, c.problems.front().what, options, json_items);
      continue;
    }
    if (options.json) {
      // "error": no verdict on the archive, for want of memory.
      const char* status = c.intact ? "ok" : c.out_of_memory ? "error" : "damaged";
      json_items += std::string(json_items.empty() ? "" : ",\n") + "  {\"name\": " + json_string(path) +
                    ", \"status\": \"" + status + "\", \"reason\": " +
                    (c.intact ? "null" : json_string(c.reason)) + ", \"first_bad_block\": " +
                    (c.first_bad_block >= 0 ? std::to_string(c.first_bad_block) : "null") + ", \"checksum\": " +
                    bool_json(c.has_checksum) + ", \"checksum_matches\": " + bool_json(c.checksum_matches) +
                    ", \"verified\": " + bool_json(c.checksum_matches) + "}";
      continue;
    }
    if (c.intact) {
      // Without a checksum nothing vouches for the bytes a block decodes to.
      if (!options.quiet)
        std::printf("%s: OK%s\n", path.c_str(),
                    c.checksum_matches ? "" : " (no checksum: every block decodes, contents not verified)");
    } else if (c.out_of_memory) {
      std::printf("%s: not checked: out of memory\n", path.c_str());
    } else if (unreadable) {
      std::fflush(stdout);
      complain(quoted(path) + ": " + c.problems.front().what);
    } else {
      std::printf("%s: damaged: %s\n", path.c_str(), c.reason.c_str());
    }
  }
  if (options.json) {
    std::printf("{\"archives\": [\n%s%s],\n \"totals\": {\"archives\": %zu, \"intact\": %s, \"failed\": %d}}\n",
                json_items.c_str(), json_items.empty() ? "" : "\n", targets.items.size(), u64(intact).c_str(),
                failures);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace uq::suite
