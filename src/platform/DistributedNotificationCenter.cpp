#include "platform/DistributedNotificationCenter.hpp"

#include "diagnostics/XErrorHandler.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

// Match values are read twice, by the bus and by sd-bus on our side, and the two readers agree
// only on part of the syntax: inside quotes the bus takes a backslash literally while sd-bus
// takes it as an escape, and sd-bus cannot reopen a quote once closed. A value without
// apostrophes is quoted as is; one with apostrophes goes unquoted with each written \' (both
// readers take that as an apostrophe), which leaves a comma as the end of the value. Values
// with a backslash, or with both an apostrophe and a comma, have no common form.
bool DistributedNotificationCanMatch(const std::string& value) {
  if (value.find('\\') != std::string::npos) return false;
  return value.find('\'') == std::string::npos || value.find(',') == std::string::npos;
}

std::string DistributedNotificationMatchRule(const std::string& name, const std::string& object) {
  auto matchValue = [](const std::string& value) {
    if (value.find('\'') == std::string::npos) return "'" + value + "'";
    std::string out;
    for (char c : value) {
      if (c == '\'')
        out += "\\'";
      else
        out += c;
    }
    return out;
  };
  return std::string("type='signal',interface='") + kDistributedNotificationInterface + "',member='" +
         kDistributedNotificationMember + "',arg0=" + matchValue(name) + ",arg1=" + matchValue(object);
}

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

DistributedNotification ReadNotification(sdbus::Message& message) {
  DistributedNotification notification;
  message >> notification.name >> notification.object;
  std::string type, contents;
  message.peekType(type, contents);
  if (AtEnd(type)) return notification; // a sender without userInfo: an empty one
  json userInfo = ReadValue(message);
  if (userInfo.is_object()) notification.userInfo = std::move(userInfo);
  return notification;
}

// ---- The unavailable center ---------------------------------------------------------------------

class UnavailableCenter final : public DistributedNotificationCenter {
public:
  bool isAvailable() const override { return false; }
  void postNotificationName(const std::string&, const std::string&, const json&) override {}
  ObserverToken addObserver(const std::string&, const std::string&, DistributedNotificationHandler) override {
    return 0;
  }
  void removeObserver(ObserverToken) override {}
};

// ---- The session bus center ---------------------------------------------------------------------

