// The restore tool under test: unquarvex, whose behaviour the end-to-end tests pin. (`quarvex -d`
// is a decompressor of its own, with tests of its own.)
#pragma once

#include <string>

namespace uq::test {

// The binary to run with "-d ...".
inline std::string restore_tool() { return UQ_UNQUARVEX; }

// The name the tool gives itself in its usage text.
inline std::string restore_tool_name() { return "unquarvex"; }

}  // namespace uq::test
