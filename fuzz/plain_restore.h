// The restore without workers that the whole-file targets share, and what every such restore must
// show whatever its input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "scratch_files.h"
#include "unquarvex.h"

namespace uq::fuzz {

struct PlainRestore {
  FileRestore result;
  std::optional<std::vector<std::uint8_t>> output;  // the restored file, if one was made
};

// Restores `input` with no workers into `output_qvx` less its ".qvx", and reads the restored file
// back when `read_output` is set (a small input can restore to a large sparse file). Decoding on this thread
// stops at the first thing that goes wrong, so a run has at most one problem, and has one exactly
// when its status is not 0.
inline PlainRestore restore_plain(const std::string& input, const std::string& output_qvx,
                                  bool read_output = true) {
  const std::string output = output_qvx.substr(0, output_qvx.size() - 4);
  // A header that is refused makes no output: what an earlier input left must not pass for it.
  unlink(output.c_str());
  PlainRestore plain;
  plain.result = restore_file(input, output_qvx, 0);
  const FileRestore& r = plain.result;
  if ((r.status == 0) != r.problems.empty() || r.problems.size() > 1) std::abort();
  if (read_output) plain.output = read_file(output);
  return plain;
}

// Problems that belong to the file's header or records rather than to one block's coded bytes:
// the file decoder meets them in record order whether or not workers decode the blocks.
inline bool is_record_problem(const Problem& p) {
  return p.kind == Problem::Kind::read_error || p.kind == Problem::Kind::not_qvx ||
         p.kind == Problem::Kind::corrupt;
}

}  // namespace uq::fuzz
