#include "notifications/DistributedNotificationCodec.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <limits>

namespace sdbus {
// Exported by libsdbus-c++ (a message on a pseudo connection, no bus needed) but declared only
// in its private headers.
PlainMessage createPlainMessage();
} // namespace sdbus

namespace {

using nlohmann::json;
using platform::DistributedNotificationRead;
using platform::DistributedNotificationWriteUserInfo;

/// A sealed body (name, object, userInfo) rewound for reading.
sdbus::PlainMessage Body(const json& userInfo) {
  auto message = sdbus::createPlainMessage();
  message << std::string("N") << std::string("O");
  DistributedNotificationWriteUserInfo(message, userInfo);
  message.seal();
  message.rewind(true);
  return message;
}

/// The variant signature the only entry of the body's dictionary was written with.
std::string EntrySignature(sdbus::PlainMessage& message) {
  std::string name, object, type, contents;
  message >> name >> object;
  message.enterContainer("{sv}");
  message.enterDictEntry("sv");
  message >> name;
  message.peekType(type, contents);
  return contents;
}

// Each value goes out with the contract's type, the integer widths decided at their edges, and
// reads back as itself (null, which D-Bus cannot carry, as an empty array).
TEST(DistributedNotificationCodecTest, ValuesKeepTheContractTypesAndReadBack) {
  constexpr auto kInt32Max = std::numeric_limits<std::int32_t>::max();
  constexpr auto kInt32Min = std::numeric_limits<std::int32_t>::min();
  constexpr auto kInt64Max = std::numeric_limits<std::int64_t>::max();
  const struct {
    json value;
    const char* signature;
    json back;
  } cases[] = {
      {"text", "s", "text"},
      {false, "b", false},
      {kInt32Max, "i", kInt32Max},
      {static_cast<std::int64_t>(kInt32Max) + 1, "x", static_cast<std::int64_t>(kInt32Max) + 1},
      {kInt32Min, "i", kInt32Min},
      {static_cast<std::int64_t>(kInt32Min) - 1, "x", static_cast<std::int64_t>(kInt32Min) - 1},
      {static_cast<std::uint64_t>(kInt32Max), "i", kInt32Max},
      {static_cast<std::uint64_t>(kInt64Max), "x", kInt64Max},
      {static_cast<std::uint64_t>(kInt64Max) + 1, "t", static_cast<std::uint64_t>(kInt64Max) + 1},
      {-0.25, "d", -0.25},
      {{{"k", {{"deep", 1}}}}, "a{sv}", {{"k", {{"deep", 1}}}}},
      {json::array({1, "x", nullptr}), "av", json::array({1, "x", json::array()})},
      {nullptr, "av", json::array()},
      {json::binary({1, 2}), "ay", json::array({1, 2})},
  };
  for (const auto& c : cases) {
    const json userInfo = {{"v", c.value}};
    auto probe = Body(userInfo);
    EXPECT_EQ(EntrySignature(probe), c.signature) << c.value.dump();
    auto message = Body(userInfo);
    const auto notification = DistributedNotificationRead(message);
    EXPECT_EQ(notification.name, "N");
    EXPECT_EQ(notification.object, "O");
    EXPECT_EQ(notification.userInfo, (json{{"v", c.back}})) << c.value.dump();
  }
}

// A body without userInfo, or whose third value is no dictionary, reads with an empty object;
// a userInfo that is no JSON object goes out as an empty dictionary.
TEST(DistributedNotificationCodecTest, MissingOrForeignUserInfoIsAnEmptyObject) {
  auto bare = sdbus::createPlainMessage();
  bare << std::string("N") << std::string("O");
  bare.seal();
  bare.rewind(true);
  EXPECT_EQ(DistributedNotificationRead(bare).userInfo, json::object());

  auto foreign = sdbus::createPlainMessage();
  foreign << std::string("N") << std::string("O") << std::int32_t{42};
  foreign.seal();
  foreign.rewind(true);
  EXPECT_EQ(DistributedNotificationRead(foreign).userInfo, json::object());

  auto notObject = Body(json::array({1, 2}));
  EXPECT_EQ(DistributedNotificationRead(notObject).userInfo, json::object());
}

} // namespace
