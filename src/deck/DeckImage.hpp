#pragma once
// Key images: what a file's bytes are, and the data URL the plug-in passes to Stream Deck.
//
// The type comes from the bytes, never from the file's name: PNG, JPEG, GIF and WebP by their
// signatures, SVG by its first element after any XML declaration, comments and DOCTYPE.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace deck {

/// Files above this size are refused: a key is 72 to 144 pixels square.
inline constexpr std::size_t kMaxImageBytes = 8 * 1024 * 1024;

/// "image/png", "image/jpeg", "image/gif", "image/webp" or "image/svg+xml"; nullopt otherwise.
std::optional<std::string> DeckImageMediaType(std::string_view bytes);

struct DeckImageError {
  std::string reason;
  std::string description() const { return reason; }
};

/// "data:<media type>;base64,<bytes>", or why `bytes` (read from `source`, for the message) is
/// not an image a key can show.
std::variant<std::string, DeckImageError> DeckImageDataURL(std::string_view bytes, const std::string& source);

/// The data URL for an image argument: "" clears (gives ""), a "data:image/…" URL is taken as it
/// is, "-" reads standard input, anything else is a file's path.
std::variant<std::string, DeckImageError> DeckImageFromArgument(const std::string& argument);

/// How long standard input may give no data, and how long it is read at most, before `image -`
/// gives up on it.
inline constexpr std::chrono::milliseconds kImageStreamQuiet{10000};
inline constexpr std::chrono::milliseconds kImageStreamTotal{60000};

/// The data URL of the file at `path`: a regular file only (a FIFO, device, socket or folder is
/// refused without reading it), at most kMaxImageBytes.

std::variant<std::string, DeckImageError> DeckImageFromFile(const std::string& path);

/// The data URL of the image read from `fd` (a pipe, a terminal, a file) to its end: at most
/// kMaxImageBytes, and an error once `quiet` passes without any data or `total` without its end.
std::variant<std::string, DeckImageError> DeckImageFromStream(int fd, const std::string& source,
                                                              std::chrono::milliseconds quiet,
                                                              std::chrono::milliseconds total);

} // namespace deck
