#include "base/Hx_base.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace TLumaroFuncs {

// ---------------------------------------------------------------------------
// TStringLocale

TStringLocale::TStringLocale() {
  InitLCID();
}

TStringLocale::TStringLocale(std::uint32_t lcid) {
  InitLCID(lcid);
}

TStringLocale::TStringLocale(const TStringLocale& other) {
  InitLCID(other.Lcid);
  SortType = other.SortType;
  IgnoreCase = other.IgnoreCase;
}

void TStringLocale::InitLCID() {
  const auto lcid = platform::GetThreadLocale();
  InitLCID(lcid ? lcid : 1033);
}

void TStringLocale::InitLCID(std::uint32_t lcid) {
  SortType = 0;
  IgnoreCase = false;
  Lcid = lcid;
  PrimaryLangId = static_cast<std::uint16_t>(lcid & 0x3FF);
  SubLangId = static_cast<std::uint16_t>((lcid >> 10) & 0x3F);
  GetCodePageInfo();
  GetLcidEastern();
}

void TStringLocale::GetCodePageInfo() {
  CodePage = 0;
  char text[16];
  if (platform::GetLocaleInfoA(Lcid, platform::LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text))
    CodePage = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
  if (!platform::GetCPInfo(CodePage, &CPInfo))
    std::memset(&CPInfo, 0, sizeof CPInfo);
}

bool TStringLocale::IsLcidWestern() const {
  static constexpr std::uint16_t WESTERN[] = {0x09, 0x06, 0x13, 0x0B, 0x0C, 0x07,
                                              0x10, 0x14, 0x16, 0x0A, 0x1D};
  for (const auto lang : WESTERN)
    if (PrimaryLangId == lang)
      return true;
  return false;
}

void TStringLocale::GetLcidEastern() {
  Eastern = false;
  RightToLeft = false;
  if (IsLcidWestern())
    return;
  Eastern = CPInfo.LeadByte[0] != 0 || CPInfo.LeadByte[1] != 0;
  if (Eastern)
    return;
  // The upper half of the code page, 0x80..0xFE, then the terminator.
  char upper[128];
  for (int i = 0; i < 127; ++i)
    upper[i] = static_cast<char>(0x80 + i);
  upper[127] = 0;
  std::uint16_t types[128] = {};
  if (!platform::GetStringTypeExA(Lcid, platform::CT_CTYPE2, upper, -1, types))
    return;
  for (int i = 0; i < 127; ++i)
    if (types[i] == platform::C2_RIGHTTOLEFT) {
      RightToLeft = true;
      break;
    }
}

bool TStringLocale::IsLeadByte(unsigned char c) const {
  for (int i = 0; i + 1 < platform::MAX_LEADBYTES; i += 2) {
    const auto first = CPInfo.LeadByte[i], last = CPInfo.LeadByte[i + 1];
    if (first == 0 && last == 0)
      break;
    if (first <= c && c <= last)
      return true;
  }
  return false;
}

int TStringLocale::ByteType(const char* s, int index) const {
  int state = 0;
  for (int i = 0; i <= index; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0)
      return 0;
    if (state == 1)
      state = 2;
    else
      state = IsLeadByte(c) ? 1 : 0;
  }
  return state;
}

// Built before AppLang (same unit, defined first).
TStringLocale _SysLocale;

// ---------------------------------------------------------------------------
// TLumaroString

TLumaroString::TLumaroString() : FLocale(&_SysLocale) {
  Clear();
}

TLumaroString::TLumaroString(const char* s) : FLocale(&_SysLocale) {
  Assign(s);
}

TLumaroString::TLumaroString(const TLumaroString& s) : FLocale(&_SysLocale) {
  Assign(s);
}

TLumaroString::TLumaroString(const AnsiString& s) : FLocale(&_SysLocale) {
  Assign(s.empty() ? "" : s.c_str());
}

TLumaroString& TLumaroString::operator=(const TLumaroString& s) {
  Assign(s);
  return *this;
}

TLumaroString& TLumaroString::operator=(const char* s) {
  Assign(s);
  return *this;
}

TLumaroString::~TLumaroString() {
  delete[] Buffer;
  Buffer = nullptr;
  SetLocale(nullptr);
}

void TLumaroString::Clear() {
  AllocBuf(1);
  Buffer[0] = 0;
}

void TLumaroString::AllocBuf(int size) {
  const int n = size > 1 ? size : 1;
  if (Buffer && n == FBufSize)
    return;
  delete[] Buffer;
  Buffer = new char[static_cast<size_t>(n)];
  FBufSize = n;
}

void TLumaroString::SetLocale(const TStringLocale* loc) {
  if (loc && loc != &_SysLocale) {
    if (FLocale == &_SysLocale)
      FLocale = new TStringLocale(*loc);
    else
      FLocale->InitLCID(loc->Lcid); // comparison options cleared
    return;
  }
  if (FLocale != &_SysLocale)
    delete FLocale;
  FLocale = &_SysLocale;
}

