#include <gtest/gtest.h>

#include <string>

#include "base/Hx_base.h"
#include "platform/codepage.h"
#include "tests/support/env_guard.h"
#include "tests/support/lang_guard.h"

using namespace TLumaroFuncs;
using LT = TAppLang::TLangType;

namespace {

std::string gbk(const std::string& utf8) {
  return platform::ConvertCodePage(utf8, "UTF-8", "GBK");
}
std::string big5(const std::string& utf8) {
  return platform::ConvertCodePage(utf8, "UTF-8", "CP950");
}

// FromGBK of a text under a language set on a fresh TAppLang.
std::string convert(const std::string& text, LT type = TAppLang::ltBig5, bool cvt = true) {
  TAppLang lang;
  lang.fSetLangType(type);
  lang.fSetCvtBig5(cvt);
  return AnsiString(lang.FromGBK(TLumaroString(text.c_str())));
}

} // namespace

TEST(AppLang, DetectsTheLanguageFromTheSystemLanguage) {
  EnvGuard env;
  struct Row {
    const char* locale;
    int langId;
    LT type;
    int charset;
    const char* font;
    int size;
  };
  const Row rows[] = {
      {"zh_CN.UTF-8", 0x0804, TAppLang::ltGbk, 134, TAppLang::Str_SongTi, 9},
      {"zh_SG.UTF-8", 0x1004, TAppLang::ltGbk, 134, TAppLang::Str_SongTi, 9},
      {"zh_TW.UTF-8", 0x0404, TAppLang::ltBig5, 136, TAppLang::Str_XiMyTi, 9},
      {"zh_HK.UTF-8", 0x0C04, TAppLang::ltBig5, 136, TAppLang::Str_XiMyTi, 9},
      {"zh_MO.UTF-8", 0x1404, TAppLang::ltBig5, 136, TAppLang::Str_XiMyTi, 9},
      {"en_US.UTF-8", 0x0409, TAppLang::ltEnglish, 0, "MS Sans Serif", 8},
      {"C", 0, TAppLang::ltEnglish, 0, "MS Sans Serif", 8},
  };
  for (const auto& row : rows) {
    env.lang(row.locale);
    const TAppLang lang;
    EXPECT_EQ(lang.SysLangId(), row.langId) << row.locale;
    EXPECT_EQ(lang.LangType(), row.type) << row.locale;
    EXPECT_EQ(lang.Charset(), row.charset) << row.locale;
    EXPECT_STREQ(lang.FontName().c_str(), row.font) << row.locale;
    EXPECT_EQ(lang.FontSize(), row.size) << row.locale;
    EXPECT_EQ(lang.DetectType(), TAppLang::dtAuto);
    EXPECT_TRUE(lang.CvtBig5());
  }
}

TEST(AppLang, FaceNamesAreStoredInTheirOwnCodePages) {
  EXPECT_EQ(platform::ToUtf8(TAppLang::Str_SongTi, 134), "宋体");
  EXPECT_EQ(platform::ToUtf8(TAppLang::Str_XiMyTi, 136), "細明體");
}

