#include "deck/DeckFileTrust.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace deck {

namespace {

// As many symbolic links as the kernel follows in one path (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Owner(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid); entry && entry->pw_name) return std::string(entry->pw_name);
  return "uid " + std::to_string(uid);
}

bool TrustedOwner(uid_t owner) { return owner == ::geteuid() || owner == 0; }

std::string Writers(mode_t mode) {
  if ((mode & S_IWGRP) && (mode & S_IWOTH)) return "its group and everybody";
  return (mode & S_IWGRP) ? "its group" : "everybody";
}

// Why the folder at `folder` lets somebody other than the user or root change what it holds.
std::optional<std::string> FolderProblem(const std::string& folder, const struct stat& st) {
  if (!TrustedOwner(st.st_uid))
    return "the folder " + folder + " on its way belongs to " + Owner(st.st_uid) + ", not to you or root";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_uid == 0 && (st.st_mode & S_ISVTX)))
    return "the folder " + folder + " on its way can be written by " + Writers(st.st_mode) + " (mode " +
           Mode(st.st_mode) + "; chmod go-w " + folder + ")";
  return std::nullopt;
}

void PushComponents(std::deque<std::string>& todo, const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Parent(const std::string& folder) {
  std::size_t slash = folder.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
}

} // namespace

std::optional<std::string> DeckUntrustedFileReason(const std::string& path, bool secret) {
  const std::string prefix = path + ": not trusted: ";
  std::string absolute = path;
  if (!path.starts_with('/')) {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return prefix + "cannot find the current folder: " + std::strerror(errno);
    absolute = std::string(cwd) + "/" + path;
  }
  // The path is walked as the kernel walks it, one name at a time, so that every folder the
  // file's name passes through is checked, the folders holding symbolic links included.
  std::deque<std::string> todo;
  PushComponents(todo, absolute);
  std::string current = "/";
  struct stat st {};
  if (::lstat("/", &st) != 0) return prefix + "cannot check the folder /: " + std::strerror(errno);
  if (auto problem = FolderProblem("/", st)) return prefix + *problem;
  int links = 0;
  while (!todo.empty()) {
    const std::string name = todo.front();
    todo.pop_front();
    if (name == "..") {
      current = Parent(current);
      continue;
    }
    const std::string next = Join(current, name);
    if (::lstat(next.c_str(), &st) != 0) return prefix + "cannot check " + next + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return prefix + "too many symbolic links on its way";
      std::string target(4096, '\0');
      const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
      if (length < 0 || static_cast<std::size_t>(length) >= target.size())
        return prefix + "cannot read the symbolic link " + next;
      target.resize(static_cast<std::size_t>(length));
      if (target.starts_with('/')) current = "/";
      PushComponents(todo, target);
      continue;
    }
    if (!todo.empty()) {
      if (!S_ISDIR(st.st_mode)) return prefix + next + " on its way is not a folder";
      if (auto problem = FolderProblem(next, st)) return prefix + *problem;
      current = next;
      continue;
    }
    // The file itself (after the last link).
    const std::string it = links > 0 ? "it leads to " + next + ", which" : "it";
    if (!S_ISREG(st.st_mode)) return prefix + it + " is not a regular file";
    if (!TrustedOwner(st.st_uid))
      return prefix + it + " belongs to " + Owner(st.st_uid) + ", not to you or root";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
      return prefix + it + " can be written by " + Writers(st.st_mode) + " (mode " + Mode(st.st_mode) +
             "; chmod go-w " + next + ")";
    if (secret && (st.st_mode & (S_IRGRP | S_IROTH)))
      return prefix + it + " holds a secret but can be read by others than its owner (mode " +
             Mode(st.st_mode) + "; chmod go-rw " + next + ")";
    return std::nullopt;
  }
  return prefix + "it is a folder, not a regular file";
}

} // namespace deck
