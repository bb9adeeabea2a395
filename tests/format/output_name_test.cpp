// Output naming: ".qvx" in any case is cut; everything else gets ".out".
#include "format/output_name.h"

#include <gtest/gtest.h>

namespace uq::format {
namespace {

TEST(OutputName, CutsQvxInAnyCaseOtherwiseAppendsOut) {
  EXPECT_EQ(output_name("out/a.qvx"), "out/a");
  EXPECT_EQ(output_name("out/a.QVX"), "out/a");
  EXPECT_EQ(output_name("out/a.Qvx"), "out/a");
  EXPECT_EQ(output_name("a.qvx.qvx"), "a.qvx");
  EXPECT_EQ(output_name("abc"), "abc.out");
  EXPECT_EQ(output_name("a.txt"), "a.txt.out");
  EXPECT_EQ(output_name("qvx"), "qvx.out");
  EXPECT_EQ(output_name(".qvx"), "");
  EXPECT_EQ(output_name("out/.qvx"), "out/");
}

}  // namespace
}  // namespace uq::format
