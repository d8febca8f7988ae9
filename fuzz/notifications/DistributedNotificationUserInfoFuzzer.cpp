// Properties of the userInfo conversion between D-Bus and JSON (the body of a "Notification"
// signal: s name, s object, then the user information):
//  - any well-formed body that another process on the bus can send, with values of every D-Bus
//    type nested through variants, arrays, dictionaries and structs, reads without an error, and
//    a dictionary gives exactly the JSON object the header documents (every integer width to an
//    integer, structs to arrays, dictionary keys as text, the later of two equal keys winning);
//    anything else gives an empty object;
//  - any JSON object written as userInfo reads back as itself, except that null goes as an empty
//    array (D-Bus has no null).
// The first input byte chooses the direction.

#include "notifications/DistributedNotificationCodec.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <cmath>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace sdbus {
// Exported by libsdbus-c++ (a message on a pseudo connection, no bus needed) but declared only
// in its private headers.
PlainMessage createPlainMessage();
} // namespace sdbus

namespace {

using nlohmann::json;

class Bytes {
public:
  explicit Bytes(std::span<const std::uint8_t> data) : _data(data) {}
  std::uint8_t next() { return _at < _data.size() ? _data[_at++] : 0; }
  bool empty() const { return _at >= _data.size(); }
  template <class T> T take() {
    T value{};
    auto* out = reinterpret_cast<std::uint8_t*>(&value);
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = next();
    return value;
  }

private:
  std::span<const std::uint8_t> _data;
  std::size_t _at = 0;
};

// ---- D-Bus to JSON --------------------------------------------------------------------------------

struct Type {
  char code;                  // a basic type letter, 'v', 'a', '{' (inside an 'a') or '('
  std::vector<Type> children; // 'a': one; '{': key and value; '(': one or more
  std::string signature() const {
    switch (code) {
    case 'a':
      return "a" + children[0].signature();
    case '{':
      return "{" + children[0].signature() + children[1].signature() + "}";
    case '(': {
      std::string s = "(";
      for (const auto& c : children) s += c.signature();
      return s + ")";
    }
    default:
      return std::string(1, code);
    }
  }
  std::string contents() const { // what open/enter take for this container
    std::string s = signature();
    return code == '(' || code == '{' ? s.substr(1, s.size() - 2) : s.substr(1);
  }
};

constexpr const char* kBasic = "ybnqiuxtdsog";
constexpr int kMaxDepth = 24;

Type GenerateType(Bytes& in, int depth) {
  const int pick = in.next() % (depth >= kMaxDepth ? 12 : 17);
  if (pick < 12) return {kBasic[pick], {}};
  switch (pick) {
  case 12:
    return {'v', {}};
  case 13:
    return {'a', {GenerateType(in, depth + 1)}};
  case 14:
    return {'a', {{'{', {{'s', {}}, {'v', {}}}}}};
  case 15:
    return {'a', {{'{', {{kBasic[in.next() % 12], {}}, GenerateType(in, depth + 1)}}}};
  default: {
    Type s{'(', {}};
    const int n = 1 + in.next() % 4;
    for (int i = 0; i < n; ++i) s.children.push_back(GenerateType(in, depth + 1));
    return s;
  }
  }
}

std::string GenerateText(Bytes& in) {
  std::string text;
  const int n = in.next() % 12;
  for (int i = 0; i < n; ++i) {
    const std::uint8_t b = in.next();
    if (b == 0)
      text += 'a';
    else if (b < 0x80)
      text += static_cast<char>(b);
    else if (b < 0xC0)
      text += "\xC3\xA9"; // é
    else
      text += "\xF0\x9F\x94\x91"; // a key emoji, four bytes
  }
  return text;
}

std::string GeneratePath(Bytes& in) {
  std::string path;
  const int n = in.next() % 4;
  for (int i = 0; i < n; ++i) path += "/" + std::string(1, static_cast<char>('a' + in.next() % 26));
  return path.empty() ? "/" : path;
}

json WriteValue(sdbus::Message& m, const Type& type, Bytes& in, int depth);

void KeyedEntry(sdbus::Message& m, const Type& entry, Bytes& in, int depth, json& object) {
  m.openDictEntry(entry.contents());
  json key = WriteValue(m, entry.children[0], in, depth + 1);
  json value = WriteValue(m, entry.children[1], in, depth + 1);
  m.closeDictEntry();
  object[key.is_string() ? key.get<std::string>() : key.dump()] = value;
}

json WriteValue(sdbus::Message& m, const Type& type, Bytes& in, int depth) {
  switch (type.code) {
  case 'y': {
    auto v = in.take<std::uint8_t>();
    m << v;
    return v;
  }
  case 'b': {
    bool v = in.next() & 1;
    m << v;
    return v;
  }
  case 'n': {
    auto v = in.take<std::int16_t>();
    m << v;
    return v;
  }
  case 'q': {
    auto v = in.take<std::uint16_t>();
    m << v;
    return v;
  }
  case 'i': {
    auto v = in.take<std::int32_t>();
    m << v;
    return v;
  }
  case 'u': {
    auto v = in.take<std::uint32_t>();
    m << v;
    return v;
  }
  case 'x': {
    auto v = in.take<std::int64_t>();
    m << v;
    return v;
  }
  case 't': {
    auto v = in.take<std::uint64_t>();
    m << v;
    return v;
  }
  case 'd': {
    auto v = in.take<double>();
    m << v;
    return v;
  }
  case 's': {
    auto v = GenerateText(in);
    m << v;
    return v;
  }
  case 'o': {
    auto v = GeneratePath(in);
    m << sdbus::ObjectPath(v);
    return v;
  }
  case 'g': {
    static const char* const signatures[] = {"", "s", "a{sv}", "(iiv)", "aay", "v"};
    std::string v = signatures[in.next() % 6];
    m << sdbus::Signature(v);
    return v;
  }
  case 'v': {
    const Type inner = GenerateType(in, depth + 1);
    m.openVariant(inner.signature());
    json value = WriteValue(m, inner, in, depth + 1);
    m.closeVariant();
    return value;
  }
  case 'a': {
    const Type& element = type.children[0];
    const int n = in.next() % 5;
    m.openContainer(element.signature());
    json result = element.code == '{' ? json::object() : json::array();
    for (int i = 0; i < n && !in.empty(); ++i) {
      if (element.code == '{')
        KeyedEntry(m, element, in, depth, result);
      else
        result.push_back(WriteValue(m, element, in, depth + 1));
    }
    m.closeContainer();
    return result;
  }
  default: { // '('
    m.openStruct(type.contents());
    json result = json::array();
    for (const auto& child : type.children) result.push_back(WriteValue(m, child, in, depth + 1));
    m.closeStruct();
    return result;
  }
  }
}

/// Equality in which NaN equals NaN: D-Bus doubles may be NaN, JSON comparison says never equal.
bool Same(const json& a, const json& b) {
  if (a.is_number_float() && b.is_number_float()) {
    const double x = a.get<double>(), y = b.get<double>();
    return (std::isnan(x) && std::isnan(y)) || x == y;
  }
  if (a.type() != b.type() && !(a.is_number() && b.is_number())) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!Same(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it)
      if (!b.contains(it.key()) || !Same(it.value(), b.at(it.key()))) return false;
    return true;
  }
  return a == b;
}

