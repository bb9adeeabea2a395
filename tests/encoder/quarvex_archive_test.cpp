// quarvex --list and --test end to end.
#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/json.h"
#include "support/qvx_builder.h"

namespace uq::test {
namespace {
}  // namespace
}  // namespace uq::test
