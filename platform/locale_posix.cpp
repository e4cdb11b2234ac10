#include "platform/locale.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

struct LocaleName {
  const char* name; // "ll_TT" or "ll" (the language's default)
  LCID lcid;
};

// Language and territory first; a bare language gives its Windows default.
constexpr LocaleName LOCALE_NAMES[] = {
    {"zh_CN", 0x0804}, {"zh_SG", 0x1004}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_MO", 0x1404},
    {"zh", 0x0804},    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009},
    {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009}, {"en", 0x0409},
    {"ja_JP", 0x0411}, {"ja", 0x0411},    {"ko_KR", 0x0412}, {"ko", 0x0412},    {"ar_SA", 0x0401},
    {"ar_IQ", 0x0801}, {"ar_EG", 0x0C01}, {"ar_LY", 0x1001}, {"ar_DZ", 0x1401}, {"ar_MA", 0x1801},
    {"ar_TN", 0x1C01}, {"ar_OM", 0x2001}, {"ar_YE", 0x2401}, {"ar_SY", 0x2801}, {"ar_JO", 0x2C01},
    {"ar_LB", 0x3001}, {"ar_KW", 0x3401}, {"ar_AE", 0x3801}, {"ar_BH", 0x3C01}, {"ar_QA", 0x4001},
    {"ar", 0x0401},    {"he_IL", 0x040D}, {"he", 0x040D},    {"fa_IR", 0x0429}, {"fa", 0x0429},
    {"ur_PK", 0x0420}, {"ur", 0x0420},    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07},
    {"de", 0x0407},    {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"fr", 0x040C},    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es", 0x0C0A},    {"it_IT", 0x0410},
    {"it", 0x0410},    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"nl", 0x0413},    {"pt_BR", 0x0416},
    {"pt_PT", 0x0816}, {"pt", 0x0816},    {"sv_SE", 0x041D}, {"sv", 0x041D},    {"da_DK", 0x0406},
    {"da", 0x0406},    {"fi_FI", 0x040B}, {"fi", 0x040B},    {"nb_NO", 0x0414}, {"nn_NO", 0x0814},
    {"no", 0x0414},    {"nb", 0x0414},    {"ru_RU", 0x0419}, {"ru", 0x0419},    {"uk_UA", 0x0422},
    {"uk", 0x0422},    {"bg_BG", 0x0402}, {"bg", 0x0402},    {"pl_PL", 0x0415}, {"pl", 0x0415},
    {"cs_CZ", 0x0405}, {"cs", 0x0405},    {"sk_SK", 0x041B}, {"sk", 0x041B},    {"hu_HU", 0x040E},
    {"hu", 0x040E},    {"ro_RO", 0x0418}, {"ro", 0x0418},    {"hr_HR", 0x041A}, {"hr", 0x041A},
    {"sl_SI", 0x0424}, {"sl", 0x0424},    {"el_GR", 0x0408}, {"el", 0x0408},    {"tr_TR", 0x041F},
    {"tr", 0x041F},    {"et_EE", 0x0425}, {"et", 0x0425},    {"lv_LV", 0x0426}, {"lv", 0x0426},
    {"lt_LT", 0x0427}, {"lt", 0x0427},    {"th_TH", 0x041E}, {"th", 0x041E},    {"vi_VN", 0x042A},
    {"vi", 0x042A},
};

constexpr std::uint16_t primaryLang(LCID lcid) {
  return lcid & 0x3FF;
}
constexpr std::uint16_t subLang(LCID lcid) {
  return (lcid >> 10) & 0x3F;
}

// The environment variable that decides the messages' language, as the C
// library would pick it.
const char* processLocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value)
      return value;
  }
  return nullptr;
}

const char* iconvName(std::uint32_t codePage) {
  switch (codePage) {
  case 874: return "CP874";
  case 932: return "CP932";
  case 936: return "CP936";
  case 949: return "CP949";
  case 950: return "CP950";
  case 1250: return "CP1250";
  case 1251: return "CP1251";
  case 1252: return "CP1252";
  case 1253: return "CP1253";
  case 1254: return "CP1254";
  case 1255: return "CP1255";
  case 1256: return "CP1256";
  case 1257: return "CP1257";
  case 1258: return "CP1258";
  default: return nullptr;
  }
}

// Bidirectional class of one Unicode character, coarse but right for the
// letters of the Windows code pages.
std::uint16_t ctype2Of(char32_t c) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if ((c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) ||
      (c >= 0xFE70 && c <= 0xFEFF) || c == 0x200F)
    return C2_RIGHTTOLEFT;
  if (c >= U'0' && c <= U'9')
    return C2_EUROPENUMBER;
  if (utf8 && iswspace_l(static_cast<wint_t>(c), utf8))
    return C2_WHITESPACE;
  if (utf8 && iswalpha_l(static_cast<wint_t>(c), utf8))
    return C2_LEFTTORIGHT;
  return C2_OTHERNEUTRAL;
}

} // namespace

