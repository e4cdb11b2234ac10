#include <gtest/gtest.h>

#include "base/Hx_base.h"
#include "tests/support/env_guard.h"

using namespace TLumaroFuncs;

TEST(StringLocale, ChineseIsEasternWithLeadBytes) {
  const TStringLocale zh(0x0804);
  EXPECT_EQ(zh.PrimaryLangId, 0x04);
  EXPECT_EQ(zh.SubLangId, 0x02);
  EXPECT_EQ(zh.CodePage, 936u);
  EXPECT_FALSE(zh.IsLcidWestern());
  EXPECT_TRUE(zh.Eastern);
  EXPECT_FALSE(zh.RightToLeft);
  EXPECT_TRUE(zh.IsLeadByte(0x81));
  EXPECT_TRUE(zh.IsLeadByte(0xFE));
  EXPECT_FALSE(zh.IsLeadByte(0x80));
  EXPECT_FALSE(zh.IsLeadByte(0xFF));

  const TStringLocale ja(0x0411);
  EXPECT_TRUE(ja.Eastern);
  EXPECT_TRUE(ja.IsLeadByte(0x9F));
  EXPECT_FALSE(ja.IsLeadByte(0xA0)) << "half-width katakana are single bytes";
  EXPECT_TRUE(ja.IsLeadByte(0xE0));
  EXPECT_FALSE(ja.IsLeadByte(0xFD));
}

TEST(StringLocale, HebrewAndArabicAreRightToLeft) {
  for (std::uint32_t lcid : {0x040Du, 0x0401u, 0x0C01u, 0x0429u}) {
    const TStringLocale loc(lcid);
    EXPECT_FALSE(loc.Eastern) << std::hex << lcid;
    EXPECT_TRUE(loc.RightToLeft) << std::hex << lcid;
    EXPECT_FALSE(loc.IsLeadByte(0xE0));
  }
}

TEST(StringLocale, WesternAndOtherSingleByteLocales) {
  for (std::uint32_t lcid : {0x0409u, 0x0407u, 0x0419u, 0x0408u}) {
    const TStringLocale loc(lcid);
    EXPECT_FALSE(loc.Eastern) << std::hex << lcid;
    EXPECT_FALSE(loc.RightToLeft) << std::hex << lcid;
  }
  EXPECT_TRUE(TStringLocale(0x0407).IsLcidWestern());
  EXPECT_FALSE(TStringLocale(0x0419).IsLcidWestern());
}

TEST(StringLocale, ThreadLocaleOrUsEnglish) {
  EnvGuard env;
  env.lang("C");
  EXPECT_EQ(TStringLocale().Lcid, 1033u);
  env.lang("zh_TW.UTF-8");
  const TStringLocale tw;
  EXPECT_EQ(tw.Lcid, 0x0404u);
  EXPECT_EQ(tw.CodePage, 950u);
}

TEST(StringLocale, CopyKeepsComparisonOptionsAndInitClearsThem) {
  TStringLocale a(0x0804);
  a.SortType = 2;
  a.IgnoreCase = true;
  TStringLocale b(a);
  EXPECT_EQ(b.Lcid, 0x0804u);
  EXPECT_EQ(b.SortType, 2);
  EXPECT_TRUE(b.IgnoreCase);
  b.InitLCID(0x0404);
  EXPECT_EQ(b.SortType, 0);
  EXPECT_FALSE(b.IgnoreCase);
  EXPECT_EQ(b.CodePage, 950u);
}

TEST(StringLocale, ByteTypeWalksLeadAndTrailBytes) {
  const TStringLocale zh(0x0804);
  const char* s = "A\xB9\xD8"
                  "B\xB9";
  EXPECT_EQ(zh.ByteType(s, 0), 0);
  EXPECT_EQ(zh.ByteType(s, 1), 1);
  EXPECT_EQ(zh.ByteType(s, 2), 2);
  EXPECT_EQ(zh.ByteType(s, 3), 0);
  EXPECT_EQ(zh.ByteType(s, 4), 1) << "lone lead byte at the end";
  EXPECT_EQ(zh.ByteType(s, 5), 0) << "the terminator";
  EXPECT_EQ(zh.ByteType(s, 9), 0) << "past the terminator stops there";
  EXPECT_EQ(TStringLocale(0x0409).ByteType(s, 2), 0);
}

TEST(LumaroString, AllocBufSizes) {
  TLumaroString s("hello");
  EXPECT_EQ(s.BufSize(), 6);
  s.AllocBuf(6);
  EXPECT_STREQ(s.c_str(), "hello") << "same size keeps the text";
  for (int size : {0, 1, -7}) {
    s.AllocBuf(size);
    EXPECT_EQ(s.BufSize(), 1) << size;
  }
  TLumaroString empty;
  EXPECT_EQ(empty.BufSize(), 1);
  EXPECT_STREQ(empty.c_str(), "");
  EXPECT_EQ(TLumaroString(static_cast<const char*>(nullptr)).BufSize(), 1);
  EXPECT_STREQ(TLumaroString(AnsiString()).c_str(), "");
}

TEST(LumaroString, AssignmentCopyAndConcatenation) {
  TLumaroString a("abc");
  a = a;
  EXPECT_STREQ(a.c_str(), "abc") << "self assignment";
  a = a.c_str() + 1;
  EXPECT_STREQ(a.c_str(), "bc") << "assigning a tail of its own buffer";

  TLumaroString b(a);
  b += TLumaroString("DE");
  EXPECT_STREQ(b.c_str(), "bcDE");
  EXPECT_STREQ(a.c_str(), "bc");
  b += b;
  EXPECT_STREQ(b.c_str(), "bcDEbcDE");

  const TLumaroString c = a + TLumaroString("") + TLumaroString("xyz");
  EXPECT_STREQ(c.c_str(), "bcxyz");
  EXPECT_EQ(c.BufSize(), 6);
  EXPECT_EQ(AnsiString(c), "bcxyz");
  EXPECT_EQ(AnsiString(TLumaroString(AnsiString("ansi"))), "ansi");
}

TEST(LumaroString, LocaleIsSharedOrOwned) {
  TLumaroString s("x");
  EXPECT_EQ(s.Locale(), &_SysLocale);
  const TStringLocale tw(0x0404);
  s.SetLocale(&tw);
  ASSERT_NE(s.Locale(), &_SysLocale);
  ASSERT_NE(s.Locale(), &tw) << "a private copy";
  EXPECT_EQ(s.Locale()->Lcid, 0x0404u);

  // Copies and concatenations carry the locale along.
  TLumaroString copy(s);
  EXPECT_EQ(copy.Locale()->Lcid, 0x0404u);
  EXPECT_NE(copy.Locale(), s.Locale());
  EXPECT_EQ((s + copy).Locale()->Lcid, 0x0404u);

  // Re-pointing an owned locale re-initialises it in place.
  const TStringLocale* owned = s.Locale();
  const TStringLocale he(0x040D);
  s.SetLocale(&he);
  EXPECT_EQ(s.Locale(), owned);
  EXPECT_TRUE(s.Locale()->RightToLeft);
  s = s; // self assignment with an owned locale
  EXPECT_EQ(s.Locale()->Lcid, 0x040Du);
  EXPECT_STREQ(s.c_str(), "x");

  s.SetLocale(nullptr);
  EXPECT_EQ(s.Locale(), &_SysLocale);
}
