#include "ctl/lines_file.h"

#include <set>
#include <sstream>

#include "ctl/lines/address.h"

namespace vexilctl {

std::vector<LineRow> ParseLinesFile(const std::string& text, std::vector<std::string>& errors) {
  std::vector<LineRow> rows;
  std::set<std::string> names;
  std::istringstream in(text);
  std::string row;
  for (int number = 1; std::getline(in, row); ++number) {
    if (const auto hash = row.find('#'); hash != std::string::npos)
      row.erase(hash);
    std::istringstream words(row);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    if (w.empty())
      continue;
    const std::string at = "row " + std::to_string(number) + ": ";
    if (w.size() != 2) {
      errors.push_back(at + "want NAME LINE, found " + std::to_string(w.size()) + " word" +
                       (w.size() == 1 ? "" : "s"));
      continue;
    }
    Address address;
    std::string why;
    if (!ParseAddress(w[1], address, why)) {
      errors.push_back(at + why);
      continue;
    }
    if (!names.insert(w[0]).second) {
      errors.push_back(at + "the name " + w[0] + " is used by an earlier row");
      continue;
    }
    rows.push_back({w[0], w[1], number});
  }
  return rows;
}

} // namespace vexilctl
