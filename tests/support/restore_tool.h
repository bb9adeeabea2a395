// The restore tool under test: unquarvex, whose behaviour the end-to-end tests pin. (`quarvex -d`
// is a decompressor of its own, with tests of its own.)
#pragma once

#include <cstring>
#include <string>

#include "support/os.h"

namespace uq::test {

// Whether this build has quarvex (the Windows build has not, yet); the cases that need it to
// make their inputs are skipped without it, saying why.
inline bool quarvex_built() { return std::strlen(UQ_QUARVEX) != 0; }
inline constexpr const char kNoQuarvex[] = "needs quarvex to make its input, and this build has none";

// The binary to run with "-d ...".
inline std::string restore_tool() { return UQ_UNQUARVEX; }

// The name the tool gives itself in its usage text: its file's name, which on Windows ends in
// ".exe".
inline std::string restore_tool_name() { return std::string("unquarvex") + kProgramSuffix; }

}  // namespace uq::test
