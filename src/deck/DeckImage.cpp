#include "deck/DeckImage.hpp"

#include "platform/Base64.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

std::string Seconds(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) return std::to_string(time.count() / 1000) + " s";
  return std::to_string(time.count()) + " ms";
}

// How long a stream is read for at most, and how long it may go without data.
struct StreamLimits {
  std::chrono::milliseconds quiet, total;
};

// Reads `fd` to its end, at most one byte past kMaxImageBytes. With `limits`, a stream that gives
// no data for `quiet` or has not ended after `total` ends with an error, so that a writer that
// never finishes (a terminal, a pipe kept open, a trickle) cannot hold the command forever.
std::variant<std::string, DeckImageError> ReadAll(int fd, const std::string& source,
                                                  std::optional<StreamLimits> limits) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + (limits ? limits->total : std::chrono::milliseconds(0));
  std::string bytes;
  char buffer[65536];
  for (;;) {
    if (limits) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return DeckImageError{source + ": did not end within " + Seconds(limits->total)};
      pollfd wait{fd, POLLIN, 0};
      int ready = ::poll(&wait, 1, static_cast<int>(std::min(left, limits->quiet).count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return DeckImageError{source + ": " + std::strerror(errno)};
      if (ready == 0 && left > limits->quiet)
        return DeckImageError{source + ": no data for " + Seconds(limits->quiet) +
                              " (is anything writing to it?)"};
      if (ready == 0) continue; // the total limit, reported above
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) continue; // a non-blocking descriptor: poll again
    if (n < 0) return DeckImageError{source + ": " + std::strerror(errno)};
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
    // Stop reading a stream that is already too big, whatever follows.
    if (bytes.size() > kMaxImageBytes) return DeckImageError{source + ": the image is larger than 8 MiB"};
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
  // Opened without blocking, so that a FIFO without a writer cannot hold the open itself; what
  // the descriptor is decides whether it is read at all.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return DeckImageError{path + ": " + std::strerror(errno)};
  struct stat info {};
  std::optional<DeckImageError> refusal;
  if (::fstat(fd, &info) != 0)
    refusal = DeckImageError{path + ": " + std::strerror(errno)};
  else if (S_ISDIR(info.st_mode))
    refusal = DeckImageError{path + ": is a folder, not an image file"};
  else if (!S_ISREG(info.st_mode))
    refusal = DeckImageError{path + ": not a regular file (a FIFO, socket or device is never read)"};
  else if (static_cast<std::uint64_t>(info.st_size) > kMaxImageBytes)
    refusal = DeckImageError{path + ": the image is larger than 8 MiB"};
  if (refusal) {
    ::close(fd);
    return *refusal;
  }
  auto bytes = ReadAll(fd, path, std::nullopt);
  ::close(fd);
  if (auto* error = std::get_if<DeckImageError>(&bytes)) return *error;
  return DeckImageDataURL(std::get<std::string>(bytes), path);
}

std::variant<std::string, DeckImageError> DeckImageFromStream(int fd, const std::string& source,
                                                              std::chrono::milliseconds quiet,
                                                              std::chrono::milliseconds total) {
  auto bytes = ReadAll(fd, source, StreamLimits{quiet, total});
  if (auto* error = std::get_if<DeckImageError>(&bytes)) return *error;
  return DeckImageDataURL(std::get<std::string>(bytes), source);
}

std::variant<std::string, DeckImageError> DeckImageFromArgument(const std::string& argument) {
  if (argument.empty()) return std::string();
  if (argument.starts_with("data:")) {
    if (!argument.starts_with("data:image/") || argument.find(',') == std::string::npos)
      return DeckImageError{"the data URL does not hold an image (data:image/<type>;base64,…)"};
    return argument;
  }
  if (argument == "-")
    return DeckImageFromStream(STDIN_FILENO, "standard input", kImageStreamQuiet, kImageStreamTotal);
  return DeckImageFromFile(argument);
}

} // namespace deck
