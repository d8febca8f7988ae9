#include "notifications/DistributedNotificationCodec.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <limits>
#include <string>

namespace platform {

namespace {

using nlohmann::json;

// ---- JSON to D-Bus ------------------------------------------------------------------------------

std::string SignatureOf(const json& value) {
  switch (value.type()) {
  case json::value_t::string:
    return "s";
  case json::value_t::boolean:
    return "b";
  case json::value_t::number_integer: {
    auto v = value.get<std::int64_t>();
    return (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
               ? "i"
               : "x";
  }
  case json::value_t::number_unsigned: {
    auto v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return "i";
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return "x";
    return "t";
  }
  case json::value_t::number_float:
    return "d";
  case json::value_t::object:
    return "a{sv}";
  case json::value_t::binary:
    return "ay";
  default:
    return "av"; // arrays; null has no D-Bus form and goes as an empty array
  }
}

void WriteVariant(sdbus::Message& message, const json& value);

void WriteDictionary(sdbus::Message& message, const json& object) {
  message.openContainer("{sv}");
  if (object.is_object()) {
    for (const auto& [key, item] : object.items()) {
      message.openDictEntry("sv");
      message << key;
      WriteVariant(message, item);
      message.closeDictEntry();
    }
  }
  message.closeContainer();
}

void WriteVariant(sdbus::Message& message, const json& value) {
  const std::string signature = SignatureOf(value);
  message.openVariant(signature);
  switch (value.type()) {
  case json::value_t::string:
    message << value.get_ref<const std::string&>();
    break;
  case json::value_t::boolean:
    message << value.get<bool>();
    break;
  case json::value_t::number_integer:
  case json::value_t::number_unsigned:
    if (signature == "i")
      message << static_cast<std::int32_t>(value.get<std::int64_t>());
    else if (signature == "x")
      message << value.get<std::int64_t>();
    else
      message << value.get<std::uint64_t>();
    break;
  case json::value_t::number_float:
    message << value.get<double>();
    break;
  case json::value_t::object:
    WriteDictionary(message, value);
    break;
  case json::value_t::binary:
    message.openContainer("y");
    for (std::uint8_t byte : value.get_binary()) message << byte;
    message.closeContainer();
    break;
  case json::value_t::array:
    message.openContainer("v");
    for (const auto& item : value) WriteVariant(message, item);
    message.closeContainer();
    break;
  default:
    message.openContainer("v");
    message.closeContainer();
    break;
  }
  message.closeVariant();
}

// ---- D-Bus to JSON ------------------------------------------------------------------------------

bool AtEnd(const std::string& type) { return type.empty() || type[0] == '\0'; }

// The recursion below needs no depth limit of its own: the bus refuses messages nested deeper
// than 64 containers (variants included) and sd-bus deeper than 128, so a converted value is
// never deeper than the 64 levels allowed for JSON from Stream Deck.

json ReadValue(sdbus::Message& message);

std::string KeyText(const json& key) {
  if (key.is_string()) return key.get<std::string>();
  return key.dump();
}

json ReadValue(sdbus::Message& message) {
  std::string type, contents;
  message.peekType(type, contents);
  if (AtEnd(type)) throw sdbus::Error("com.zorbel.Error.Malformed", "missing value");
  switch (type[0]) {
  case 'y': {
    std::uint8_t v{};
    message >> v;
    return v;
  }
  case 'b': {
    bool v{};
    message >> v;
    return v;
  }
  case 'n': {
    std::int16_t v{};
    message >> v;
    return v;
  }
  case 'q': {
    std::uint16_t v{};
    message >> v;
    return v;
  }
  case 'i': {
    std::int32_t v{};
    message >> v;
    return v;
  }
  case 'u': {
    std::uint32_t v{};
    message >> v;
    return v;
  }
  case 'x': {
    std::int64_t v{};
    message >> v;
    return v;
  }
  case 't': {
    std::uint64_t v{};
    message >> v;
    return v;
  }
  case 'd': {
    double v{};
    message >> v;
    return v;
  }
  case 's': {
    std::string v;
    message >> v;
    return v;
  }
  case 'o': {
    sdbus::ObjectPath v;
    message >> v;
    return std::string(v);
  }
  case 'g': {
    sdbus::Signature v;
    message >> v;
    return std::string(v);
  }
  case 'h': {
    sdbus::UnixFd v;
    message >> v;
    return "fd " + std::to_string(v.get());
  }
  case 'v': {
    message.enterVariant(contents);
    json inner = ReadValue(message);
    message.exitVariant();
    return inner;
  }
  case 'a': {
    message.enterContainer(contents);
    json result;
    if (!contents.empty() && contents[0] == '{') {
      result = json::object();
      const std::string entry = contents.substr(1, contents.size() - 2);
      for (;;) {
        std::string itemType, itemContents;
        message.peekType(itemType, itemContents);
        if (AtEnd(itemType)) break;
        message.enterDictEntry(entry);
        json key = ReadValue(message);
        json value = ReadValue(message);
        message.exitDictEntry();
        result[KeyText(key)] = std::move(value);
      }
    } else {
      result = json::array();
      for (;;) {
        std::string itemType, itemContents;
        message.peekType(itemType, itemContents);
        if (AtEnd(itemType)) break;
        result.push_back(ReadValue(message));
      }
    }
    message.exitContainer();
    return result;
  }
  case 'r':
  case '(': {
    message.enterStruct(contents);
    json result = json::array();
    for (;;) {
      std::string itemType, itemContents;
      message.peekType(itemType, itemContents);
      if (AtEnd(itemType)) break;
      result.push_back(ReadValue(message));
    }
    message.exitStruct();
    return result;
  }
  default:
    return "<D-Bus type " + type + ">";
  }
}

} // namespace

void DistributedNotificationWriteUserInfo(sdbus::Message& message, const nlohmann::json& userInfo) {
  WriteDictionary(message, userInfo);
}

DistributedNotification DistributedNotificationRead(sdbus::Message& message) {
  DistributedNotification notification;
  message >> notification.name >> notification.object;
  std::string type, contents;
  message.peekType(type, contents);
  if (AtEnd(type)) return notification; // a sender without userInfo: an empty one
  json userInfo = ReadValue(message);
  if (userInfo.is_object()) notification.userInfo = std::move(userInfo);
  return notification;
}

} // namespace platform
