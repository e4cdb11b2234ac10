// Sets the locale environment for one test and puts it back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

class EnvGuard {
public:
  EnvGuard() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) {
      const char* value = std::getenv(name);
      saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  // Only LANG set, the rest cleared.
  void lang(const char* value) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE"})
      unsetenv(name);
    setenv("LANG", value, 1);
  }
  void set(const char* name, const char* value) { setenv(name, value, 1); }

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
