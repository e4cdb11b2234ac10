// Sets environment variables for one test and puts each back exactly as it
// was afterwards: a value again, or unset when it was unset.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
// (The C runtime's names for them; an empty value removes the variable.)
inline int setenv(const char* name, const char* value, int) {
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
#endif

class EnvGuard {
public:
  // The locale variables are always saved: lang() changes them together.
  EnvGuard() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"})
      save(name);
  }
  ~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
  }
  // Only LANG set, the rest cleared.
  void lang(const char* value) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_CTYPE"})
      unsetenv(name);
    setenv("LANG", value, 1);
  }
  void set(const char* name, const std::string& value) {
    save(name);
    setenv(name, value.c_str(), 1);
  }
  void unset(const char* name) {
    save(name);
    unsetenv(name);
  }

private:
  void save(const std::string& name) {
    for (const auto& entry : saved_)
      if (entry.first == name)
        return;
    const char* value = std::getenv(name.c_str());
    saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
