// Control-group limits from the files the kernel exposes. Where there are none (on Windows, say)
// the files don't exist and there is no limit.
#include "platform/memory.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace uq::platform {

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A limit file's value: a number of bytes, or none for "max" or anything unreadable. Version 1
// spells "no limit" as a number near 2^63, which min() then passes over.
std::optional<std::uint64_t> read_limit(const std::string& path) {
  std::string text = read_text(path);
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

void take_min(std::optional<std::uint64_t>& best, std::optional<std::uint64_t> value) {
  if (value && (!best || *value < *best)) best = value;
}

}  // namespace

std::optional<std::uint64_t> cgroup_memory_limit(const std::string& root, const std::string& self_cgroup) {
  std::string lines = self_cgroup.empty() ? read_text("/proc/self/cgroup") : self_cgroup;
  std::optional<std::uint64_t> limit;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    // "hierarchy-id:controllers:path"; v2 is "0::path", v1 names "memory" among the controllers.
    std::size_t first = line.find(':');
    std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
    bool v1_memory = false;
    std::istringstream names(controllers);
    for (std::string name; std::getline(names, name, ',');) v1_memory = v1_memory || name == "memory";
    if (!v2 && !v1_memory) continue;
    std::string base = v2 ? root : root + "/memory";
    const char* file = v2 ? "/memory.max" : "/memory.limit_in_bytes";
    // Every ancestor's limit binds too, up to the root of what this process can see.
    for (;;) {
      take_min(limit, read_limit(base + (path == "/" ? "" : path) + file));
      if (path.empty() || path == "/") break;
      std::size_t slash = path.rfind('/');
      path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
  }
  return limit;
}

}  // namespace uq::platform
