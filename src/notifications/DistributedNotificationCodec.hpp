#pragma once
// The body of a "Notification" signal (s name, s object, a{sv} userInfo) in both directions,
// with the conversions notifications/DistributedNotificationCenter.hpp documents: userInfo values
// go out as s, b, i (x when they do not fit 32 bits, t above the signed 64-bit range), d, a{sv}
// and av (null as an empty av); incoming values of any D-Bus type become the matching JSON
// value. sd-bus stays in the .cpp: callers hand in the message they already have.

#include "notifications/DistributedNotificationCenter.hpp"

namespace sdbus {
class Message;
} // namespace sdbus

namespace platform {

/// Appends `userInfo` as an a{sv} dictionary; anything but a JSON object goes as an empty one.
/// Throws sdbus::Error when the value is nested deeper than D-Bus allows.
void DistributedNotificationWriteUserInfo(sdbus::Message& message, const nlohmann::json& userInfo);

/// Reads a whole body: name, object and, when there is one, userInfo (an empty object when it is
/// missing or is not a dictionary). Throws sdbus::Error for a malformed body.
DistributedNotification DistributedNotificationRead(sdbus::Message& message);

} // namespace platform
