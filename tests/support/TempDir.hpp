#pragma once
// A fresh folder under the system's temporary directory, removed with its contents when the
// object goes away. Tests put every file they touch in one (never in the user's own folders).

#include <string>

namespace testsupport {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The folder's absolute path (no trailing "/").
  const std::string& path() const { return _path; }

  /// path() + "/" + `relative`.
  std::string file(const std::string& relative) const { return _path + "/" + relative; }

private:
  std::string _path;
};

/// The whole content of the file at `path`, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

/// Replaces the file at `path` with `content` (creating it). Returns false on failure.
bool WriteFile(const std::string& path, const std::string& content);

} // namespace testsupport
