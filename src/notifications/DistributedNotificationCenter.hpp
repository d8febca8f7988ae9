#pragma once
// Distributed notifications: named broadcasts between processes of the same user, each with an
// object (a text that says who the notification concerns) and a user-information dictionary.
//
// On Linux the center is the user's D-Bus session bus. The contract, which other programs rely
// on (see docs/dbus.md):
//  - a notification is the broadcast signal "Notification" of interface
//    "com.zorbel.DistributedNotifications" at object path "/com/zorbel/DistributedNotifications",
//    body (s name, s object, a{sv} userInfo);
//  - observing a name and an object adds the match rule
//    type='signal',interface='…',member='Notification',path='/com/zorbel/DistributedNotifications',
//    arg0='<name>',arg1='<object>', so that the bus delivers only notifications of the contract's
//    object path with exactly that name and object;
//  - userInfo values go out as: string s, boolean b, integer i (x when it does not fit 32 bits,
//    t above the signed 64-bit range), double d, object a{sv}, array av, null as an empty av.
//    Incoming values of any D-Bus type are converted to the matching JSON value (every integer
//    width to an integer, structs to arrays, dictionaries to objects with their keys as text,
//    unknown types to their text).
//
// Threading: a center belongs to one run loop (the main loop for defaultCenter()). Observers are
// added and removed on that loop's thread, and their handlers run there, one at a time, through
// the loop. postNotification may be called from any thread and never waits for the bus: the
// signal is queued on the connection and written when the socket has room.
//
// Without a session bus the center is "unavailable": one "display" line says so, posting does
// nothing and observers are never called. It never throws for it. When the address is a unix
// socket nobody listens at yet (a session whose bus starts after the plug-in), the center waits
// for it the way it waits for a lost bus (below), and says so in one more line once connected;
// for anything else (no address at all, a bus that refuses us) it stays unavailable.
//
// A connection that is lost later (the bus daemon ended or restarted) is re-established by the
// center itself: one "display" line says it was lost, then the center tries the same address
// again on a timer of its loop, 100 ms after the loss and doubling up to every 5 s, adds every
// observer's match rule again on the new connection and says so in one more line. Meanwhile
// posts are dropped (logged, never queued) and observers can still be added and removed. A
// connected center has no timer running; destroying a reconnecting one ends its timer at once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

class RunLoop;

inline constexpr const char* kDistributedNotificationInterface = "com.zorbel.DistributedNotifications";
inline constexpr const char* kDistributedNotificationPath = "/com/zorbel/DistributedNotifications";
inline constexpr const char* kDistributedNotificationMember = "Notification";

struct DistributedNotification {
  std::string name;
  std::string object;
  /// Always a JSON object.
  nlohmann::json userInfo = nlohmann::json::object();
};

using DistributedNotificationHandler = std::function<void(const DistributedNotification&)>;

class DistributedNotificationCenter {
public:
  using ObserverToken = std::uint64_t;

  virtual ~DistributedNotificationCenter() = default;

  /// The session bus center of the main run loop, created on first use. The first call must be
  /// made on the main thread.
  static std::shared_ptr<DistributedNotificationCenter> defaultCenter();

  /// A center on the session bus at `address` (nullopt: the usual session bus lookup through
  /// DBUS_SESSION_BUS_ADDRESS), served by `loop`. Call on `loop`'s thread.
  static std::shared_ptr<DistributedNotificationCenter> sessionBusCenter(RunLoop& loop,
                                                                         std::optional<std::string> address);

  /// False when no bus could be reached, and while a lost connection is being re-established.
  virtual bool isAvailable() const = 0;

  /// Broadcasts one notification; `userInfo` must be a JSON object (or null for an empty one).
  virtual void postNotificationName(const std::string& name, const std::string& object,
                                    const nlohmann::json& userInfo) = 0;

  /// Delivers every later notification with exactly this name and object to `handler`.
  /// Returns a token for removeObserver (0 when the center has no bus at all, or when the bus or
  /// the match syntax refuses the name or object). An observer added while the center is waiting
  /// for its bus or reconnecting is served once the connection is there.
  virtual ObserverToken addObserver(const std::string& name, const std::string& object,
                                    DistributedNotificationHandler handler) = 0;
  virtual void removeObserver(ObserverToken token) = 0;

  /// Calls `handler` on the loop's thread each time the center has connected after a time
  /// without a bus: a bus that started after the center, or a reconnection after a loss. Not
  /// called for a connection made while the center was created. Notifications posted from the
  /// handler go out on the new connection. One handler; a later call replaces it.
  virtual void setConnectedHandler(std::function<void()> handler) { (void)handler; }

  /// Waits, for at most `timeout`, until the bus has received every notification posted so far
  /// from the loop's thread (one round trip to the bus, never to an observer), for programs that
  /// exit right after posting. False without a connection, or when the bus does not answer.
  /// Call on the loop's thread.
  virtual bool flush(std::chrono::milliseconds timeout) {
    (void)timeout;
    return isAvailable();
  }

  /// How many notifications posted through this center never reached the connection: dropped
  /// while it was away, or refused by sd-bus (a text that is not UTF-8, a value it cannot send).
  /// A program that exits after posting tells success by this count staying the same.
  virtual std::uint64_t failedPosts() const { return 0; }

  /// What requestName found.
  struct NameRequest {
    bool owned = false;                 // this connection is the name's primary owner
    std::optional<std::uint32_t> owner; // when not: the process id of the connection that is
    std::string failure;                // when not and no owner is known: why
  };

  /// Asks the bus to make this connection the primary owner of the well-known `name`, never
  /// queueing for it, and letting a later request with `replace` take it over. `replace` takes it
  /// from an owner that allows it. `lost` runs on the loop when the name is taken away (another
  /// connection replaced this one, or it could not be owned again after a reconnection).
  /// Call on the loop's thread.
  virtual NameRequest requestName(const std::string& name, bool replace, std::function<void()> lost) {
    (void)name, (void)replace, (void)lost;
    return {false, std::nullopt, "no D-Bus session bus"};
  }
};

/// The bus match rule for observing `name` and `object`: each value in single quotes, or, when
/// it contains an apostrophe, unquoted with every apostrophe written \'.
std::string DistributedNotificationMatchRule(const std::string& name, const std::string& object);

/// False for names and objects no match rule can select exactly (a backslash, or an apostrophe
/// together with a comma): addObserver refuses them.
bool DistributedNotificationCanMatch(const std::string& value);

} // namespace platform
