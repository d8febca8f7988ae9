#pragma once
// Sets (or removes) an environment variable for the lifetime of the object and restores the
// previous state afterwards. Tests use it to point HOME and XDG_* at temporary folders.
// Not thread-safe, like the environment itself: use it while no other thread reads it.

#include <cstdlib>
#include <optional>
#include <string>

namespace testsupport {

class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : _name(std::move(name)) {
    if (const char* old = std::getenv(_name.c_str())) _previous = old;
    if (value)
      ::setenv(_name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(_name.c_str());
  }
  ~ScopedEnv() {
    if (_previous)
      ::setenv(_name.c_str(), _previous->c_str(), 1);
    else
      ::unsetenv(_name.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string _name;
  std::optional<std::string> _previous;
};

} // namespace testsupport
