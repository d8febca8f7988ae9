#include "deck/DeckFileTrust.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace deck {

std::optional<std::string> DeckUntrustedFileReason(const std::string& path, bool secret) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return path + " cannot be read";
  if (!S_ISREG(info.st_mode)) return path + " is not a regular file";
  if (info.st_uid != ::getuid() && info.st_uid != 0) return path + " belongs to another user";
  if (info.st_mode & (S_IWGRP | S_IWOTH)) return path + " can be written by others (chmod go-w)";
  if (secret && (info.st_mode & (S_IRGRP | S_IROTH))) return path + " can be read by others (chmod go-r)";
  return std::nullopt;
}

} // namespace deck
