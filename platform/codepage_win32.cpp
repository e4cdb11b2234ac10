// Code pages on Windows: the system's converters (MultiByteToWideChar and
// back), GBK as code page 936 and Big5 as 950.
#include "platform/codepage.h"
#include "platform/win32.h"

#include <cctype>
#include <stdexcept>

namespace platform {

namespace {

// The charset names the callers use, as Windows code page numbers.
UINT codePageNamed(const char* name) {
  std::string n;
  for (const char* p = name; *p; ++p)
    n += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  if (n == "UTF-8" || n == "UTF8")
    return CP_UTF8;
  if (n == "GBK")
    return 936;
  if (n == "BIG5")
    return 950;
  if (n == "ISO-8859-1" || n == "LATIN1")
    return 28591;
  if (n.compare(0, 2, "CP") == 0 && n.size() > 2)
    return static_cast<UINT>(std::stoul(n.substr(2)));
  throw std::invalid_argument(std::string("no conversion from or to ") + name);
}

} // namespace

std::string ConvertCodePage(std::string_view text, const char* from, const char* to) {
  const UINT in = codePageNamed(from), out = codePageNamed(to);
  if (text.empty())
    return {};
  // Bytes the source code page cannot map become U+FFFD, which the target
  // writes as its default character ('?').
  const int wideLength =
      MultiByteToWideChar(in, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(in, 0, text.data(), static_cast<int>(text.size()), wide.data(), wideLength);
  for (wchar_t& c : wide)
    if (c == 0xFFFD && out != CP_UTF8)
      c = L'?';
  const int length =
      WideCharToMultiByte(out, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(out, 0, wide.data(), wideLength, result.data(), length, nullptr, nullptr);
  return result;
}

} // namespace platform
