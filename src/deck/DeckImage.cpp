#include "deck/DeckImage.hpp"

#include "platform/Base64.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace deck {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// SVG is XML text whose root element is <svg>. Before it may come a byte order mark, blanks, an
// XML declaration, processing instructions, comments and a DOCTYPE (with an internal subset in
// brackets); anything else first means it is not an SVG document.
bool IsSVG(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  for (;;) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    auto skipPast = [&](std::string_view end) {
      auto at = text.find(end);
      if (at == std::string_view::npos) return false;
      text.remove_prefix(at + end.size());
      return true;
    };
    if (text.starts_with("<?")) {
      if (!skipPast("?>")) return false;
    } else if (text.starts_with("<!--")) {
      if (!skipPast("-->")) return false;
    } else if (text.starts_with("<!DOCTYPE")) {
      auto bracket = text.find('['), close = text.find('>');
      if (bracket != std::string_view::npos && bracket < close) {
        if (!skipPast("]")) return false;
      }
      if (!skipPast(">")) return false;
    } else {
      break;
    }
  }
  if (!text.starts_with("<svg")) return false;
  return text.size() > 4 && (IsBlank(text[4]) || text[4] == '>' || text[4] == '/');
}

std::variant<std::string, DeckImageError> ReadAll(int fd, const std::string& source) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return DeckImageError{source + ": " + std::strerror(errno)};
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
    // Stop reading a stream that is already too big, whatever follows.
    if (bytes.size() > kMaxImageBytes) return bytes;
  }
}

} // namespace

std::optional<std::string> DeckImageMediaType(std::string_view bytes) {
  if (bytes.starts_with("\x89PNG\r\n\x1A\n")) return "image/png";
  if (bytes.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a")) return "image/gif";
  if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP") return "image/webp";
  if (IsSVG(bytes)) return "image/svg+xml";
  return std::nullopt;
}

std::variant<std::string, DeckImageError> DeckImageDataURL(std::string_view bytes,
                                                           const std::string& source) {
  if (bytes.size() > kMaxImageBytes) return DeckImageError{source + ": the image is larger than 8 MiB"};
  auto type = DeckImageMediaType(bytes);
  if (!type) return DeckImageError{source + ": not a PNG, JPEG, GIF, SVG or WebP image"};
  auto data = std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return "data:" + *type + ";base64," + platform::Base64EncodedStringFromData(data);
}

std::variant<std::string, DeckImageError> DeckImageFromFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return DeckImageError{path + ": " + std::strerror(errno)};
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) > kMaxImageBytes) {
    ::close(fd);
    return DeckImageError{path + ": the image is larger than 8 MiB"};
  }
  auto bytes = ReadAll(fd, path);
  ::close(fd);
  if (auto* error = std::get_if<DeckImageError>(&bytes)) return *error;
  return DeckImageDataURL(std::get<std::string>(bytes), path);
}

std::variant<std::string, DeckImageError> DeckImageFromArgument(const std::string& argument) {
  if (argument.empty()) return std::string();
  if (argument.starts_with("data:")) {
    if (!argument.starts_with("data:image/") || argument.find(',') == std::string::npos)
      return DeckImageError{"the data URL does not hold an image (data:image/<type>;base64,…)"};
    return argument;
  }
  if (argument == "-") {
    auto bytes = ReadAll(0, "standard input");
    if (auto* error = std::get_if<DeckImageError>(&bytes)) return *error;
    return DeckImageDataURL(std::get<std::string>(bytes), "standard input");
  }
  return DeckImageFromFile(argument);
}

} // namespace deck
