#include "kivora/platform/exception.h"

#include <gtest/gtest.h>

namespace kivora {
namespace {

TEST(ExceptionTest, AssertionMessageNamesSourceAndLine) {
  EAssertionFailed e("player.cpp", 42);
  EXPECT_STREQ(e.what(), "Assertion failure (player.cpp, line 42)");
  EXPECT_EQ(e.Message(), "Assertion failure (player.cpp, line 42)");
  try {
    Assert(false, "x.cpp", 7);
    FAIL() << "Assert(false) did not throw";
  } catch (const Exception& caught) {
    EXPECT_STREQ(caught.what(), "Assertion failure (x.cpp, line 7)");
  }
  EXPECT_NO_THROW(Assert(true, "x.cpp", 8));
}

TEST(ExceptionTest, FormatHasNoLengthLimit) {
  EXPECT_EQ(Format("Option %s not found!", "crf"), "Option crf not found!");
  EXPECT_EQ(Format("%d-%05.2f", -3, 1.5), "-3-01.50");
  EXPECT_EQ(Format("%s", ""), "");
  const std::string big(100000, 'x');
  const std::string out = Format("<%s>", big.c_str());
  ASSERT_EQ(out.size(), big.size() + 2);
  EXPECT_EQ(out.front(), '<');
  EXPECT_EQ(out.back(), '>');
  EXPECT_EQ(out.substr(1, big.size()), big);
}

}  // namespace
}  // namespace kivora
