// Locale queries on Windows: the system's own answers.
#include "platform/locale.h"
#include "platform/win32.h"

#include <string>

namespace platform {

LCID LcidFromLocaleName(std::string_view name) {
  // "zh_TW.UTF-8" -> "zh-TW", as Windows names locales.
  std::wstring wide;
  for (const char c : name.substr(0, name.find_first_of(".@")))
    wide += static_cast<wchar_t>(c == '_' ? '-' : c);
  if (wide.empty() || wide == L"C" || wide == L"POSIX")
    return 0;
  return LocaleNameToLCID(wide.c_str(), 0);
}

LCID GetThreadLocale() {
  return ::GetThreadLocale();
}

LANGID GetSystemDefaultLangID() {
  return ::GetSystemDefaultLangID();
}

std::uint32_t AnsiCodePageOfLcid(LCID lcid) {
  char text[8];
  return GetLocaleInfoA(lcid, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text) > 0
             ? static_cast<std::uint32_t>(std::stoul(text))
             : 0;
}

int GetLocaleInfoA(LCID lcid, std::uint32_t type, char* data, int size) {
  return ::GetLocaleInfoA(lcid, type, data, size);
}

bool GetCPInfo(std::uint32_t codePage, CPINFO* info) {
  ::CPINFO w{};
  if (!info || !::GetCPInfo(codePage, &w))
    return false;
  info->MaxCharSize = w.MaxCharSize;
  std::copy(std::begin(w.DefaultChar), std::end(w.DefaultChar), info->DefaultChar);
  std::copy(std::begin(w.LeadByte), std::end(w.LeadByte), info->LeadByte);
  return true;
}

bool GetStringTypeExA(LCID lcid, std::uint32_t infoType, const char* src, int len,
                      std::uint16_t* types) {
  return src && types && ::GetStringTypeExA(lcid, infoType, src, len, types) != 0;
}

} // namespace platform
