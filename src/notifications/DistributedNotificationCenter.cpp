#include "notifications/DistributedNotificationCenter.hpp"

#include "notifications/DistributedNotificationCodec.hpp"
#include "notifications/FlatpakSandbox.hpp"
#include "notifications/SessionBusAddress.hpp"
#include "platform/Log.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
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
         kDistributedNotificationMember + "',path='" + kDistributedNotificationPath +
         "',arg0=" + matchValue(name) + ",arg1=" + matchValue(object);
}

namespace {

using nlohmann::json;

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

// Reconnection: the first attempt comes this long after a loss, each failed attempt doubles the
// wait up to the longest one. A reconnection that lasted less than the longest wait does not
// reset it, so a bus that accepts and drops at once is tried every few seconds, not in a loop.
constexpr std::chrono::milliseconds kFirstReconnectDelay{100};
constexpr std::chrono::milliseconds kLongestReconnectDelay{5000};
// Posts dropped while disconnected: the first ones each get a log line, the rest are counted.
constexpr std::uint64_t kLoggedDrops = 10;

std::unique_ptr<sdbus::IConnection> Connect(const std::optional<std::string>& address) {
  return address ? sdbus::createSessionBusConnectionWithAddress(*address)
                 : sdbus::createSessionBusConnection();
}

// How long a bus has to answer the sign-of-life question before an attempt gives up on it.
constexpr std::chrono::milliseconds kProbeTimeout{2000};

// The failures of connecting to a bus that is down: no socket at the path (ENOENT, which sd-bus
// names FileNotFound), or a socket nobody listens on any more.
bool NobodyListens(const sdbus::Error& error) {
  const std::string& name = error.getName();
  return name == "org.freedesktop.DBus.Error.FileNotFound" || name == "System.Error.ENOENT" ||
         name == "System.Error.ECONNREFUSED";
}

// Why a bus could not be reached, after the sentence that names its address: nothing when no
// address was found at all (sd-bus says ENOMEDIUM, "No medium found", which the address note
// already explains), else the system's reason (sd-bus's message ends with it in parentheses).
std::string FailureForSentence(const sdbus::Error& error) {
  if (error.getName() == "System.Error.ENOMEDIUM") return "";
  const std::string& message = error.getMessage();
  const auto open = message.rfind(" (");
  if (open != std::string::npos && message.ends_with(')'))
    return " (" + message.substr(open + 2, message.size() - open - 3) + ")";
  return " (" + message + ")";
}

// Serves one session bus connection on a run loop, without a thread of its own: the connection's
// descriptor and timeout are waited for by the loop's event engine, and sd-bus is only called on
// the loop's thread. When the connection is lost the center reconnects to the same address on a
// timer of the loop (never while connected: an idle center causes no wake-ups) and adds every
// observer's match rule again on the new connection.
class SessionBusCenter final : public DistributedNotificationCenter,
                               public std::enable_shared_from_this<SessionBusCenter> {
public:
  SessionBusCenter(RunLoop& loop, std::optional<std::string> address)
      : _loop(loop), _io(detail::IoContext(loop)), _address(std::move(address)), _descriptor(_io),
        _timer(_io), _reconnectTimer(_io) {}

  ~SessionBusCenter() override {
    // Match slots belong to the connection and go before it; the timers' waits end with them.
    close();
    _observers.clear();
    _names.clear();
  }

  /// Connects for the first time. A unix socket nobody listens at yet (a session whose bus starts
  /// after the plug-in) is waited for the way a lost bus is; any other failure throws sdbus::Error.
  void start() {
    try {
      open();
    } catch (const sdbus::Error& error) {
      if (!NobodyListens(error) || !SessionBusUnixSocketOf(_address)) throw;
      XLOG("display",
           "Distributed notifications are unavailable: no D-Bus session bus yet (%@); waiting for %@",
           error.getName(), SessionBusAddressForMessages(_address));
      scheduleReconnect();
      return;
    }
    _everConnected = true;
    schedulePump();
  }

  bool isAvailable() const override { return _connected.load(std::memory_order_acquire); }

  void postNotificationName(const std::string& name, const std::string& object,
                            const json& userInfo) override {
    if (!_loop.isCurrent()) {
      std::weak_ptr<SessionBusCenter> weak = weak_from_this();
      _loop.queue().async([weak, name, object, userInfo] {
        if (auto self = weak.lock()) self->postNotificationName(name, object, userInfo);
      });
      return;
    }
    if (!_connection) {
      drop(name);
      return;
    }
    try {
      auto signal = _emitter->createSignal(kDistributedNotificationInterface, kDistributedNotificationMember);
      signal << name << object;
      DistributedNotificationWriteUserInfo(signal, userInfo);
      // Queued on the connection; sd-bus writes what the socket takes now and keeps the rest
      // for the write readiness handled in arm().
      _emitter->emitSignal(signal);
    } catch (const sdbus::Error& error) {
      // A connection that is closing refuses sends before its read side shows it: draining
      // tells a lost bus (the notification is dropped like any other while it is away) from
      // a refusal of this one message.
      drain();
      schedulePump(); // delivers what draining read
      if (_connection) {
        ++_failedPosts;
        XLOG("display", "Failed to post the distributed notification %@: %@", name,
             std::string(error.what()));
      } else {
        drop(name);
      }
      return;
    }
    arm();
  }

  // Never kept for later: a key press replayed after an outage would be a wrong press.
  void drop(const std::string& name) {
    ++_dropped;
    ++_failedPosts;
    if (_dropped <= kLoggedDrops)
      XLOG("display", "Dropped the distributed notification %@: the D-Bus session bus is not connected%@",
           name, _dropped == kLoggedDrops ? " (further ones are only counted until it is back)" : "");
  }

  ObserverToken addObserver(const std::string& name, const std::string& object,
                            DistributedNotificationHandler handler) override {
    if (!DistributedNotificationCanMatch(name) || !DistributedNotificationCanMatch(object)) {
      XLOG("display",
           "Failed to observe the distributed notification %@: its name or object cannot be matched", name);
      return 0;
    }
    auto observer = std::make_shared<Observer>();
    observer->token = ++_lastToken;
    observer->name = name;
    observer->object = object;
    observer->handler = std::move(handler);
    if (_connection) {
      try {
        // AddMatch is a method call on the bus and waits for its reply (a local round trip);
        // observers are added at start-up, before the loop serves anything else.
        observer->slot = addMatch(*_connection, observer);
      } catch (const sdbus::Error& error) {
        // A lost connection is not this observer's fault: it is kept and its rule is added
        // on the next connection. A bus that refuses the rule refuses the observer.
        drain();
        schedulePump(); // delivers what draining read
        if (_connection) {
          XLOG("display", "Failed to observe the distributed notification %@: %@", name,
               std::string(error.what()));
          return 0;
        }
      }
    }
    // Without a connection the rule is added when the center reconnects.
    _observers[observer->token] = observer;
    // The call may have read other messages into the connection's queue.
    schedulePump();
    return observer->token;
  }

  void removeObserver(ObserverToken token) override { _observers.erase(token); }

  std::uint64_t failedPosts() const override { return _failedPosts; }

  NameRequest requestName(const std::string& name, bool replace, std::function<void()> lost) override {
    auto claim = std::make_shared<NameClaim>();
    claim->name = name;
    claim->lost = std::move(lost);
    auto result = claimName(claim, replace);
    if (result.owned) _names.push_back(claim);
    schedulePump(); // the calls may have read other messages into the connection's queue
    return result;
  }

  void setConnectedHandler(std::function<void()> handler) override { _connectedHandler = std::move(handler); }

  bool flush(std::chrono::milliseconds timeout) override {
    if (!_connection) return false;
    try {
      // The bus handles a connection's messages in order: its answer to a call sent after the
      // signals means it has taken them all (and routed them to their subscribers).
      auto bus = sdbus::createProxy(*_connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
      std::string id;
      bus->callMethod("GetId").onInterface("org.freedesktop.DBus").withTimeout(timeout).storeResultsTo(id);
    } catch (const sdbus::Error&) {
      drain();
      schedulePump();
      return false;
    }
    // The call may have read other messages into the connection's queue.
    schedulePump();
    return true;
  }

private:
  struct Observer {
    ObserverToken token = 0;
    std::string name;
    std::string object;
    DistributedNotificationHandler handler;
    sdbus::Slot slot; // the match on the current connection, if any
  };

  // A well-known name this center owns, to be owned again after a reconnection.
  struct NameClaim {
    std::string name;
    std::function<void()> lost;
    sdbus::Slot slot; // the NameLost match on the current connection
  };

  // RequestName, with the NameLost match first so that a takeover right after it is seen.
  NameRequest claimName(const std::shared_ptr<NameClaim>& claim, bool replace) {
    if (!_connection) return {false, std::nullopt, "not connected to the D-Bus session bus"};
    // org.freedesktop.DBus.RequestName flags and replies.
    constexpr std::uint32_t kAllowReplacement = 1, kReplaceExisting = 2, kDoNotQueue = 4;
    constexpr std::uint32_t kPrimaryOwner = 1, kAlreadyOwner = 4;
    try {
      std::weak_ptr<SessionBusCenter> weak = weak_from_this();
      std::weak_ptr<NameClaim> weakClaim = claim;
      claim->slot = _connection->addMatch(
          "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameLost',"
          "path='/org/freedesktop/DBus',arg0='" +
              claim->name + "'",
          [weak, weakClaim](sdbus::Message&) {
            // Called inside sd-bus: the owner hears of it from the loop.
            auto self = weak.lock();
            if (!self) return;
            boost::asio::post(self->_io, [weak, weakClaim] {
              if (auto self = weak.lock()) self->nameLost(weakClaim);
            });
          });
      auto bus = sdbus::createProxy(*_connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
      std::uint32_t reply = 0;
      bus->callMethod("RequestName")
          .onInterface("org.freedesktop.DBus")
          .withArguments(claim->name, kAllowReplacement | kDoNotQueue | (replace ? kReplaceExisting : 0))
          .storeResultsTo(reply);
      if (reply == kPrimaryOwner || reply == kAlreadyOwner) return {true, std::nullopt, {}};
      claim->slot.reset();
      std::uint32_t pid = 0;
      try {
        bus->callMethod("GetConnectionUnixProcessID")
            .onInterface("org.freedesktop.DBus")
            .withArguments(claim->name)
            .storeResultsTo(pid);
      } catch (const sdbus::Error&) {
        return {false, std::nullopt, "the name has another owner"};
      }
      return {false, pid, {}};
    } catch (const sdbus::Error& error) {
      claim->slot.reset();
      drain();
      return {false, std::nullopt, error.what()};
    }
  }

  void nameLost(const std::weak_ptr<NameClaim>& weakClaim) {
    auto claim = weakClaim.lock();
    if (!claim) return;
    auto it = std::find(_names.begin(), _names.end(), claim);
    if (it == _names.end()) return;
    _names.erase(it);
    claim->slot.reset();
    XLOG("display", "Lost the D-Bus name %@ to another connection", claim->name);
    if (claim->lost) claim->lost();
  }

  // After a reconnection: each name is asked for again, never taken from an owner that came
  // meanwhile.
  void claimNamesAgain() {
    for (auto& claim : std::vector<std::shared_ptr<NameClaim>>(_names)) {
      if (claimName(claim, false).owned) continue;
      boost::asio::post(_io, [weak = weak_from_this(), weakClaim = std::weak_ptr<NameClaim>(claim)] {
        if (auto self = weak.lock()) self->nameLost(weakClaim);
      });
    }
  }

  sdbus::Slot addMatch(sdbus::IConnection& connection, const std::shared_ptr<Observer>& observer) {
    std::weak_ptr<Observer> weakObserver = observer;
    return connection.addMatch(
        DistributedNotificationMatchRule(observer->name, observer->object),
        [this, weakObserver](sdbus::Message& message) { received(weakObserver, message); });
  }

  // Makes a connection ready to serve: its emitter, the descriptor Asio watches and every
  // observer's match rule. Throws sdbus::Error and then leaves nothing behind.
  void open() {
    auto connection = Connect(_address);
    auto emitter = sdbus::createObject(*connection, kDistributedNotificationPath);
    // The descriptor Asio watches is a duplicate, so that sd-bus closing its own descriptor on a
    // disconnect can never leave Asio holding a number that has been reused. Close-on-exec, like
    // sd-bus's own: a program started by the engine must never hold the engine's bus stream.
    int fd = ::fcntl(connection->getEventLoopPollData().fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw sdbus::Error("com.zorbel.Error.Descriptor", "dup failed");
    boost::asio::posix::stream_descriptor descriptor(_io);
    boost::system::error_code ec;
    descriptor.assign(fd, ec);
    if (ec) {
      ::close(fd);
      throw sdbus::Error("com.zorbel.Error.Descriptor", ec.message());
    }
    // Declared after the connection: on failure the slots go first.
    std::vector<std::pair<std::shared_ptr<Observer>, sdbus::Slot>> slots;
    for (auto& [token, observer] : _observers) slots.emplace_back(observer, addMatch(*connection, observer));

    _connection = std::move(connection);
    _emitter = std::move(emitter);
    _descriptor = std::move(descriptor);
    for (auto& [observer, slot] : slots) observer->slot = std::move(slot);
    _connectedAt = std::chrono::steady_clock::now();
    _connected.store(true, std::memory_order_release);
  }

  // Lets go of the connection (its match slots first) and of every wait on it.
  void close() {
    if (_probe) {
      boost::system::error_code ignored;
      _probe->socket.close(ignored);
      _probe.reset();
    }
    for (auto& [token, observer] : _observers) observer->slot.reset();
    for (auto& claim : _names) claim->slot.reset();
    _timer.cancel();
    _reconnectTimer.cancel();
    boost::system::error_code ignored;
    _descriptor.close(ignored);
    _timerArmed = false;
    _readWaiting = false;
    _writeWaiting = false;
    ++_generation; // waits of the closed connection that still report are ignored
    _emitter.reset();
    _connection.reset();
    _connected.store(false, std::memory_order_release);
  }

  void lost(const std::string& why) {
    if (!_connection) return;
    XLOG("display",
         "Distributed notifications are unavailable: the D-Bus session bus connection was lost (%@); "
         "reconnecting to %@",
         why, _address ? *_address : std::string("the session bus"));
    // A connection that a reconnection made and that was lost again soon does not start the
    // waits over: the bus may accept and drop at once.
    bool flapping = _reconnected && std::chrono::steady_clock::now() - _connectedAt < kLongestReconnectDelay;
    close();
    _reconnectDelay = flapping ? std::min(_reconnectDelay * 2, kLongestReconnectDelay) : kFirstReconnectDelay;
    _attempts = 0;
    _dropped = 0;
    scheduleReconnect();
  }

  void scheduleReconnect() {
    std::weak_ptr<SessionBusCenter> weak = weak_from_this();
    _reconnectTimer.expires_after(_reconnectDelay);
    _reconnectTimer.async_wait([weak](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec) return;
      self->reconnect();
    });
  }

  void reconnect() {
    if (_connection) return;
    ++_attempts;
    if (auto socket = SessionBusUnixSocketOf(_address)) {
      probe(*socket);
      return;
    }
    connectNow();
  }

  // sd-bus connects and authenticates synchronously, and waits up to 90 s for a bus that accepts
  // the connection but does not answer (a stopped or wedged daemon): on the loop's thread that
  // would stall everything else. So the socket is first asked for a sign of life without
  // blocking: an empty AUTH, which a bus answers at once with the mechanisms it offers.
  struct Probe {
    explicit Probe(boost::asio::io_context& io) : socket(io) {}
    boost::asio::local::stream_protocol::socket socket;
    std::array<char, 128> reply{};
  };

  void probe(const std::string& socketPath) {
    auto state = std::make_shared<Probe>(_io);
    boost::asio::local::stream_protocol::endpoint endpoint;
    try {
      endpoint = boost::asio::local::stream_protocol::endpoint(socketPath);
    } catch (const boost::system::system_error&) {
      connectNow(); // a path no endpoint holds: let sd-bus say what is wrong with it
      return;
    }
    _probe = state;
    std::weak_ptr<SessionBusCenter> weak = weak_from_this();
    _reconnectTimer.expires_after(kProbeTimeout);
    _reconnectTimer.async_wait([weak, state](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec || self->_probe != state) return;
      self->probeDone(state, "the bus accepts connections but does not answer");
    });
    // Opened here, close-on-exec: Asio would open it without the flag.
    boost::system::error_code opened;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return probeDone(state, std::string("socket: ") + std::strerror(errno));
    state->socket.assign(boost::asio::local::stream_protocol(), fd, opened);
    if (opened) {
      ::close(fd);
      return probeDone(state, opened.message());
    }
    state->socket.async_connect(endpoint, [weak, state](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || self->_probe != state) return;
      if (ec) return self->probeDone(state, ec.message());
      static constexpr char kEmptyAuth[] = "\0AUTH\r\n";
      boost::asio::async_write(state->socket, boost::asio::buffer(kEmptyAuth, sizeof kEmptyAuth - 1),
                               [weak, state](const boost::system::error_code& ec, std::size_t) {
                                 auto self = weak.lock();
                                 if (!self || self->_probe != state) return;
                                 if (ec) return self->probeDone(state, ec.message());
                                 state->socket.async_read_some(
                                     boost::asio::buffer(state->reply),
                                     [weak, state](const boost::system::error_code& ec, std::size_t) {
                                       auto self = weak.lock();
                                       if (!self || self->_probe != state) return;
                                       if (ec) return self->probeDone(state, ec.message());
                                       self->probeDone(state, std::nullopt);
                                     });
                               });
    });
  }

  void probeDone(const std::shared_ptr<Probe>& state, const std::optional<std::string>& failure) {
    _probe.reset();
    boost::system::error_code ignored;
    state->socket.close(ignored);
    _reconnectTimer.cancel();
    if (failure) {
      failedAttempt(*failure, true);
      return;
    }
    connectNow();
  }

  void connectNow() {
    try {
      open();
    } catch (const sdbus::Error& error) {
      // While the bus is down every attempt fails at once (no socket, or nobody listening on
      // it); those are expected and only traced. A bus that answers but then fails is logged.
      failedAttempt(NobodyListens(error) ? error.getName() : std::string(error.what()), NobodyListens(error));
      return;
    }
    XLOG("display",
         _everConnected
             ? "Distributed notifications are available again: reconnected to the D-Bus session bus "
               "(attempt %@, %@ notifications dropped meanwhile)"
             : "Distributed notifications are available: connected to the D-Bus session bus "
               "(attempt %@, %@ notifications dropped meanwhile)",
         _attempts, _dropped);
    _everConnected = true;
    _dropped = 0;
    _reconnected = true;
    claimNamesAgain();
    schedulePump();
    if (_connectedHandler) {
      // A copy: the handler may replace itself.
      auto handler = _connectedHandler;
      handler();
    }
  }

  void failedAttempt(const std::string& why, bool expected) {
    _reconnectDelay = std::min(_reconnectDelay * 2, kLongestReconnectDelay);
    if (expected)
      XLOG("Verbose", "Reconnecting to the D-Bus session bus: attempt %@ failed (%@), next in %@ ms",
           _attempts, why, static_cast<std::int64_t>(_reconnectDelay.count()));
    else
      XLOG("display", "Reconnecting to the D-Bus session bus failed: %@", why);
    scheduleReconnect();
  }

  void received(const std::weak_ptr<Observer>& observer, sdbus::Message& message) {
    try {
      _pending.emplace_back(observer, DistributedNotificationRead(message));
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

  // Lets sd-bus process everything it has (reading until the socket is drained). A lost
  // connection shows here: sd-bus reports the reset, dispatches its local "Disconnected" signal
  // and then refuses with ENOTCONN.
  void drain() {
    if (!_connection) return;
    try {
      while (_connection->processPendingRequest()) {
      }
    } catch (const sdbus::Error& error) {
      lost(error.what());
    }
  }

  // Processes everything sd-bus has, then hands the received notifications to their observers,
  // outside of sd-bus, one after the other.
  void pump() {
    drain();
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

  // Waits for the socket to be ready for `type`, then pumps; `waiting` says a wait is pending,
  // so that each kind has one at a time.
  void waitOnce(boost::asio::posix::descriptor_base::wait_type type, bool SessionBusCenter::*waiting) {
    if (this->*waiting) return;
    this->*waiting = true;
    std::weak_ptr<SessionBusCenter> weak = weak_from_this();
    _descriptor.async_wait(type,
                           [weak, waiting, generation = _generation](const boost::system::error_code& ec) {
                             auto self = weak.lock();
                             if (!self || self->_generation != generation) return;
                             self.get()->*waiting = false;
                             if (!ec) self->pump();
                           });
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
    const std::uint64_t generation = _generation;
    if (data.events & POLLIN)
      waitOnce(boost::asio::posix::descriptor_base::wait_read, &SessionBusCenter::_readWaiting);
    if (data.events & POLLOUT)
      waitOnce(boost::asio::posix::descriptor_base::wait_write, &SessionBusCenter::_writeWaiting);
    if (data.timeout_usec != std::numeric_limits<std::uint64_t>::max()) {
      // sd-bus deadlines are CLOCK_MONOTONIC, the clock behind steady_clock on Linux.
      auto deadline = std::chrono::steady_clock::time_point(std::chrono::microseconds(data.timeout_usec));
      if (!_timerArmed || deadline != _timerDeadline) {
        _timerArmed = true;
        _timerDeadline = deadline;
        _timer.expires_at(deadline);
        _timer.async_wait([weak, generation, deadline](const boost::system::error_code& ec) {
          auto self = weak.lock();
          if (!self || ec || self->_generation != generation || self->_timerDeadline != deadline) return;
          self->_timerArmed = false;
          self->pump();
        });
      }
    }
  }

  RunLoop& _loop;
  boost::asio::io_context& _io;
  const std::optional<std::string> _address;
  std::unique_ptr<sdbus::IConnection> _connection;
  std::unique_ptr<sdbus::IObject> _emitter;
  boost::asio::posix::stream_descriptor _descriptor;
  boost::asio::steady_timer _timer;
  std::chrono::steady_clock::time_point _timerDeadline{};
  bool _timerArmed = false;
  bool _readWaiting = false;
  bool _writeWaiting = false;
  std::uint64_t _generation = 0;
  // Read by isAvailable() from any thread; everything else belongs to the loop's thread.
  std::atomic<bool> _connected{false};
  std::chrono::steady_clock::time_point _connectedAt{};
  boost::asio::steady_timer _reconnectTimer;
  std::chrono::milliseconds _reconnectDelay = kFirstReconnectDelay;
  bool _reconnected = false;     // the current or last connection was made by reconnect()
  bool _everConnected = false;   // false while waiting for a bus that was not there at the start
  std::shared_ptr<Probe> _probe; // the sign of life being asked for, if any
  std::uint64_t _attempts = 0;
  std::uint64_t _dropped = 0;
  /// Called after each connection that reconnect() made.
  std::function<void()> _connectedHandler;
  ObserverToken _lastToken = 0;
  std::map<ObserverToken, std::shared_ptr<Observer>> _observers;
  std::vector<std::shared_ptr<NameClaim>> _names;
  std::uint64_t _failedPosts = 0;
  std::vector<std::pair<std::weak_ptr<Observer>, DistributedNotification>> _pending;
};

} // namespace

std::shared_ptr<DistributedNotificationCenter>
DistributedNotificationCenter::sessionBusCenter(RunLoop& loop, std::optional<std::string> address) {
  try {
    auto center = std::make_shared<SessionBusCenter>(loop, address);
    center->start();
    return center;
  } catch (const sdbus::Error& error) {
    XLOG("display", "Distributed notifications are unavailable: %@%@", SessionBusUnreachableSentence(address),
         FailureForSentence(error));
    return std::make_shared<UnavailableCenter>();
  }
}

std::shared_ptr<DistributedNotificationCenter> DistributedNotificationCenter::defaultCenter() {
  static std::once_flag once;
  static std::shared_ptr<DistributedNotificationCenter> center;
  RunOnce(once, [] {
    center = sessionBusCenter(RunLoop::main(), std::nullopt);
    FlatpakReportSessionBus(center->isAvailable());
  });
  return center;
}

} // namespace platform
