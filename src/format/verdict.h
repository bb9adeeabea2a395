// What a check or a restore says about an archive: each problem in a few words, the one a verdict
// names, and the facts of the header it needs (restored size, block size, checksum).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/file_format.h"
#include "unquarvex.h"

namespace uq::format {

// A problem in a few words, naming its block where it has one: "block 3: coded stream damaged".
std::string describe(const Problem& p);

// The same without the block: "coded stream damaged".
std::string describe_without_block(const Problem& p);

// The problem a verdict names: the first that concerns the whole file, else the first of the
// lowest block. Notes of an incomplete output, which always follow another problem, are passed
// over. Null when there is none.
const Problem* first_problem(const std::vector<Problem>& problems);

// What a verdict needs of an archive's header.
struct HeaderFacts {
  bool read = false;  // 32 bytes with the "QV0" identifier
  FileHeader header;
  bool has_checksum = false;
  std::uint64_t checksum = 0;
};

HeaderFacts header_facts(const std::uint8_t (&bytes)[kHeaderSize]);

// The facts of the header of the file `path`; nothing read when it can't be.
HeaderFacts header_facts_of(const std::string& path);

}  // namespace uq::format
