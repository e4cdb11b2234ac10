#include "platform/locale.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/env_guard.h"

using namespace platform;

TEST(LocaleNames, MapToWindowsLcids) {
  EXPECT_EQ(LcidFromLocaleName("zh_CN.UTF-8"), 0x0804u);
  EXPECT_EQ(LcidFromLocaleName("zh_SG.GBK"), 0x1004u);
  EXPECT_EQ(LcidFromLocaleName("zh_TW.UTF-8"), 0x0404u);
  EXPECT_EQ(LcidFromLocaleName("zh_HK.Big5-HKSCS"), 0x0C04u);
  EXPECT_EQ(LcidFromLocaleName("zh_MO"), 0x1404u);
  EXPECT_EQ(LcidFromLocaleName("en_US.UTF-8"), 0x0409u);
  EXPECT_EQ(LcidFromLocaleName("he_IL.UTF-8"), 0x040Du);
  EXPECT_EQ(LcidFromLocaleName("ar_EG.UTF-8"), 0x0C01u);
  EXPECT_EQ(LcidFromLocaleName("de_DE.UTF-8@euro"), 0x0407u);
  // A territory the table lacks falls back to the language's default.
  EXPECT_EQ(LcidFromLocaleName("de_LU.UTF-8"), 0x0407u);
  EXPECT_EQ(LcidFromLocaleName("zh_XX"), 0x0804u);
}

TEST(LocaleNames, NoLocaleIsZero) {
  for (const char* name : {"", "C", "POSIX", "C.UTF-8", "xx_YY.UTF-8", ".UTF-8", "_"})
    EXPECT_EQ(LcidFromLocaleName(name), 0u) << name;
}

TEST(LocaleNames, EnvironmentPrecedence) {
  EnvGuard env;
  env.lang("zh_TW.UTF-8");
  EXPECT_EQ(GetThreadLocale(), 0x0404u);
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0404);
  env.set("LC_CTYPE", "ja_JP.UTF-8");
  EXPECT_EQ(GetThreadLocale(), 0x0411u);
  env.set("LC_MESSAGES", "ko_KR.UTF-8");
  EXPECT_EQ(GetThreadLocale(), 0x0412u);
  env.set("LC_ALL", ""); // empty values do not count
  EXPECT_EQ(GetThreadLocale(), 0x0412u);
  env.set("LC_ALL", "C");
  EXPECT_EQ(GetThreadLocale(), 0u);
  EXPECT_EQ(GetSystemDefaultLangID(), 0);
}

TEST(CodePages, OfLcid) {
  EXPECT_EQ(AnsiCodePageOfLcid(0x0804), 936u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x1004), 936u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0404), 950u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0C04), 950u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x1404), 950u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0411), 932u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0412), 949u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x040D), 1255u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0401), 1256u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0419), 1251u);
  EXPECT_EQ(AnsiCodePageOfLcid(0x0409), 1252u);
  EXPECT_EQ(AnsiCodePageOfLcid(0), 0u);

  char text[16];
  EXPECT_EQ(GetLocaleInfoA(0x0404, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text), 4);
  EXPECT_STREQ(text, "950");
  EXPECT_EQ(GetLocaleInfoA(0x0404, LOCALE_IDEFAULTANSICODEPAGE, text, 3), 0) << "too small";
  EXPECT_EQ(GetLocaleInfoA(0x0404, 0x1005, text, sizeof text), 0) << "other info types";
  EXPECT_EQ(GetLocaleInfoA(0, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text), 0);
}

TEST(CodePages, LeadByteRanges) {
  const auto ranges = [](std::uint32_t cp) {
    CPINFO info;
    std::memset(&info, 0xAA, sizeof info);
    EXPECT_TRUE(GetCPInfo(cp, &info)) << cp;
    return std::vector<int>(info.LeadByte, info.LeadByte + 6);
  };
  EXPECT_EQ(ranges(936), (std::vector<int>{0x81, 0xFE, 0, 0, 0, 0}));
  EXPECT_EQ(ranges(950), (std::vector<int>{0x81, 0xFE, 0, 0, 0, 0}));
  EXPECT_EQ(ranges(949), (std::vector<int>{0x81, 0xFE, 0, 0, 0, 0}));
  EXPECT_EQ(ranges(932), (std::vector<int>{0x81, 0x9F, 0xE0, 0xFC, 0, 0}));
  EXPECT_EQ(ranges(1252), (std::vector<int>{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ranges(1255), (std::vector<int>{0, 0, 0, 0, 0, 0}));
  CPINFO info;
  EXPECT_FALSE(GetCPInfo(12345, &info));
  EXPECT_FALSE(GetCPInfo(936, nullptr));
}

TEST(CharacterTypes, RightToLeftLettersOfHebrewAndArabic) {
  std::uint16_t types[4] = {};
  // Hebrew alef is 0xE0 in code page 1255, Arabic alef 0xC7 in 1256.
  ASSERT_TRUE(GetStringTypeExA(0x040D, CT_CTYPE2,
                               "\xE0"
                               "A5 ",
                               4, types));
  EXPECT_EQ(types[0], C2_RIGHTTOLEFT);
  EXPECT_EQ(types[1], C2_LEFTTORIGHT);
  EXPECT_EQ(types[2], C2_EUROPENUMBER);
  EXPECT_EQ(types[3], C2_WHITESPACE);
  ASSERT_TRUE(GetStringTypeExA(0x0401, CT_CTYPE2, "\xC7", 1, types));
  EXPECT_EQ(types[0], C2_RIGHTTOLEFT);
  // The same byte is a Latin letter under a western locale.
  ASSERT_TRUE(GetStringTypeExA(0x0409, CT_CTYPE2, "\xE0", 1, types));
  EXPECT_EQ(types[0], C2_LEFTTORIGHT);
}

TEST(CharacterTypes, LengthMinusOneTypesTheTerminatorToo) {
  std::uint16_t types[3] = {0xFFFF, 0xFFFF, 0xFFFF};
  ASSERT_TRUE(GetStringTypeExA(0x0409, CT_CTYPE2, "a!", -1, types));
  EXPECT_EQ(types[0], C2_LEFTTORIGHT);
  EXPECT_EQ(types[1], C2_OTHERNEUTRAL);
  EXPECT_EQ(types[2], C2_NOTAPPLICABLE);
  EXPECT_FALSE(GetStringTypeExA(0, CT_CTYPE2, "a", 1, types)) << "no locale";
  EXPECT_FALSE(GetStringTypeExA(0x0409, 1, "a", 1, types)) << "CT_CTYPE1 is not provided";
}
