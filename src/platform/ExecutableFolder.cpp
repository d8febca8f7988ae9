#include "platform/ExecutableFolder.hpp"

#include "platform/Log.hpp"

#include <cctype>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

/// `path` as one shell word: as it is when it holds only harmless characters, else in single quotes.
std::string ShellWord(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path)
    if (!(std::isalnum(static_cast<unsigned char>(c)) ||
          std::string_view("/._-+,:@%=").find(c) != std::string_view::npos))
      plain = false;
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

/// The folder's mode when it is a folder that its group or others may write to.
std::optional<unsigned> WritableByOthers(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return std::nullopt;
  return static_cast<unsigned>(info.st_mode & 07777);
}

} // namespace

std::string ExecutableFolder() {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<std::string> WritableFolderWarning(const std::string& folder) {
  if (folder.empty()) return std::nullopt;
  std::string lib = (folder == "/" ? "" : folder) + "/lib";
  std::string named, words;
  for (const std::string& path : {folder, lib}) {
    auto mode = WritableByOthers(path);
    if (!mode) continue;
    char text[8];
    std::snprintf(text, sizeof text, "%04o", *mode);
    named += (named.empty() ? "" : " and ") + path + " (mode " + text + ")";
    words += " " + ShellWord(path);
  }
  if (named.empty()) return std::nullopt;
  return "The program's folder can be written by others: " + named +
         "; whoever may write there can replace this program or the libraries it loads. Fix it with: "
         "chmod go-w" +
         words;
}

bool LogWhenFolderIsWritable(const std::string& folder) {
  auto warning = WritableFolderWarning(folder);
  if (!warning) return false;
  XLOG("display", "%@", *warning);
  return true;
}

} // namespace platform
