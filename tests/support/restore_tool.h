// The restore tool under test. The end-to-end tests of the restore tool run twice: against
// unquarvex, and against `quarvex -d`, which must be the same tool byte for byte. CTest chooses
// with the environment (UQ_RESTORE_TOOL=quarvex); the test sources stay the same.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/os.h"

namespace uq::test {

// True when the tests run through `quarvex -d`.
inline bool restore_tool_is_quarvex() {
  const char* tool = std::getenv("UQ_RESTORE_TOOL");
  return tool != nullptr && std::strcmp(tool, "quarvex") == 0;
}

// Whether this build has quarvex (the Windows build has not, yet); the cases that need it to
// make their inputs are skipped without it, saying why.
inline bool quarvex_built() { return std::strlen(UQ_QUARVEX) != 0; }
inline constexpr const char kNoQuarvex[] = "needs quarvex to make its input, and this build has none";

// The binary to run with "-d ...".
inline std::string restore_tool() { return restore_tool_is_quarvex() ? UQ_QUARVEX : UQ_UNQUARVEX; }

// The name the tool gives itself in its usage text: its file's name, which on Windows ends in
// ".exe".
inline std::string restore_tool_name() {
  return std::string(restore_tool_is_quarvex() ? "quarvex" : "unquarvex") + kProgramSuffix;
}

}  // namespace uq::test
