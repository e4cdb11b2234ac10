// A lines file: one row per line, "NAME LINE", with # comments and blank
// rows. NAME becomes the line label of the line's metrics.
#pragma once

#include <string>
#include <vector>

namespace vexilctl {

struct LineRow {
  std::string Name;
  std::string Line; // a LINE address, as written
  int Row = 0;      // its row number in the file, from 1
};

// The good rows of text, in order; each bad row (no LINE, more than two
// words, a bad address, a NAME used before) goes to errors with its row
// number and is skipped.
std::vector<LineRow> ParseLinesFile(const std::string& text, std::vector<std::string>& errors);

} // namespace vexilctl
