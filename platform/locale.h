// Locale queries with the meaning the system relies on from Windows: the
// process locale as an LCID, a locale's ANSI code page, the code page's
// lead-byte ranges, character types and the system language id.
//
// The locale comes from the environment as the C library reads it (LC_ALL,
// then LC_MESSAGES, LC_CTYPE, then LANG), mapped to Windows identifiers by a
// table. "C", "POSIX" or no locale at all is LCID 0.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

using LCID = std::uint32_t;
using LANGID = std::uint16_t;

constexpr std::uint32_t LOCALE_IDEFAULTANSICODEPAGE = 0x1004;
constexpr std::uint32_t CT_CTYPE2 = 0x0002;

// Character types of CT_CTYPE2 (bidirectional layout).
constexpr std::uint16_t C2_NOTAPPLICABLE = 0x0000;
constexpr std::uint16_t C2_LEFTTORIGHT = 0x0001;
constexpr std::uint16_t C2_RIGHTTOLEFT = 0x0002;
constexpr std::uint16_t C2_EUROPENUMBER = 0x0003;
constexpr std::uint16_t C2_WHITESPACE = 0x000A;
constexpr std::uint16_t C2_OTHERNEUTRAL = 0x000B;

constexpr int MAX_LEADBYTES = 12;
constexpr int MAX_DEFAULTCHAR = 2;

struct CPINFO {
  std::uint32_t MaxCharSize;
  std::uint8_t DefaultChar[MAX_DEFAULTCHAR];
  std::uint8_t LeadByte[MAX_LEADBYTES];
};

// The LCID of a locale name such as "zh_TW.UTF-8", "ar_EG" or "he"; 0 for
// "C", "POSIX", an empty name or a language the table does not know.
LCID LcidFromLocaleName(std::string_view name);

// The process locale's LCID, 0 when there is none.
LCID GetThreadLocale();

// The system's default language id (the low 16 bits of its LCID), 0 when
// the system has no locale.
LANGID GetSystemDefaultLangID();

// The locale's default ANSI code page, 0 when the LCID is unknown.
std::uint32_t AnsiCodePageOfLcid(LCID lcid);

// LOCALE_IDEFAULTANSICODEPAGE only: writes the code page as decimal text and
// returns the characters written including the terminator, 0 on failure
// (unknown LCID or type, buffer too small).
int GetLocaleInfoA(LCID lcid, std::uint32_t type, char* data, int size);

// Fills info for a code page (0 = the system's ANSI code page); false for a
// code page the platform does not know.
bool GetCPInfo(std::uint32_t codePage, CPINFO* info);

// CT_CTYPE2 types of the bytes of src under the locale's code page, one word
// per byte; len -1 means up to and including the terminator, so types needs
// room for it. False for an unknown locale, another info type, or a null
// argument.
bool GetStringTypeExA(LCID lcid, std::uint32_t infoType, const char* src, int len,
                      std::uint16_t* types);

} // namespace platform