void FromDBus(Bytes& in) {
  auto message = sdbus::createPlainMessage();
  json expected;
  const std::string name = GenerateText(in), object = GenerateText(in);
  const bool withUserInfo = in.next() % 8 != 0;
  try {
    message << name << object;
    if (withUserInfo) {
      const Type type = GenerateType(in, 0);
      expected = WriteValue(message, type, in, 0);
    }
    message.seal();
  } catch (const sdbus::Error&) {
    return; // deeper or larger than D-Bus allows: no peer can send it
  }
  message.rewind(true);
  // sd-bus may refuse to read back a message it sealed (for instance "Failed to peek message
  // type"); the center catches that error and ignores the notification, so it is no fault here.
  platform::DistributedNotification notification;
  try {
    notification = platform::DistributedNotificationRead(message);
  } catch (const sdbus::Error&) {
    return;
  }
  if (notification.name != name || notification.object != object) std::abort();
  if (!notification.userInfo.is_object()) std::abort();
  if (!Same(notification.userInfo, expected.is_object() ? expected : json::object())) std::abort();
  (void)notification.userInfo.dump(); // every string is UTF-8: what the plug-in logs and compares
}

// ---- JSON to D-Bus and back -----------------------------------------------------------------------

bool HasNul(const json& value) {
  if (value.is_string()) return value.get_ref<const std::string&>().find('\0') != std::string::npos;
  if (value.is_object())
    for (auto it = value.begin(); it != value.end(); ++it)
      if (it.key().find('\0') != std::string::npos || HasNul(it.value())) return true;
  if (value.is_array())
    for (const auto& item : value)
      if (HasNul(item)) return true;
  return false;
}

json WithoutNull(const json& value) {
  if (value.is_null()) return json::array();
  if (value.is_array()) {
    json out = json::array();
    for (const auto& item : value) out.push_back(WithoutNull(item));
    return out;
  }
  if (value.is_object()) {
    json out = json::object();
    for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = WithoutNull(it.value());
    return out;
  }
  return value;
}

void RoundTrip(std::span<const std::uint8_t> text) {
  json userInfo = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (userInfo.is_discarded()) return;
  if (!userInfo.is_object()) userInfo = json{{"value", userInfo}};
  // A D-Bus string cannot hold NUL: such text has no D-Bus form.
  if (HasNul(userInfo)) return;

  auto message = sdbus::createPlainMessage();
  try {
    message << std::string("Zorbel Stream Deck Set Title") << std::string("object");
    platform::DistributedNotificationWriteUserInfo(message, userInfo);
    message.seal();
  } catch (const sdbus::Error&) {
    return; // nested deeper than D-Bus allows: the post fails and says so
  }
  message.rewind(true);
  const auto notification = platform::DistributedNotificationRead(message);
  if (!Same(notification.userInfo, WithoutNull(userInfo))) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if (data[0] & 1) {
    RoundTrip(rest);
  } else {
    Bytes in(rest);
    FromDBus(in);
  }
  return 0;
}
