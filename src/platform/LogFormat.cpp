// printf-style formatting with "%@" for log lines.
#include "platform/LogFormat.hpp"

#include "platform/UTF8.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

std::string Printf(const std::string& spec, auto value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

std::string ShortestDouble(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

/// The argument's own text, as "%@" shows it.
std::string Describe(const XLogArgument* arg) {
  if (arg == nullptr) return "(null)";
  switch (arg->kind()) {
  case XLogArgument::Kind::Signed:
    return std::to_string(arg->asSigned());
  case XLogArgument::Kind::Unsigned:
    return std::to_string(arg->asUnsigned());
  case XLogArgument::Kind::Double:
    return ShortestDouble(arg->asDouble());
  case XLogArgument::Kind::CString:
    return arg->asCString() ? arg->asCString() : "(null)";
  case XLogArgument::Kind::Text:
    return std::string(arg->asText());
  case XLogArgument::Kind::Json: {
    const auto& json = arg->asJson();
    // A JSON string shows as its text; anything else as compact JSON on one line. Invalid
    // UTF-8 inside is replaced rather than thrown about.
    if (json.is_string()) return json.get_ref<const std::string&>();
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  case XLogArgument::Kind::Pointer:
    return Printf("%p", arg->asPointer());
  }
  return {};
}

/// Appends an argument's text with its control characters escaped, so that no argument can end
/// the line, forge a line of its own or reach a terminal as a control sequence. The rule is the
/// one JSON uses inside strings: \b \f \n \r \t, and \u00xx (lower-case hex) for the other C0
/// controls, for DEL and for the C1 controls U+0080 to U+009F. Everything else, a backslash
/// included, stays as it is, so JSON text that an argument already carries (a dictionary shown
/// as JSON) is never escaped twice.
void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto escape = [&out](unsigned char c) {
    switch (c) {
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  };
  std::size_t run = 0; // start of the bytes not yet appended
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F && c != 0xC2) continue;
    if (c == 0xC2) { // U+0080 to U+00BF: only U+0080 to U+009F are controls
      if (i + 1 >= text.size() || (static_cast<unsigned char>(text[i + 1]) & 0xE0) != 0x80) continue;
      out.append(text.substr(run, i - run));
      escape(static_cast<unsigned char>(text[++i]));
    } else {
      out.append(text.substr(run, i - run));
      escape(c);
    }
    run = i + 1;
  }
  out.append(text.substr(run));
}

/// Appends one argument's text, padded to `width`, escaped.
void Pad(std::string& out, std::string text, int width, bool left) {
  if (width > 0 && text.size() < static_cast<std::size_t>(width)) {
    std::string fill(static_cast<std::size_t>(width) - text.size(), ' ');
    text = left ? text + fill : fill + text;
  }
  AppendEscaped(out, text);
}
} // namespace

std::string XLogFormatList(const char* format, std::initializer_list<XLogArgument> args) {
  std::string out;
  if (format == nullptr) return out;
  const XLogArgument* next = args.begin();
  auto take = [&]() -> const XLogArgument* { return next != args.end() ? next++ : nullptr; };
  auto takeInt = [&]() -> long long {
    const XLogArgument* arg = take();
    if (arg == nullptr) return 0;
    if (arg->kind() == XLogArgument::Kind::Signed) return arg->asSigned();
    if (arg->kind() == XLogArgument::Kind::Unsigned) return static_cast<long long>(arg->asUnsigned());
    return 0;
  };
  constexpr long long kLimit = 4096; // widths and precisions beyond this are bad input

  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      const char* percent = std::strchr(p, '%');
      std::size_t n = percent ? static_cast<std::size_t>(percent - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string flags;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) flags += *p++;
    long long width = -1, precision = -1;
    if (*p == '*') {
      width = takeInt();
      ++p;
      if (width < 0) flags += '-', width = -width;
    } else {
      for (width = 0; *p >= '0' && *p <= '9'; ++p) width = std::min(width * 10 + (*p - '0'), kLimit);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = takeInt();
        ++p;
      } else {
        for (precision = 0; *p >= '0' && *p <= '9'; ++p)
          precision = std::min(precision * 10 + (*p - '0'), kLimit);
      }
    }
    width = std::min(width, kLimit);
    precision = std::min(precision, kLimit);
    while (*p != '\0' && std::strchr("hlqLzjt", *p) != nullptr) ++p;
    char conversion = *p;
    if (conversion == '\0') { // a format ending inside a conversion: show it as it stands
      out.append(start);
      break;
    }
    ++p;

    // Built by appending: g++ 12 at -O3 reports a false -Wrestrict for "literal" + std::string.
    std::string spec = "%";
    spec += flags;
    if (width > 0) spec += std::to_string(width);
    if (precision >= 0) {
      spec += '.';
      spec += std::to_string(precision);
    }
    bool left = flags.find('-') != std::string::npos;

    switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      const XLogArgument* arg = take();
      bool isSigned = conversion == 'd' || conversion == 'i';
      if (arg && arg->kind() == XLogArgument::Kind::Signed) {
        out += isSigned ? Printf(spec + "ll" + conversion, arg->asSigned())
                        : Printf(spec + "ll" + conversion, static_cast<unsigned long long>(arg->asSigned()));
      } else if (arg && arg->kind() == XLogArgument::Kind::Unsigned) {
        out += isSigned ? Printf(spec + "ll" + conversion, static_cast<long long>(arg->asUnsigned()))
                        : Printf(spec + "ll" + conversion, arg->asUnsigned());
      } else {
        Pad(out, Describe(arg), static_cast<int>(width), left);
      }
      break;
    }
    case 'c':
    case 'C': {
      const XLogArgument* arg = take();
      if (arg && (arg->kind() == XLogArgument::Kind::Signed || arg->kind() == XLogArgument::Kind::Unsigned)) {
        std::string text;
        platform::AppendUTF8(text, arg->kind() == XLogArgument::Kind::Signed
                                       ? static_cast<unsigned long long>(arg->asSigned()) & 0x1FFFFF
                                       : arg->asUnsigned());
        Pad(out, text, static_cast<int>(width), left);
      } else {
        Pad(out, Describe(arg), static_cast<int>(width), left);
      }
      break;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
      const XLogArgument* arg = take();
      std::optional<double> value;
      if (arg && arg->kind() == XLogArgument::Kind::Double) value = arg->asDouble();
      if (arg && arg->kind() == XLogArgument::Kind::Signed) value = static_cast<double>(arg->asSigned());
      if (arg && arg->kind() == XLogArgument::Kind::Unsigned) value = static_cast<double>(arg->asUnsigned());
      if (value) {
        out += Printf(spec + conversion, *value);
      } else {
        Pad(out, Describe(arg), static_cast<int>(width), left);
      }
      break;
    }
    case 'p': {
      const XLogArgument* arg = take();
      if (arg && arg->kind() == XLogArgument::Kind::Pointer) {
        Pad(out, Printf("%p", arg->asPointer()), static_cast<int>(width), left);
      } else {
        Pad(out, Describe(arg), static_cast<int>(width), left);
      }
      break;
    }
    case 's':
    case 'S':
    case '@': {
      std::string text = Describe(take());
      if (precision >= 0 && text.size() > static_cast<std::size_t>(precision))
        text.resize(static_cast<std::size_t>(precision));
      Pad(out, std::move(text), static_cast<int>(width), left);
      break;
    }
    default: // not a conversion we know: shown as written, no argument used
      out.append(start, p);
      break;
    }
  }
  return out;
}
