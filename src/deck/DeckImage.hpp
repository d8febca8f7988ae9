#pragma once
// Key images: what a file's bytes are, and the data URL the plug-in passes to Stream Deck.
//
// The type comes from the bytes, never from the file's name: PNG, JPEG, GIF and WebP by their
// signatures, SVG by its first element after any XML declaration, comments and DOCTYPE.

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

/// The data URL of the file at `path`.
std::variant<std::string, DeckImageError> DeckImageFromFile(const std::string& path);

} // namespace deck
