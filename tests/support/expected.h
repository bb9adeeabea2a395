// Expected message texts, built the way the program builds them, with the C library's own error
// texts (never hard-coded).
#pragma once

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace uq::test {

// `path` as the programs join it: each "/" the platform's separator (on Windows a backslash).
inline std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kDirSeparator);
  return path;
}

// One numbered report line as it appears on standard output.
inline std::string report_line(int code) {
  switch (code) {
    case 100: return "message:malloc error;'malloc error'Error: 100 malloc error\n";
    case 104:
      return "message:file header. no quarvex format;'file header. no quarvex format'"
             "Error: 104 file header. no quarvex format\n";
    case 105: return "message:file is corrupted;'file is corrupted'Error: 105 file is corrupted\n";
    default: return "unexpected code\n";
  }
}

// The report line of 102 (write) or 103 (read) for the errno value `err`.
inline std::string errno_report_line(int code, int err) {
  std::string what = code == 102 ? "write" : "read";
  std::string text = what + " error. errno=" + std::to_string(err) + " '" + std::strerror(err) + "'";
  return "message:" + what + " error. errno=%d '%s';'" + text + "'Error: " + std::to_string(code) +
         " " + text + "\n";
}

// The lines of `text`, sorted: for output whose lines come from several threads in any order.
inline std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

inline std::string fatal_decomp_line(const std::string& out_path, int result, int expected) {
  return "Fatal Error in decomp '" + out_path + "'." + std::to_string(result) + "," +
         std::to_string(expected) + "\n";
}

}  // namespace uq::test
