#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <stdexcept>

using platform::ConvertCodePage;
using platform::ToUtf8;

TEST(CodePage, CharsetsToUtf8) {
  EXPECT_EQ(ToUtf8("\xB9\xD8\xD3\xDA", 134), "关于");
  EXPECT_EQ(ToUtf8("\xC3\xF6\xA9\xF3", 136), "關於");
  EXPECT_EQ(ToUtf8("caf\xE9", 0), "café");
  EXPECT_EQ(ToUtf8("", 134), "");
}

TEST(CodePage, BadBytesBecomeQuestionMarksAndConversionGoesOn) {
  // A lone GBK lead byte in the middle and at the end.
  EXPECT_EQ(ToUtf8("A\xB9"
                   "1\xB9",
                   134),
            "A?1?");
  // A character Big5 does not have.
  EXPECT_EQ(ConvertCodePage("x关y", "UTF-8", "CP950"), "x???y");
  // Long input crosses the internal buffer several times.
  std::string many;
  for (int i = 0; i < 500; ++i)
    many += "\xB9\xD8";
  std::string expected;
  for (int i = 0; i < 500; ++i)
    expected += "关";
  EXPECT_EQ(ToUtf8(many, 134), expected);
}

TEST(CodePage, UnknownCodePageThrows) {
  EXPECT_THROW(ConvertCodePage("a", "NO-SUCH-CODEPAGE", "UTF-8"), std::invalid_argument);
}