TEST(AppLang, PropertyWriters) {
  EnvGuard env;
  env.lang("en_US.UTF-8");
  TAppLang lang;

  // Charset switches the language only; the font stays.
  lang.fSetCharset(136);
  EXPECT_EQ(lang.LangType(), TAppLang::ltBig5);
  EXPECT_EQ(lang.DetectType(), TAppLang::dtManual);
  EXPECT_STREQ(lang.FontName().c_str(), "MS Sans Serif");
  EXPECT_EQ(lang.FontSize(), 8);
  lang.fSetCharset(77);
  EXPECT_EQ(lang.LangType(), TAppLang::ltEnglish);

  // LangType carries charset, font and size along.
  lang.fSetLangType(TAppLang::ltGbk);
  EXPECT_EQ(lang.Charset(), 134);
  EXPECT_STREQ(lang.FontName().c_str(), TAppLang::Str_SongTi);
  EXPECT_EQ(lang.FontSize(), 9);
  EXPECT_EQ(lang.MinFontSize(), 9);
  EXPECT_STREQ(lang.PdxLangDrv().c_str(), "china");

  // Manual detection keeps the language and re-derives the rest.
  lang.fSetFontName("Custom");
  lang.fSetFontSize(20);
  lang.fSetCharset(136);
  EXPECT_STREQ(lang.FontName().c_str(), "Custom");
  lang.fSetDetectType(TAppLang::dtManual);
  EXPECT_EQ(lang.LangType(), TAppLang::ltBig5);
  EXPECT_EQ(lang.Charset(), 136);
  EXPECT_STREQ(lang.FontName().c_str(), TAppLang::Str_XiMyTi);
  EXPECT_EQ(lang.FontSize(), 9);
  EXPECT_STREQ(lang.PdxLangDrv().c_str(), "taiwan");

  // Automatic detection goes back to the system language.
  lang.fSetDetectType(TAppLang::dtAuto);
  EXPECT_EQ(lang.LangType(), TAppLang::ltEnglish);
  EXPECT_EQ(lang.Charset(), 0);
  EXPECT_EQ(lang.FontSize(), 8);
  EXPECT_STREQ(lang.PdxLangDrv().c_str(), "ascii");

  // Out-of-range values behave as English and automatic.
  lang.fSetLangType(static_cast<LT>(0));
  EXPECT_EQ(lang.Charset(), 0);
  EXPECT_EQ(lang.MinFontSize(), 8);
  EXPECT_EQ(lang.TextColumn(), 2);
  lang.fSetLangType(static_cast<LT>(9));
  EXPECT_STREQ(lang.PdxLangDrv().c_str(), "ascii");
  lang.fSetDetectType(static_cast<TAppLang::TDetectType>(5));
  EXPECT_EQ(lang.LangType(), TAppLang::ltEnglish);
}

TEST(FromGBK, SimplifiedAndTraditionalCharactersBecomeBig5) {
  // 关于: 关 is missing from Big5 and takes its traditional form, 于 exists.
  EXPECT_EQ(convert("\xB9\xD8\xD3\xDA"), "\xC3\xF6\xA4\x5F");
  EXPECT_EQ(convert(gbk("关于")), big5("關于"));
  EXPECT_EQ(convert(gbk("關於")), big5("關於"));
  EXPECT_EQ(convert(gbk("设数无户单")), big5("設數無戶單"));
  EXPECT_EQ(convert(gbk("不能打開埠")), big5("不能打開埠"));
  // ASCII between double-byte characters is kept in place.
  EXPECT_EQ(convert(gbk("COM2 端口 OK")), big5("COM2 端口 OK"));
}

TEST(FromGBK, CharactersWithoutBig5CounterpartBecomeIdeographicSpace) {
  EXPECT_EQ(convert("\x81\x40"), "\xA1\x40"); // 丂, GBK only
  EXPECT_EQ(convert("\xA2\xAB"), "\xA1\x40"); // an unassigned GBK code
}

TEST(FromGBK, BytesThatStartNoPairAreCopiedAlone) {
  EXPECT_EQ(convert("ab\xB9"), "ab\xB9") << "lead byte at the end";
  EXPECT_EQ(convert("\xB9"
                    "1"),
            "\xB9"
            "1")
      << "a byte below 0x40 never trails";
  EXPECT_EQ(convert("\xB9"
                    "A"),
            "\xD6\xCF")
      << "but 0x40 and above do";
  EXPECT_EQ(convert("\xB9\x3F\xB9\xD8"), "\xB9\x3F\xC3\xF6");
  EXPECT_EQ(convert("\xB9\xFF\xB9\xD8"), "\xB9\xFF\xC3\xF6") << "0xFF never trails";
  EXPECT_EQ(convert("\x80\xB9\xD8\xFF"), "\x80\xC3\xF6\xFF");
  EXPECT_EQ(convert(""), "");
}

