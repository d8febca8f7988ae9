#include "streamdeck/SDJSON.hpp"

#include "platform/UTF8.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using nlohmann::json;

namespace {

// ---- Word-at-a-time scanning ----------------------------------------------------------------------
// A string run can be copied as is while its bytes are ASCII, not control characters, not '"' and
// not '\\'. The classic bit tricks test eight bytes at once: a byte below n sets its high bit in
// (w - n·0x01…) & ~w, and a byte equal to c is a zero byte of w ^ c·0x01…

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline bool WordNeedsAttention(std::uint64_t w) {
  std::uint64_t below20 = (w - kOnes * 0x20) & ~w;
  std::uint64_t quote = w ^ (kOnes * '"');
  std::uint64_t backslash = w ^ (kOnes * '\\');
  std::uint64_t hasQuote = (quote - kOnes) & ~quote;
  std::uint64_t hasBackslash = (backslash - kOnes) & ~backslash;
  // High bits of w itself: non-ASCII bytes.
  return ((below20 | hasQuote | hasBackslash | w) & kHighs) != 0;
}

inline bool PlainByte(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

/// Skips bytes that need no attention; returns the first that does (or `end`).
inline const char* SkipPlain(const char* p, const char* end) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: a byte needs attention when it is '"', '\\', below 0x20 or
  // non-ASCII. Signed comparison: non-ASCII bytes are negative, so "below 0x20" covers them too.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               _mm_cmplt_epi8(v, space));
    if (_mm_movemask_epi8(hit) != 0) break;
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (WordNeedsAttention(w)) break;
    p += 8;
  }
  while (p < end && PlainByte(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// ---- Reader ---------------------------------------------------------------------------------------

class Reader {
public:
  explicit Reader(std::string_view text) : _p(text.data()), _end(text.data() + text.size()) {}

  std::optional<json> parse() {
    json root;
    // Containers being filled, innermost last; each is the last element (or a map node) of the
    // one before, which receives nothing until it is closed, so the pointers stay valid.
    std::vector<json*> stack;
    json* slot = &root;

  value:
    skipSpace();
    if (_p == _end) return std::nullopt;
    switch (*_p) {
    case '{':
      ++_p;
      *slot = json::object();
      if (stack.size() >= static_cast<std::size_t>(SDJSONMaxDepth)) return std::nullopt;
      skipSpace();
      if (_p < _end && *_p == '}') {
        ++_p;
        goto after;
      }
      stack.push_back(slot);
      goto key;
    case '[':
      ++_p;
      *slot = json::array();
      if (stack.size() >= static_cast<std::size_t>(SDJSONMaxDepth)) return std::nullopt;
      skipSpace();
      if (_p < _end && *_p == ']') {
        ++_p;
        goto after;
      }
      stack.push_back(slot);
      slot->push_back(nullptr);
      slot = &slot->back();
      goto value;
    case '"': {
      ++_p;
      std::string text;
      if (!readString(text)) return std::nullopt;
      *slot = std::move(text);
      goto after;
    }
    case 't':
      if (!literal("true")) return std::nullopt;
      *slot = true;
      goto after;
    case 'f':
      if (!literal("false")) return std::nullopt;
      *slot = false;
      goto after;
    case 'n':
      if (!literal("null")) return std::nullopt;
      *slot = nullptr;
      goto after;
    default:
      if (!readNumber(*slot)) return std::nullopt;
      goto after;
    }

  key : {
    skipSpace();
    if (_p == _end || *_p != '"') return std::nullopt;
    ++_p;
    std::string name;
    if (!readString(name)) return std::nullopt;
    skipSpace();
    if (_p == _end || *_p != ':') return std::nullopt;
    ++_p;
    json& member = stack.back()->get_ref<json::object_t&>()[std::move(name)];
    member = nullptr; // a repeated key: the later value replaces the earlier one
    slot = &member;
    goto value;
  }

  after:
    skipSpace();
    if (stack.empty()) {
      if (_p != _end) return std::nullopt;
      return root;
    }
    if (_p == _end) return std::nullopt;
    {
      json* top = stack.back();
      char c = *_p++;
      if (c == ',') {
        if (top->is_object()) goto key;
        top->push_back(nullptr);
        slot = &top->back();
        goto value;
      }
      if ((c == '}' && top->is_object()) || (c == ']' && top->is_array())) {
        stack.pop_back();
        goto after;
      }
      return std::nullopt;
    }
  }

private:
  void skipSpace() {
    while (_p < _end && (*_p == ' ' || *_p == '\t' || *_p == '\n' || *_p == '\r')) ++_p;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(_end - _p) < word.size() || std::string_view(_p, word.size()) != word)
      return false;
    _p += word.size();
    return true;
  }

  bool hex4(std::uint32_t& value) {
    if (_end - _p < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = *_p++;
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }

  // After the opening quote; leaves _p after the closing quote.
  bool readString(std::string& out) {
    for (;;) {
      const char* run = _p;
      _p = SkipPlain(_p, _end);
      out.append(run, _p);
      if (_p == _end) return false;
      unsigned char c = static_cast<unsigned char>(*_p);
      if (c == '"') {
        ++_p;
        return true;
      }
      if (c < 0x20) return false; // control characters must be escaped
      if (c >= 0x80) {
        std::size_t n = platform::UTF8CharacterLength(reinterpret_cast<const std::uint8_t*>(_p),
                                                      static_cast<std::size_t>(_end - _p));
        if (n == 0) return false;
        out.append(_p, n);
        _p += n;
        continue;
      }
      // A backslash escape.
      ++_p;
      if (_p == _end) return false;
      char e = *_p++;
      switch (e) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        std::uint32_t cp;
        if (!hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false; // a low surrogate alone
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low;
          if (_end - _p < 2 || _p[0] != '\\' || _p[1] != 'u') return false;
          _p += 2;
          if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        platform::AppendUTF8(out, cp);
        break;
      }
      default:
        return false;
      }
    }
  }

  bool readNumber(json& out) {
    const char* start = _p;
    bool negative = false, integral = true;
    if (_p < _end && *_p == '-') {
      negative = true;
      ++_p;
    }
    auto digit = [&] { return _p < _end && *_p >= '0' && *_p <= '9'; };
    if (!digit()) return false;
    if (*_p == '0')
      ++_p;
    else
      while (digit()) ++_p;
    if (_p < _end && *_p == '.') {
      integral = false;
      ++_p;
      if (!digit()) return false;
      while (digit()) ++_p;
    }
    if (_p < _end && (*_p == 'e' || *_p == 'E')) {
      integral = false;
      ++_p;
      if (_p < _end && (*_p == '+' || *_p == '-')) ++_p;
      if (!digit()) return false;
      while (digit()) ++_p;
    }
    if (integral) {
      if (negative) {
        std::int64_t v;
        auto r = std::from_chars(start, _p, v);
        if (r.ec == std::errc() && r.ptr == _p) {
          out = v;
          return true;
        }
      } else {
        std::uint64_t v;
        auto r = std::from_chars(start, _p, v);
        if (r.ec == std::errc() && r.ptr == _p) {
          if (v <= static_cast<std::uint64_t>(INT64_MAX))
            out = static_cast<std::int64_t>(v);
          else
            out = v;
          return true;
        }
      }
      // Too large for 64 bits: read as a double, like other JSON readers.
    }
    double d;
    auto r = std::from_chars(start, _p, d);
    if (r.ec != std::errc() || r.ptr != _p || !std::isfinite(d)) return false;
    out = d;
    return true;
  }

  const char* _p;
  const char* _end;
};

// ---- Writer ---------------------------------------------------------------------------------------

class Writer {
public:
  Writer(std::string& out, bool pretty) : _out(out), _pretty(pretty) {}

  bool write(const json& value, int depth) {
    switch (value.type()) {
    case json::value_t::object: {
      const auto& object = value.get_ref<const json::object_t&>();
      if (object.empty()) {
        _out += "{}";
        return true;
      }
      const bool laidOut = laysOut(depth);
      _out += '{';
      bool first = true;
      for (const auto& [key, item] : object) {
        if (!first) _out += ',';
        first = false;
        if (laidOut) newline(depth + 1);
        if (!writeString(key)) return false;
        _out += laidOut ? ": " : ":";
        if (!write(item, depth + 1)) return false;
      }
      if (laidOut) newline(depth);
      _out += '}';
      return true;
    }
    case json::value_t::array: {
      const auto& array = value.get_ref<const json::array_t&>();
      if (array.empty()) {
        _out += "[]";
        return true;
      }
      const bool laidOut = laysOut(depth);
      _out += '[';
      bool first = true;
      for (const auto& item : array) {
        if (!first) _out += ',';
        first = false;
        if (laidOut) newline(depth + 1);
        if (!write(item, depth + 1)) return false;
      }
      if (laidOut) newline(depth);
      _out += ']';
      return true;
    }
    case json::value_t::string:
      return writeString(value.get_ref<const std::string&>());
    case json::value_t::boolean:
      _out += value.get<bool>() ? "true" : "false";
      return true;
    case json::value_t::number_integer:
      appendNumber(value.get<std::int64_t>());
      return true;
    case json::value_t::number_unsigned:
      appendNumber(value.get<std::uint64_t>());
      return true;
    case json::value_t::number_float:
      appendDouble(value.get<double>());
      return true;
    default:
      _out += "null";
      return true;
    }
  }

private:
  // Only the outer levels get lines of their own (see SDJSON.hpp).
  bool laysOut(int depth) const { return _pretty && depth < SDJSONPrettyLevels; }

  void newline(int depth) {
    _out += '\n';
    _out.append(static_cast<std::size_t>(depth) * 2, ' ');
  }

  template <class T> void appendNumber(T v) {
    char buffer[32];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    _out.append(buffer, r.ptr);
  }

  void appendDouble(double v) {
    if (!std::isfinite(v)) {
      _out += "null";
      return;
    }
    char buffer[64];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string_view text(buffer, static_cast<std::size_t>(r.ptr - buffer));
    _out += text;
    // Keep it recognisable as a floating-point number, as JSON writers usually do.
    if (text.find_first_of(".eE") == std::string_view::npos) _out += ".0";
  }

  bool writeString(const std::string& s) {
    static const char* const kHex = "0123456789abcdef";
    _out += '"';
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      const char* run = p;
      p = SkipPlain(p, end);
      _out.append(run, p);
      if (p == end) break;
      unsigned char c = static_cast<unsigned char>(*p);
      if (c >= 0x80) {
        std::size_t n = platform::UTF8CharacterLength(reinterpret_cast<const std::uint8_t*>(p),
                                                      static_cast<std::size_t>(end - p));
        if (n == 0) return false;
        _out.append(p, n);
        p += n;
        continue;
      }
      ++p;
      switch (c) {
      case '"':
        _out += "\\\"";
        break;
      case '\\':
        _out += "\\\\";
        break;
      case '\b':
        _out += "\\b";
        break;
      case '\f':
        _out += "\\f";
        break;
      case '\n':
        _out += "\\n";
        break;
      case '\r':
        _out += "\\r";
        break;
      case '\t':
        _out += "\\t";
        break;
      default:
        _out += "\\u00";
        _out += kHex[c >> 4];
        _out += kHex[c & 0xF];
        break;
      }
    }
    _out += '"';
    return true;
  }

  std::string& _out;
  bool _pretty;
};

} // namespace

