#include "platform/files.h"

#include <fstream>
#include <sstream>

namespace platform {

bool ReadTextFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

std::string PathUnder(const std::string& root, const std::string& rel) {
  if (root.empty() || root == "/")
    return "/" + rel;
  return root.back() == '/' ? root + rel : root + "/" + rel;
}

} // namespace platform
