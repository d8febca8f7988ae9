#include "streamdeck/SDUtilities.hpp"

#include <cmath>
#include <limits>
#include <mutex>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

std::mutex gPluginPathLock;
std::optional<std::string> gPluginPath;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The sign and magnitude of the leading decimal number of `text`, saturated at 2^64 - 1.
struct LeadingNumber {
  bool negative = false;
  std::uint64_t magnitude = 0;
  bool saturated = false;
};

LeadingNumber ReadLeadingNumber(std::string_view text) {
  LeadingNumber number;
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) number.negative = text[i++] == '-';
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (number.magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      number.saturated = true;
      number.magnitude = std::numeric_limits<std::uint64_t>::max();
    } else if (!number.saturated) {
      number.magnitude = number.magnitude * 10 + digit;
    }
  }
  return number;
}

template <class Int> Int Clamp(const LeadingNumber& number) {
  using Limits = std::numeric_limits<Int>;
  if (number.negative) {
    std::uint64_t limit = static_cast<std::uint64_t>(Limits::max()) + 1;
    if (number.magnitude >= limit) return Limits::min();
    return static_cast<Int>(-static_cast<std::int64_t>(number.magnitude));
  }
  if (number.magnitude > static_cast<std::uint64_t>(Limits::max())) return Limits::max();
  return static_cast<Int>(number.magnitude);
}

// Number of UTF-8 bytes that hold the first `units` UTF-16 units of `s` (a character that would
// be split in two is left out), and whether `s` has at least `atLeast` units.
std::size_t PrefixBytesForUnits(const std::string& s, std::size_t units) {
  std::size_t bytes = 0, counted = 0;
  while (bytes < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[bytes]);
    std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    std::size_t width = length == 4 ? 2 : 1;
    if (counted + width > units) break;
    counted += width;
    bytes += length;
  }
  return bytes;
}

std::size_t Utf16LengthAtLeast(const std::string& s, std::size_t atLeast) {
  std::size_t counted = 0;
  for (std::size_t i = 0; i < s.size() && counted < atLeast;) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    counted += length == 4 ? 2 : 1;
    i += length;
  }
  return counted;
}

json DisplayCopy(const json& dictionary) {
  json copy = json::object();
  for (const auto& [key, value] : dictionary.items()) {
    if (value.is_object()) {
      copy[key] = DisplayCopy(value);
    } else if (value.is_string()) {
      const auto& text = value.get_ref<const std::string&>();
      // Images travel as "data:image…" strings of a megabyte and more; the log needs their start.
      if (text.rfind("data:image", 0) == 0 && text.size() >= 31 && Utf16LengthAtLeast(text, 31) >= 31)
        copy[key] = text.substr(0, PrefixBytesForUnits(text, 29)) + "...";
      else
        copy[key] = value;
    } else {
      copy[key] = value;
    }
  }
  return copy;
}

} // namespace

std::optional<std::string> SDUtilities::pluginPathForExecutable(const std::string& executablePath) {
  auto slash = executablePath.find_last_of('/');
  if (slash == std::string::npos) return std::nullopt;
  std::string directory = slash == 0 ? "/" : executablePath.substr(0, slash);
  for (;;) {
    if (directory.empty() || directory == "/") return std::nullopt;
    auto cut = directory.find_last_of('/');
    std::string last = cut == std::string::npos ? directory : directory.substr(cut + 1);
    if (last.empty() || last == "..") return std::nullopt;
    auto dot = last.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && last.substr(dot + 1) == "sdPlugin") return directory;
    if (cut == std::string::npos) return std::nullopt;
    directory = cut == 0 ? "/" : directory.substr(0, cut);
  }
}

std::optional<std::string> SDUtilities::pluginPath() {
  std::lock_guard<std::mutex> lock(gPluginPathLock);
  if (gPluginPath) return gPluginPath;
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      gPluginPath = pluginPathForExecutable(std::string(buffer.data(), static_cast<std::size_t>(n)));
      return gPluginPath;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<json> DebugDisplayDictionary(const json* dictionary) {
  if (!dictionary) return std::nullopt;
  if (!dictionary->is_object()) return *dictionary;
  return DisplayCopy(*dictionary);
}

std::int64_t SDIntegerValue(const json& value) {
  switch (value.type()) {
  case json::value_t::string:
    return Clamp<std::int64_t>(ReadLeadingNumber(value.get_ref<const std::string&>()));
  case json::value_t::number_integer:
    return value.get<std::int64_t>();
  case json::value_t::number_unsigned:
    return static_cast<std::int64_t>(value.get<std::uint64_t>());
  case json::value_t::number_float: {
    double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
  }
  case json::value_t::boolean:
    return value.get<bool>() ? 1 : 0;
  case json::value_t::null:
    return 0;
  default:
    throw SDTypeError(std::string("no integer value in a JSON ") + value.type_name());
  }
}

std::int32_t SDIntValue(std::string_view text) { return Clamp<std::int32_t>(ReadLeadingNumber(text)); }
