#include "diagnostics/ZBAppendToFileExtension.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// Decodes the UTF-8 `text` and re-encodes each code point as one byte when it is at most
/// `highest`; nothing when a code point is out of range or the text is not valid UTF-8.
std::optional<std::string> ToSingleByte(std::string_view text, char32_t highest) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    char32_t cp;
    std::size_t length;
    if (lead < 0x80) {
      cp = lead, length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F, length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F, length = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07, length = 4;
    } else {
      return std::nullopt;
    }
    if (i + length > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp > highest) return std::nullopt;
    out += static_cast<char>(cp);
    i += length;
  }
  return out;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

} // namespace

bool ZBAppendToFileExtension::appendToFile(std::string_view text, const std::string& path,
                                           ZBStringEncoding encoding) {
  // Non-blocking open: a FIFO at the path with no reader must fail, not hang the writer.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = ::open(path.c_str(), kFlags);
  if (fd < 0) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) return false; // something is there and refuses us
    fd = ::open(path.c_str(), kFlags | O_CREAT, 0666);
    if (fd < 0) return false;
  }

  bool ok = true;
  switch (encoding) {
  case ZBStringEncoding::UTF8:
    ok = WriteAll(fd, text.data(), text.size());
    break;
  case ZBStringEncoding::ASCII:
  case ZBStringEncoding::ISOLatin1: {
    auto bytes = ToSingleByte(text, encoding == ZBStringEncoding::ASCII ? 0x7F : 0xFF);
    if (bytes) ok = WriteAll(fd, bytes->data(), bytes->size());
    break;
  }
  default:
    break; // an encoding we cannot produce: nothing to write, like an unrepresentable text
  }
  if (::close(fd) != 0 && errno != EINTR) ok = false; // NFS and friends report write errors here
  return ok;
}