void TLumaroString::Assign(const char* s) {
  if (!s) {
    Clear();
    return;
  }
  // s may point into this string's own buffer, which AllocBuf may free.
  if (s >= Buffer && s < Buffer + FBufSize) {
    const std::string copy(s);
    Assign(copy.c_str());
    return;
  }
  const size_t len = std::strlen(s);
  AllocBuf(static_cast<int>(len + 1));
  std::memcpy(Buffer, s, len + 1);
}

void TLumaroString::Assign(const TLumaroString& s) {
  SetLocale(s.FLocale);
  Assign(s.Buffer);
}

TLumaroString::operator AnsiString() const {
  return AnsiString(Buffer);
}

int TLumaroString::Length() const {
  return static_cast<int>(std::strlen(Buffer));
}

TLumaroString& TLumaroString::operator+=(const TLumaroString& s) {
  *this = *this + s;
  return *this;
}

TLumaroString TLumaroString::operator+(const TLumaroString& s) const {
  const int a = Length(), b = s.Length();
  TLumaroString result;
  result.SetLocale(FLocale);
  result.AllocBuf(a + b + 1);
  std::memcpy(result.Buffer, Buffer, static_cast<size_t>(a));
  std::memcpy(result.Buffer + a, s.Buffer, static_cast<size_t>(b) + 1);
  return result;
}

// ---------------------------------------------------------------------------
// TAppLang

const char TAppLang::Str_SongTi[] = "\xCB\xCE\xCC\xE5"; // 宋体, GBK
const char TAppLang::Str_SimSun[] = "SimSun";
const char TAppLang::Str_XiMyTi[] = "\xB2\xD3\xA9\xFA\xC5\xE9"; // 細明體, Big5
const char TAppLang::Str_MingLiU[] = "MingLiU";
const char TAppLang::Str_MsSansSerif[] = "MS Sans Serif";
const char TAppLang::Str_ParadoxAscii[] = "ascii";
const char TAppLang::Str_ParadoxGbk[] = "china";
const char TAppLang::Str_ParadoxBig5[] = "taiwan";

TAppLang::TAppLang() : FSysLangId(platform::GetSystemDefaultLangID()), FCvtBig5(true) {
  fSetDetectType(dtAuto);
}

TAppLang::~TAppLang() = default;

TAppLang::TLangType TAppLang::effectiveLangType() const {
  return FLangType == ltGbk || FLangType == ltBig5 ? FLangType : ltEnglish;
}

void TAppLang::fSetLangType(TLangType value) {
  FLangType = value;
  FDetectType = dtManual;
  _fCharsetFromLangType();
  _fFontNameSizeFromLangType();
}

void TAppLang::fSetFontName(const TLumaroString& value) {
  FFontName = value;
}

void TAppLang::fSetCharset(std::uint8_t value) {
  FCharset = value;
  FDetectType = dtManual;
  _fLangTypeFromCharset();
}

void TAppLang::fSetFontSize(int value) {
  FFontSize = value;
}

void TAppLang::fSetDetectType(TDetectType value) {
  FDetectType = value;
  _fLangTypeFromDetectType();
  _fCharsetFromLangType();
  _fFontNameSizeFromLangType();
}

void TAppLang::fSetCvtBig5(bool value) {
  FCvtBig5 = value;
}

TLumaroString TAppLang::fGetPdxLangDrv() const {
  switch (effectiveLangType()) {
  case ltGbk: return TLumaroString(Str_ParadoxGbk);
  case ltBig5: return TLumaroString(Str_ParadoxBig5);
  default: return TLumaroString(Str_ParadoxAscii);
  }
}

int TAppLang::_fGetMinFontSize() const {
  return effectiveLangType() == ltEnglish ? 8 : 9;
}

void TAppLang::_fLangTypeFromDetectType() {
  if (FDetectType == dtManual)
    return;
  const int primary = FSysLangId & 0x3FF;
  const int sub = (FSysLangId >> 10) & 0x3F;
  if (primary != 4)
    FLangType = ltEnglish;
  else if (sub == 2 || sub == 4)
    FLangType = ltGbk;
  else
    FLangType = ltBig5;
}

void TAppLang::_fLangTypeFromCharset() {
  FLangType = FCharset == 134 ? ltGbk : FCharset == 136 ? ltBig5 : ltEnglish;
}

void TAppLang::_fCharsetFromLangType() {
  switch (effectiveLangType()) {
  case ltGbk: FCharset = 134; break;
  case ltBig5: FCharset = 136; break;
  default: FCharset = 0;
  }
}

void TAppLang::_fFontNameSizeFromLangType() {
  switch (effectiveLangType()) {
  case ltGbk:
    FFontName = Str_SongTi;
    FFontSize = 9;
    break;
  case ltBig5:
    FFontName = Str_XiMyTi;
    FFontSize = 9;
    break;
  default: FFontName = Str_MsSansSerif; FFontSize = 8;
  }
}

