// Small file helpers for the readers of /proc, /sys and /etc, whose root is
// injectable so that tests run on fixture trees.
#pragma once

#include <string>

namespace platform {

// The whole file; false when it cannot be read, whatever the reason (never
// throws: a /proc file whose process ends during the read is one of them).
bool ReadTextFile(const std::string& path, std::string& text);

// rel below root ("/" or empty: the running system).
std::string PathUnder(const std::string& root, const std::string& rel);

} // namespace platform
