#pragma once
// The text of a log line: printf-style formats with "%@", which inserts an object's text
// (strings, numbers, JSON values, errors, anything with a `description()` member).
//
// "%@" with a JSON value shows a JSON string as its text and anything else as compact JSON on
// one line (`{"event":"keyDown"}`), so that a message stays one greppable line; invalid UTF-8
// inside is shown as U+FFFD. printf conversions take their argument whatever its C++ width
// ("%d" with a long long is fine); a missing argument shows as "(null)".
//
// Arguments cannot forge lines: in the text of every argument, control characters are written
// the way JSON writes them inside a string (\n, \r, \t, \b, \f, and \u00xx for the other C0
// controls, DEL and the C1 controls U+0080 to U+009F, so ESC is \u001b); the format itself is
// written as it stands. Formatting keeps no state and may run on any thread.

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

/// One argument of a log format, captured without formatting it yet.
class XLogArgument {
public:
  enum class Kind { Signed, Unsigned, Double, CString, Text, Json, Pointer };

  template <std::signed_integral T> XLogArgument(T v) : _kind(Kind::Signed), _signed(v) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) XLogArgument(T v) : _kind(Kind::Unsigned), _unsigned(v) {}
  XLogArgument(bool v) : _kind(Kind::Signed), _signed(v ? 1 : 0) {}
  XLogArgument(double v) : _kind(Kind::Double), _double(v) {}
  XLogArgument(const char* v) : _kind(Kind::CString), _cstring(v) {}
  XLogArgument(const std::string& v) : _kind(Kind::Text), _text(v) {}
  XLogArgument(std::string_view v) : _kind(Kind::Text), _text(v) {}
  XLogArgument(const nlohmann::json& v) : _kind(Kind::Json), _json(&v) {}
  XLogArgument(const void* v) : _kind(Kind::Pointer), _pointer(v) {}
  /// Anything that can describe itself is formatted by its description.
  template <class T>
  requires requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
  }
  XLogArgument(const T& v) : _kind(Kind::Text), _owned(v.description()), _text(_owned) {}

  Kind kind() const { return _kind; }
  long long asSigned() const { return _signed; }
  unsigned long long asUnsigned() const { return _unsigned; }
  double asDouble() const { return _double; }
  const char* asCString() const { return _cstring; }
  std::string_view asText() const { return _text; }
  const nlohmann::json& asJson() const { return *_json; }
  const void* asPointer() const { return _pointer; }

  XLogArgument(const XLogArgument&) = delete;
  XLogArgument& operator=(const XLogArgument&) = delete;

private:
  Kind _kind;
  long long _signed = 0;
  unsigned long long _unsigned = 0;
  double _double = 0;
  const char* _cstring = nullptr;
  std::string _owned;
  std::string_view _text;
  const nlohmann::json* _json = nullptr;
  const void* _pointer = nullptr;
};

/// printf-style formatting with "%@", as the log calls use it.
std::string XLogFormatList(const char* format, std::initializer_list<XLogArgument> args);
template <class... Args> std::string XLogFormat(const char* format, const Args&... args) {
  return XLogFormatList(format, {XLogArgument(args)...});
}
