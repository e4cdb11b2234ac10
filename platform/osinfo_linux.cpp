#include "platform/osinfo.h"

#include "platform/files.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::uint32_t leadingNumber(const std::string& s, size_t& pos) {
  std::uint64_t value = 0;
  bool any = false;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + static_cast<unsigned>(s[pos] - '0');
    if (value > 0xFFFFFFFFu)
      value = 0xFFFFFFFFu;
    ++pos;
    any = true;
  }
  return any ? static_cast<std::uint32_t>(value) : 0;
}

} // namespace

void ParseKernelRelease(const std::string& release, std::uint32_t& major, std::uint32_t& minor,
                        std::uint32_t& build) {
  std::uint32_t* parts[] = {&major, &minor, &build};
  size_t pos = 0;
  for (auto* part : parts) {
    *part = leadingNumber(release, pos);
    if (pos < release.size() && release[pos] == '.')
      ++pos;
    else
      pos = release.size(); // "6.1-rc2": what follows the numbers is not one
  }
}

std::string OsReleaseValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  std::string found;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0)
      continue;
    std::string value;
    char quote = 0;
    for (size_t i = key.size() + 1; i < line.size(); ++i) {
      const char c = line[i];
      if (quote == '\'') {
        if (c == '\'')
          quote = 0;
        else
          value += c;
      } else if (c == '\\' && i + 1 < line.size() && quote != '\'') {
        value += line[++i];
      } else if (c == '"' || (c == '\'' && !quote)) {
        quote = quote ? 0 : c;
      } else if (!quote && (c == ' ' || c == '\t' || c == '#')) {
        break;
      } else {
        value += c;
      }
    }
    found = value; // the last assignment wins, as in the shell
  }
  return found;
}

bool GetOsVersionRecord(OsVersionRecord& record, const std::string& root) {
  record.OsName = "Linux";
  std::string release;
  bool ok = ReadTextFile(PathUnder(root, "proc/sys/kernel/osrelease"), release);
  if (!ok && (root.empty() || root == "/")) {
    utsname uts{};
    if (uname(&uts) == 0) {
      release = uts.release;
      ok = true;
    }
  }
  if (ok) {
    while (!release.empty() && (release.back() == '\n' || release.back() == ' '))
      release.pop_back();
    ParseKernelRelease(release, record.MajorVersion, record.MinorVersion, record.BuildNumber);
    record.KernelRelease = release;
  }
  std::string osRelease;
  if (ReadTextFile(PathUnder(root, "etc/os-release"), osRelease) ||
      ReadTextFile(PathUnder(root, "usr/lib/os-release"), osRelease))
    record.CSDVersion = OsReleaseValue(osRelease, "PRETTY_NAME");
  return ok;
}

} // namespace platform
