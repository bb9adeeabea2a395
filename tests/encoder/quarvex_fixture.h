// What the tests of the quarvex command share: a fresh directory, the two binaries run in it, and
// a snapshot of a tree (every path with its kind and bytes) to compare trees and to see that a run
// left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace uq::test {

// Every path below a root, relative to it: a file's bytes, or none for a directory.
using Tree = std::map<std::string, std::optional<Bytes>>;

inline Tree snapshot(const std::string& root) {
  namespace fs = std::filesystem;
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(entry.path(), root).generic_string();  // "/" on every system
    if (entry.is_symlink()) {
      tree[rel] = Bytes{'-', '>'};  // links are told apart, never followed here
    } else if (entry.is_directory()) {
      tree[rel] = std::nullopt;
    } else if (entry.is_regular_file()) {
      tree[rel] = read_file(entry.path().string());
    } else {
      tree[rel] = Bytes{'?'};
    }
  }
  return tree;
}

class QuarvexTest : public ::testing::Test {
 protected:
  RunResult quarvex(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), UQ_QUARVEX);
    if (options.cwd.empty()) options.cwd = dir_.path();
    return run_program(args, options);
  }
  RunResult unquarvex(std::vector<std::string> args) {
    args.insert(args.begin(), UQ_UNQUARVEX);
    return run_program(args, {.cwd = dir_.path()});
  }
  void put(const std::string& name, const Bytes& bytes) {
    make_dirs(std::filesystem::path(dir_ / name).parent_path().string());
    write_file(dir_ / name, bytes);
  }
  Bytes get(const std::string& name) { return read_file(dir_ / name); }
  bool exists(const std::string& name) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(dir_ / name, ec));
  }

  TempDir dir_;
};

}  // namespace uq::test