int TAppLang::_fGBK_No(unsigned char lead, unsigned char trail) {
  const int k = lead * 191 + trail - 24703;
  return k < 0 || k >= GB2BIG5_ENTRIES ? 0 : k;
}

TLumaroString TAppLang::FromGBK(TLumaroString s) const {
  if (FLangType != ltBig5 || !FCvtBig5)
    return s;
  const char* text = s.c_str();
  const size_t n = text ? std::strlen(text) : 0;
  std::string out(n, '\0');
  size_t i = 0;
  while (i < n) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto t = static_cast<unsigned char>(text[i + 1]); // the terminator at the end
    if (b >= 0x81 && b <= 0xFE && t >= 0x40 && t <= 0xFE) {
      const unsigned char* entry = GB2BIG5_TAB[_fGBK_No(b, t)];
      out[i] = static_cast<char>(entry[0] ^ 0x80);
      out[i + 1] = static_cast<char>(entry[1]);
      i += 2;
    } else {
      out[i] = static_cast<char>(b);
      i += 1;
    }
  }
  return TLumaroString(out.c_str());
}

int TAppLang::TextColumn() const {
  switch (effectiveLangType()) {
  case ltGbk: return 0;
  case ltBig5: return 1;
  default: return 2;
  }
}

TAppLang AppLang;

AnsiString LangText(const char* gbk, const char* big5InGbk, const char* english) {
  const char* texts[] = {gbk, big5InGbk, english};
  return AnsiString(AppLang.FromGBK(TLumaroString(texts[AppLang.TextColumn()])));
}

// ---------------------------------------------------------------------------
// TSysInfo

namespace {

void copyText(char (&field)[TSysInfo::TEXT_SIZE], const char* text) {
  std::strncpy(field, text, TSysInfo::TEXT_SIZE - 1);
  field[TSysInfo::TEXT_SIZE - 1] = 0;
}

} // namespace

TSysInfo::TSysInfo()
    : FSource([](platform::OsVersionRecord& r) { return platform::GetOsVersionRecord(r); }) {}

TSysInfo::TSysInfo(TRecordSource source) : FSource(std::move(source)) {}

TLumaroString TSysInfo::WindowsOsName(std::uint32_t platformId, std::uint32_t major,
                                      std::uint32_t minor, std::uint32_t build) {
  TLumaroString name("Windows");
  if (platformId == VER_PLATFORM_WIN32_NT) {
    if (major == 5 && minor == 0)
      name += " 2000";
    else if (major == 5 && minor == 1)
      name += " XP";
    else if (major == 5 && minor == 2)
      name += " 2003";
    else
      name += " NT";
  } else if (major == 4 && minor == 0) {
    name += " 95";
    if (build >= 1111)
      name += " OSR2";
  } else if (major == 4 && minor == 10) {
    name += " 98";
    if (build >= 2222)
      name += " SE";
  } else if (major == 4 && minor == 90) {
    name += " ME";
  }
  return name;
}

void TSysInfo::fGetOsInfo() {
  platform::OsVersionRecord record;
  const bool ok = FSource && FSource(record);
  if (ok) {
    FPlatformId = record.PlatformId;
    FMajorVersion = static_cast<int>(record.MajorVersion);
    FMinorVersion = static_cast<int>(record.MinorVersion);
    FBuildNumber = static_cast<int>(record.BuildNumber & 0xFFFF);
    const bool nt = FPlatformId == VER_PLATFORM_WIN32_NT;
    // A platform that names itself (Linux) gives its own name and release
    // text; Windows records are named by their version numbers.
    const bool ownName = !record.OsName.empty();
    const TLumaroString name =
        ownName ? TLumaroString(record.OsName)
                : WindowsOsName(FPlatformId, record.MajorVersion, record.MinorVersion,
                                static_cast<std::uint32_t>(FBuildNumber));
    if (nt || ownName)
      copyText(FCSDVersion, record.CSDVersion.c_str());
    copyText(FOsName, name.c_str());
  }
  copyText(FRegisteredOwner, record.RegisteredOwner.c_str());
  copyText(FRegisteredOrganization, record.RegisteredOrganization.c_str());
  FLoaded = true;
}

std::uint32_t TSysInfo::PlatformId() {
  load();
  return FPlatformId;
}
const char* TSysInfo::OsName() {
  load();
  return FOsName;
}
int TSysInfo::MajorVersion() {
  load();
  return FMajorVersion;
}
int TSysInfo::MinorVersion() {
  load();
  return FMinorVersion;
}
int TSysInfo::BuildNumber() {
  load();
  return FBuildNumber;
}
const char* TSysInfo::CSDVersion() {
  load();
  return FCSDVersion;
}
const char* TSysInfo::RegisteredOwner() {
  load();
  return FRegisteredOwner;
}
const char* TSysInfo::RegisteredOrganization() {
  load();
  return FRegisteredOrganization;
}

} // namespace TLumaroFuncs
