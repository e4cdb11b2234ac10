// Conversion of 8-bit code-page text to and from UTF-8. The system keeps its
// texts in code pages; they become Unicode only where they leave for the GUI.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The iconv name of the code page that goes with a Windows character set:
// "CP936" for 134 (GB2312), "CP950" for 136 (Chinese Big5), "ISO-8859-1"
// for every other set.
const char* CodePageOfCharset(int charset);

// Converts text from one code page to another (iconv names). Where the
// source is invalid, or holds a character the target lacks, each byte that
// cannot be taken becomes '?' and the conversion goes on after it.
std::string ConvertCodePage(std::string_view text, const char* from, const char* to);

// Text in the code page of a Windows character set, as UTF-8.
std::string ToUtf8(std::string_view text, int charset);

} // namespace platform