LCID LcidFromLocaleName(std::string_view name) {
  // Strip ".codeset" and "@modifier": "zh_TW.UTF-8@radical" -> "zh_TW".
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX")
    return 0;
  for (const auto& entry : LOCALE_NAMES)
    if (name == entry.name)
      return entry.lcid;
  const auto underscore = name.find('_');
  if (underscore != std::string_view::npos)
    return LcidFromLocaleName(name.substr(0, underscore));
  return 0;
}

LCID GetThreadLocale() {
  const char* name = processLocaleName();
  return name ? LcidFromLocaleName(name) : 0;
}

LANGID GetSystemDefaultLangID() {
  return static_cast<LANGID>(GetThreadLocale() & 0xFFFF);
}

std::uint32_t AnsiCodePageOfLcid(LCID lcid) {
  switch (primaryLang(lcid)) {
  case 0x00: return 0;
  case 0x04: { // Chinese: PRC and Singapore simplified, the rest traditional
    const auto sub = subLang(lcid);
    return sub == 2 || sub == 4 ? 936 : 950;
  }
  case 0x11: return 932;
  case 0x12: return 949;
  case 0x01:
  case 0x20:
  case 0x29: return 1256;
  case 0x0D: return 1255;
  case 0x02:
  case 0x19:
  case 0x22: return 1251;
  case 0x05:
  case 0x0E:
  case 0x15:
  case 0x18:
  case 0x1A:
  case 0x1B:
  case 0x24: return 1250;
  case 0x08: return 1253;
  case 0x1F: return 1254;
  case 0x25:
  case 0x26:
  case 0x27: return 1257;
  case 0x1E: return 874;
  case 0x2A: return 1258;
  default: return 1252;
  }
}

int GetLocaleInfoA(LCID lcid, std::uint32_t type, char* data, int size) {
  if (type != LOCALE_IDEFAULTANSICODEPAGE || !data || size <= 0)
    return 0;
  const auto codePage = AnsiCodePageOfLcid(lcid);
  if (codePage == 0)
    return 0;
  const int n = std::snprintf(data, static_cast<size_t>(size), "%u", codePage);
  return n >= 0 && n < size ? n + 1 : 0;
}

bool GetCPInfo(std::uint32_t codePage, CPINFO* info) {
  if (!info)
    return false;
  if (codePage == 0)
    codePage = AnsiCodePageOfLcid(GetThreadLocale());
  if (codePage == 0)
    codePage = 1252;
  if (!iconvName(codePage))
    return false;
  *info = CPINFO{};
  info->DefaultChar[0] = '?';
  switch (codePage) {
  case 936:
  case 949:
  case 950:
    info->MaxCharSize = 2;
    info->LeadByte[0] = 0x81;
    info->LeadByte[1] = 0xFE;
    break;
  case 932:
    info->MaxCharSize = 2;
    info->LeadByte[0] = 0x81;
    info->LeadByte[1] = 0x9F;
    info->LeadByte[2] = 0xE0;
    info->LeadByte[3] = 0xFC;
    break;
  default: info->MaxCharSize = 1;
  }
  return true;
}

bool GetStringTypeExA(LCID lcid, std::uint32_t infoType, const char* src, int len,
                      std::uint16_t* types) {
  if (infoType != CT_CTYPE2 || !src || !types)
    return false;
  const char* name = iconvName(AnsiCodePageOfLcid(lcid));
  if (!name)
    return false;
  const size_t n = len < 0 ? std::strlen(src) + 1 : static_cast<size_t>(len);
  iconv_t cd = iconv_open("UTF-32LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1))
    return false;
  for (size_t i = 0; i < n; ++i) {
    const auto byte = static_cast<unsigned char>(src[i]);
    if (byte < 0x80) {
      types[i] = byte == 0 ? C2_NOTAPPLICABLE : ctype2Of(byte);
      continue;
    }
    // One byte at a time: enough for single-byte code pages; a lead byte of a
    // double-byte code page converts to nothing and counts as not applicable.
    char in[1] = {static_cast<char>(byte)};
    char out[16];
    char* inp = in;
    char* outp = out;
    size_t inLeft = 1, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const bool ok = iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1) &&
                    iconv(cd, nullptr, nullptr, &outp, &outLeft) != static_cast<size_t>(-1);
    if (ok && outp - out >= 4) {
      const auto* u = reinterpret_cast<const unsigned char*>(out);
      types[i] = ctype2Of(static_cast<char32_t>(u[0] | u[1] << 8 | u[2] << 16 | u[3] << 24));
    } else {
      types[i] = C2_NOTAPPLICABLE;
    }
  }
  iconv_close(cd);
  return true;
}

} // namespace platform
