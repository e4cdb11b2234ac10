// What the code pages are on every system: the charsets' code pages.
#include "platform/codepage.h"

namespace platform {

const char* CodePageOfCharset(int charset) {
  switch (charset) {
  case 134: return "CP936";
  case 136: return "CP950";
  default: return "ISO-8859-1";
  }
}

std::string ToUtf8(std::string_view text, int charset) {
  return ConvertCodePage(text, CodePageOfCharset(charset), "UTF-8");
}

} // namespace platform