std::optional<json> SDJSONParse(std::string_view text) { return Reader(text).parse(); }

namespace {

// An estimate of the written size, so that a message carrying a megabyte image is written into
// one allocation instead of a chain of doubling copies. Strings, which make the bulk, are
// counted in full; the rest modestly (a longer number only makes the string grow once more),
// so that the reservation stays within a small multiple of the value's own size.
std::size_t EstimatedSize(const json& value, int depth) {
  const std::size_t indent = static_cast<std::size_t>(std::min(depth, SDJSONPrettyLevels)) * 2;
  switch (value.type()) {
  case json::value_t::string:
    return value.get_ref<const std::string&>().size() + 8;
  case json::value_t::object: {
    std::size_t n = 4 + indent;
    for (const auto& [key, item] : value.items())
      n += key.size() + 6 + indent + EstimatedSize(item, depth + 1);
    return n;
  }
  case json::value_t::array: {
    std::size_t n = 4 + indent;
    for (const auto& item : value) n += 2 + indent + EstimatedSize(item, depth + 1);
    return n;
  }
  default:
    return 8;
  }
}

} // namespace

std::optional<std::string> SDJSONSerialize(const json& value, bool pretty) {
  std::string out;
  out.reserve(EstimatedSize(value, 0));
  if (!Writer(out, pretty).write(value, 0)) return std::nullopt;
  return out;
}
