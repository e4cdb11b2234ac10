// Checks for streams that lose bytes on purpose (purges): what arrived must
// be pieces of what was sent, in order, and nothing else.
#pragma once

#include <cstring>
#include <random>
#include <string>

// Bytes whose 8-byte windows are unique with overwhelming odds, so that any
// piece of 8 bytes or more can be found again.
inline std::string RandomStream(std::size_t n, unsigned seed = 20261208) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s)
    c = static_cast<char>(gen() & 0xFF);
  return s;
}

struct RunCheck {
  std::size_t matched = 0;   // bytes found in sent, after what came before them
  std::size_t unmatched = 0; // bytes that are not a piece of what was sent
  std::size_t runs = 0;      // unbroken pieces
  std::size_t sentEnd = 0;   // where in sent the last piece ended
};

// Splits got into the longest pieces of sent that follow each other in
// sent's order. A byte that starts no such piece of 8 or more counts as
// unmatched (a piece shorter than that, cut by two gaps close together, does
// too). Gives up after maxUnmatched such bytes.
inline RunCheck CheckRuns(const std::string& sent, const std::string& got,
                          std::size_t maxUnmatched = 200) {
  constexpr std::size_t WINDOW = 8;
  RunCheck r;
  std::size_t pos = 0, i = 0;
  while (i < got.size() && r.unmatched <= maxUnmatched) {
    if (got.size() - i < WINDOW) {
      // The tail: it must continue where the last piece ended.
      const std::size_t n = got.size() - i;
      if (sent.compare(pos, n, got, i, n) == 0) {
        r.matched += n;
        pos += n;
      } else {
        r.unmatched += n;
      }
      break;
    }
    const auto at = sent.find(got.data() + i, pos, WINDOW);
    if (at == std::string::npos) {
      ++r.unmatched;
      ++i;
      continue;
    }
    std::size_t n = WINDOW;
    while (i + n < got.size() && at + n < sent.size() && got[i + n] == sent[at + n])
      ++n;
    r.matched += n;
    ++r.runs;
    pos = at + n;
    i += n;
  }
  r.sentEnd = pos;
  return r;
}

#include <dirent.h>

#include <fstream>

// Context switches so far of the calling process's threads named name (the
// sum when several are), -1 when there is none: how often they woke.
inline long ThreadSwitches(const std::string& name) {
  long total = -1;
  DIR* d = opendir("/proc/self/task");
  if (!d)
    return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm") >> std::ws, comm);
    if (comm != name)
      continue;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos)
        total = (total < 0 ? 0 : total) + std::stol(line.substr(line.find(':') + 1));
  }
  closedir(d);
  return total;
}
