// Code page conversion on POSIX: glibc's iconv.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace platform {

std::string ConvertCodePage(std::string_view text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw std::invalid_argument(std::string("no conversion from ") + from + " to " + to);
  std::string out;
  char buf[256];
  auto* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  for (;;) {
    char* outp = buf;
    size_t outLeft = sizeof buf;
    const size_t rc = inLeft ? iconv(cd, &in, &inLeft, &outp, &outLeft)
                             : iconv(cd, nullptr, nullptr, &outp, &outLeft);
    const int err = errno;
    out.append(buf, static_cast<size_t>(outp - buf));
    if (rc != static_cast<size_t>(-1)) {
      if (inLeft == 0 && outp == buf)
        break; // input done and the shift state flushed
      continue;
    }
    if (err == E2BIG)
      continue;
    // EILSEQ (invalid or unconvertible) or EINVAL (cut short at the end):
    // one '?' for the offending byte, then go on.
    out += '?';
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

} // namespace platform
