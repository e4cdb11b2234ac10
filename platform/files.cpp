#include "platform/files.h"

#include <fstream>
#include <exception>
#include <iterator>

namespace platform {

bool ReadTextFile(const std::string& path, std::string& text) {
  // A process that ends between the open and the read makes the read of its
  // /proc files fail (ESRCH), as a device that goes away does (ENODEV, EIO);
  // the stream library throws from inside the read for that, even with its
  // exceptions off. Here it is a file that cannot be read.
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in)
      return false;
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
      return false;
    text = std::move(got);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string PathUnder(const std::string& root, const std::string& rel) {
  if (root.empty() || root == "/")
    return "/" + rel;
  return root.back() == '/' ? root + rel : root + "/" + rel;
}

} // namespace platform