class SessionBusCenter final : public DistributedNotificationCenter,
                               public std::enable_shared_from_this<SessionBusCenter> {
public:
  SessionBusCenter(RunLoop& loop, std::unique_ptr<sdbus::IConnection> connection)
      : _loop(loop), _io(detail::IoContext(loop)), _connection(std::move(connection)), _descriptor(_io),
        _timer(_io) {
    _emitter = sdbus::createObject(*_connection, kDistributedNotificationPath);
    // The descriptor Asio watches is a duplicate, so that sd-bus closing its own descriptor on a
    // disconnect can never leave Asio holding a number that has been reused.
    int fd = ::dup(_connection->getEventLoopPollData().fd);
    if (fd < 0) throw sdbus::Error("com.zorbel.Error.Descriptor", "dup failed");
    _descriptor.assign(fd);
  }

  ~SessionBusCenter() override {
    _observers.clear();
    boost::system::error_code ignored;
    _descriptor.close(ignored);
  }

  void start() { schedulePump(); }

  bool isAvailable() const override { return _connection != nullptr; }

  void postNotificationName(const std::string& name, const std::string& object,
                            const json& userInfo) override {
    if (!_loop.isCurrent()) {
      std::weak_ptr<SessionBusCenter> weak = weak_from_this();
      _loop.queue().async([weak, name, object, userInfo] {
        if (auto self = weak.lock()) self->postNotificationName(name, object, userInfo);
      });
      return;
    }
    if (!_connection) return;
    try {
      auto signal = _emitter->createSignal(kDistributedNotificationInterface, kDistributedNotificationMember);
      signal << name << object;
      WriteDictionary(signal, userInfo);
      // Queued on the connection; sd-bus writes what the socket takes now and keeps the rest
      // for the write readiness handled in arm().
      _emitter->emitSignal(signal);
    } catch (const sdbus::Error& error) {
      XLOG("display", "Failed to post the distributed notification %@: %@", name, std::string(error.what()));
    }
    arm();
  }

  ObserverToken addObserver(const std::string& name, const std::string& object,
                            DistributedNotificationHandler handler) override {
    if (!_connection) return 0;
    if (!DistributedNotificationCanMatch(name) || !DistributedNotificationCanMatch(object)) {
      XLOG("display",
           "Failed to observe the distributed notification %@: its name or object cannot be matched", name);
      return 0;
    }
    auto observer = std::make_shared<Observer>();
    observer->token = ++_lastToken;
    observer->handler = std::move(handler);
    std::weak_ptr<Observer> weakObserver = observer;
    try {
      // AddMatch is a method call on the bus and waits for its reply (a local round trip);
      // observers are added at start-up, before the loop serves anything else.
      observer->slot = _connection->addMatch(
          DistributedNotificationMatchRule(name, object),
          [this, weakObserver](sdbus::Message& message) { received(weakObserver, message); });
    } catch (const sdbus::Error& error) {
      XLOG("display", "Failed to observe the distributed notification %@: %@", name,
           std::string(error.what()));
      return 0;
    }
    _observers[observer->token] = observer;
    // The call may have read other messages into the connection's queue.
    schedulePump();
    return observer->token;
  }

  void removeObserver(ObserverToken token) override { _observers.erase(token); }

private:
  struct Observer {
    ObserverToken token = 0;
    DistributedNotificationHandler handler;
    sdbus::Slot slot;
  };

  void received(const std::weak_ptr<Observer>& observer, sdbus::Message& message) {
    try {
      _pending.emplace_back(observer, ReadNotification(message));
    } catch (const sdbus::Error& error) {
      XLOG("display", "Ignored a malformed distributed notification: %@", std::string(error.what()));
    }
  }

  void schedulePump() {
    std::weak_ptr<SessionBusCenter> weak = weak_from_this();
    boost::asio::post(_io, [weak] {
      if (auto self = weak.lock()) self->pump();
    });
  }

  // Processes everything sd-bus has (reading until the socket is drained), then hands the
  // received notifications to their observers, outside of sd-bus, one after the other.
  void pump() {
    if (!_connection) return;
    try {
      while (_connection->processPendingRequest()) {
      }
    } catch (const sdbus::Error& error) {
      lost(error.what());
    }
    auto pending = std::move(_pending);
    _pending.clear();
    for (auto& [weakObserver, notification] : pending) {
      auto observer = weakObserver.lock();
      if (!observer || !_observers.count(observer->token)) continue;
      try {
        observer->handler(notification);
      } catch (const std::exception& error) {
        XLOG("display", "A distributed notification handler failed for %@: %@", notification.name,
             std::string(error.what()));
      }
    }
    arm();
  }

  // Waits for what sd-bus asks for: readable, writable (a partly written signal) or its timeout.
  void arm() {
    if (!_connection) return;
    sdbus::IConnection::PollData data{};
    try {
      data = _connection->getEventLoopPollData();
    } catch (const sdbus::Error& error) {
      lost(error.what());
      return;
    }
    std::weak_ptr<SessionBusCenter> weak = weak_from_this();
    if ((data.events & POLLIN) && !_readWaiting) {
      _readWaiting = true;
      _descriptor.async_wait(boost::asio::posix::descriptor_base::wait_read,
                             [weak](const boost::system::error_code& ec) {
                               auto self = weak.lock();
                               if (!self) return;
                               self->_readWaiting = false;
                               if (!ec) self->pump();
                             });
    }
    if ((data.events & POLLOUT) && !_writeWaiting) {
      _writeWaiting = true;
      _descriptor.async_wait(boost::asio::posix::descriptor_base::wait_write,
                             [weak](const boost::system::error_code& ec) {
                               auto self = weak.lock();
                               if (!self) return;
                               self->_writeWaiting = false;
                               if (!ec) self->pump();
                             });
    }
    if (data.timeout_usec != std::numeric_limits<std::uint64_t>::max()) {
      // sd-bus deadlines are CLOCK_MONOTONIC, the clock behind steady_clock on Linux.
      auto deadline = std::chrono::steady_clock::time_point(std::chrono::microseconds(data.timeout_usec));
      if (!_timerArmed || deadline != _timerDeadline) {
        _timerArmed = true;
        _timerDeadline = deadline;
        _timer.expires_at(deadline);
        _timer.async_wait([weak, deadline](const boost::system::error_code& ec) {
          auto self = weak.lock();
          if (!self || ec || self->_timerDeadline != deadline) return;
          self->_timerArmed = false;
          self->pump();
        });
      }
    }
  }

  void lost(const std::string& why) {
    XLOG("display",
         "Distributed notifications are unavailable: the D-Bus session bus connection was lost (%@)", why);
    _observers.clear();
    _pending.clear();
    boost::system::error_code ignored;
    _timer.cancel();
    _descriptor.close(ignored);
    _emitter.reset();
    _connection.reset();
  }

  RunLoop& _loop;
  boost::asio::io_context& _io;
  std::unique_ptr<sdbus::IConnection> _connection;
  std::unique_ptr<sdbus::IObject> _emitter;
  boost::asio::posix::stream_descriptor _descriptor;
  boost::asio::steady_timer _timer;
  std::chrono::steady_clock::time_point _timerDeadline{};
  bool _timerArmed = false;
  bool _readWaiting = false;
  bool _writeWaiting = false;
  ObserverToken _lastToken = 0;
  std::map<ObserverToken, std::shared_ptr<Observer>> _observers;
  std::vector<std::pair<std::weak_ptr<Observer>, DistributedNotification>> _pending;
};

} // namespace

std::shared_ptr<DistributedNotificationCenter>
DistributedNotificationCenter::sessionBusCenter(RunLoop& loop, std::optional<std::string> address) {
  try {
    auto connection = address ? sdbus::createSessionBusConnectionWithAddress(*address)
                              : sdbus::createSessionBusConnection();
    auto center = std::make_shared<SessionBusCenter>(loop, std::move(connection));
    center->start();
    return center;
  } catch (const sdbus::Error& error) {
    XLOG("display", "Distributed notifications are unavailable: no D-Bus session bus (%@)",
         std::string(error.what()));
    return std::make_shared<UnavailableCenter>();
  }
}

std::shared_ptr<DistributedNotificationCenter> DistributedNotificationCenter::defaultCenter() {
  static std::once_flag once;
  static std::shared_ptr<DistributedNotificationCenter> center;
  RunOnce(once, [] { center = sessionBusCenter(RunLoop::main(), std::nullopt); });
  return center;
}

} // namespace platform