TEST(FromGBK, OutputIsAsLongAsInput) {
  std::string all;
  for (int b = 1; b < 256; ++b)
    for (int t : {0x20, 0x40, 0x7F, 0x80, 0xA1, 0xFE, 0xFF})
      all += static_cast<char>(b), all += static_cast<char>(t);
  EXPECT_EQ(convert(all).size(), all.size());
}

TEST(FromGBK, OtherLanguagesPassThrough) {
  const std::string text = "\xB9\xD8\xD3\xDA x \xB9";
  EXPECT_EQ(convert(text, TAppLang::ltGbk), text);
  EXPECT_EQ(convert(text, TAppLang::ltEnglish), text);
  EXPECT_EQ(convert(text, TAppLang::ltNone), text);
  EXPECT_EQ(convert(text, TAppLang::ltBig5, false), text);

  // The pass-through keeps the string's own locale.
  TAppLang lang;
  lang.fSetLangType(TAppLang::ltGbk);
  TLumaroString s("x");
  const TStringLocale tw(0x0404);
  s.SetLocale(&tw);
  EXPECT_EQ(lang.FromGBK(s).Locale()->Lcid, 0x0404u);
}

// The table against glibc's own GBK and CP950 mappings: wherever a GBK code's
// character exists in Big5, the table must hold exactly that code.
TEST(GbToBig5Table, AgreesWithIconvForCharactersBig5Has) {
  int checked = 0;
  for (int k = 0; k < TAppLang::GB2BIG5_ENTRIES; k += 7) {
    const unsigned char lead = static_cast<unsigned char>(0x81 + k / 191);
    const unsigned char trail = static_cast<unsigned char>(0x40 + k % 191);
    const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
    const std::string utf8 = platform::ConvertCodePage(code, "GBK", "UTF-8");
    if (utf8.find('?') != std::string::npos)
      continue;
    // Only CJK ideographs: the two libraries disagree on a few symbols.
    const char32_t first = static_cast<unsigned char>(utf8[0]);
    if (utf8.size() != 3 || first < 0xE4 || first > 0xE9)
      continue;
    const std::string expected = platform::ConvertCodePage(utf8, "UTF-8", "CP950");
    if (expected.size() != 2)
      continue;
    ASSERT_EQ(TAppLang::_fGBK_No(lead, trail), k);
    const unsigned char* entry = TAppLang::GB2BIG5_TAB[k];
    EXPECT_EQ(std::string({static_cast<char>(entry[0] ^ 0x80), static_cast<char>(entry[1])}),
              expected)
        << utf8;
    ++checked;
  }
  EXPECT_GT(checked, 1500);
}

TEST(GbToBig5Table, IndexBounds) {
  EXPECT_EQ(TAppLang::_fGBK_No(0x81, 0x40), 0);
  EXPECT_EQ(TAppLang::_fGBK_No(0xFE, 0xFE), 24065);
  EXPECT_EQ(TAppLang::_fGBK_No(0x81, 0x3F), 0) << "below the table";
  EXPECT_EQ(TAppLang::_fGBK_No(0xFF, 0x40), 0) << "past the table";
}

TEST(LangText, PicksTheColumnAndConverts) {
  const char* sc = "\xB9\xD8\xD3\xDA"; // 关于
  const char* tc = "\xEA\x50\xEC\xB6"; // 關於, stored as GBK
  {
    LangGuard lang(TAppLang::ltGbk);
    EXPECT_EQ(LangText(sc, tc, "About"), sc);
  }
  {
    LangGuard lang(TAppLang::ltBig5);
    EXPECT_EQ(LangText(sc, tc, "About"), big5("關於"));
  }
  {
    LangGuard lang(TAppLang::ltBig5, false);
    EXPECT_EQ(LangText(sc, tc, "About"), tc);
  }
  {
    LangGuard lang(TAppLang::ltEnglish);
    EXPECT_EQ(LangText(sc, tc, "About"), "About");
  }
}
