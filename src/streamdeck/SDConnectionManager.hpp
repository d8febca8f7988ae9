#pragma once
// The client side of the Stream Deck plug-in protocol.
//
// Owns the one WebSocket connection to the Stream Deck application ("ws://localhost:<port>"),
// registers the plug-in when it opens, decodes every incoming JSON event and hands it to its
// delegate (SDEventsProtocol, held weakly), and offers one operation per outgoing command. When
// the connection closes, or fails after it had opened (the host crashed or reset it), it lets the
// delegate know, waits for the log and ends the process with status 0; a connection that fails
// to open is only logged and the process stays.
//
// Wire format: every outgoing message is one WebSocket TEXT message (sendString). The Linux
// Stream Deck host acts only on text messages after registration and drops binary ones, while
// the Stream Deck application accepts both. Messages are pretty-printed JSON (two-space indent),
// except "setSettings", which is compact. Incoming text and binary messages are both decoded.
//
// Output while the host is not reading: once the connection holds kOutputHighWater bytes
// unsent, messages wait here instead, and a newer setTitle, setImage, setSettings or
// setFeedbackLayout for a context replaces the waiting one (the host only shows, and keeps, the
// latest), so these wait at most once per key and kind and are never dropped. Beyond
// kBacklogLimit bytes waiting, the other messages are dropped, counted in one log line per burst.
// When the connection reports its output drained, the waiting messages go out in order.
//
// Threading: main thread only. Connection reports arrive on the main queue (the default delegate
// queue, left unchanged); sends only queue work on the connection and return.
//
// Lifetime: created once by initWithPort (it needs to be in a shared_ptr before it hands itself
// to the delegate and the connection) and owned by the entry point for the process's life.

#include "streamdeck/SDEventsProtocol.hpp"
#include "websocket/WSWebSocket.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

struct WSURLRequest;

class SDConnectionManager final : public WSWebSocketDelegate,
                                  public std::enable_shared_from_this<SDConnectionManager> {
public:
  /// Creates the connection for a request; the entry point passes WSWebSocket::initWithURLRequest.
  using WebSocketFactory = std::function<std::shared_ptr<WSWebSocket>(const WSURLRequest&)>;
  /// Ends the process with a status.
  using ExitHandler = std::function<void(int status)>;

  /// Stores the values, hands itself to the delegate (setConnectionManager), reads the
  /// information JSON, calls the delegate's launched, and creates and opens the connection. Returns
  /// before the connection is open.
  static std::shared_ptr<SDConnectionManager> initWithPort(std::int32_t port, std::string pluginUUID,
                                                           std::string registerEvent,
                                                           std::optional<std::string> info,
                                                           std::weak_ptr<SDEventsProtocol> delegate,
                                                           const WebSocketFactory& webSocketFactory);

  /// The largest message sent. OpenDeck's WebSocket library refuses frames over 16 MiB and may
  /// drop the connection for one: a longer message is refused with one log line and not sent.
  static constexpr std::size_t kMaximumMessageSize = 16 * 1024 * 1024;
  /// Unsent bytes in the connection from which new messages wait in the backlog instead.
  static constexpr std::size_t kOutputHighWater = 1024 * 1024;
  /// The most bytes of messages waiting in the backlog (room for one message of the largest size).
  static constexpr std::size_t kBacklogLimit = 24 * 1024 * 1024;

  /// Whether setSettings with `settings` for `context` stays within kMaximumMessageSize, so that
  /// a change can be refused before any part of it is sent.
  static bool settingsFit(const nlohmann::json& settings, const std::string& context);

  // ---- Outgoing commands (nullptr means absent) ----
  // The three that carry the engine's values answer false when the message was refused for its
  // size (logged, nothing sent), true otherwise (a failure to send is logged).
  bool setTitle(const nlohmann::json* title, const std::string& context, std::int32_t target);
  bool setImage(const nlohmann::json* image, const std::string& context, std::int32_t target);
  /// "setFeedback" of a dial's touch strip: `feedback` (an object) is the payload as it is; the
  /// host merges it into what the strip shows. Never replaced while waiting: each carries its own
  /// part of the strip.
  bool setFeedback(const nlohmann::json& feedback, const std::string& context);
  /// "setFeedbackLayout": `layout` is a built-in layout name or a path inside the plug-in's folder.
  bool setFeedbackLayout(const std::string& layout, const std::string& context);
  void showAlertForContext(const std::string& context);
  void showOKForContext(const std::string& context);
  bool setSettings(const nlohmann::json& settings, const std::string& context);
  /// Sends nothing when `state` is absent.
  void setState(const nlohmann::json* state, const std::string& context);
  /// Sends nothing when `message` is absent or empty.
  void logMessage(const std::optional<std::string>& message);

  // ---- WSWebSocketDelegate ----
  void webSocketDidOpen(WSWebSocket& webSocket) override;
  void webSocketDidReceiveMessage(WSWebSocket& webSocket, const WSMessage& message) override;
  void webSocketDidFail(WSWebSocket& webSocket, const WSError& error) override;
  void webSocketDidClose(WSWebSocket& webSocket, std::int64_t code, const std::optional<std::string>& reason,
                         bool wasClean) override;
  void webSocketDidDrainOutput(WSWebSocket& webSocket) override;

  /// Ends the process as a close does: the delegate's terminating, the log written, status 0.
  /// Also the end on SIGTERM (which is also what the death of the parent sends).
  void terminate();

  // ---- Properties ----
  std::int32_t port() const { return _port; }
  void setPort(std::int32_t port) { _port = port; }
  const std::shared_ptr<WSWebSocket>& socket() const { return _socket; }
  void setSocket(std::shared_ptr<WSWebSocket> socket) { _socket = std::move(socket); }
  const std::string& pluginUUID() const { return _pluginUUID; }
  void setPluginUUID(std::string uuid) { _pluginUUID = std::move(uuid); }
  const std::string& registerEvent() const { return _registerEvent; }
  void setRegisterEvent(std::string event) { _registerEvent = std::move(event); }
  const std::optional<std::string>& applicationVersion() const { return _applicationVersion; }
  const std::optional<std::string>& applicationPlatform() const { return _applicationPlatform; }
  const std::optional<std::string>& applicationLanguage() const { return _applicationLanguage; }
  const std::optional<nlohmann::json>& devicesInfo() const { return _devicesInfo; }
  std::shared_ptr<SDEventsProtocol> delegate() const { return _delegate.lock(); }
  void setDelegate(std::weak_ptr<SDEventsProtocol> delegate) { _delegate = std::move(delegate); }

  /// Replaces the end of the process after a close (default: flush standard streams and end the
  /// process at once with the status). Returns the previous handler.
  static ExitHandler setExitHandlerForTesting(ExitHandler handler);

private:
  SDConnectionManager() = default;

  void dispatch(const nlohmann::json& message);
  /// False when the message is refused for its size.
  bool send(const nlohmann::json& message, bool pretty, const char* failureFormat);
  /// Keeps a message for when the connection has drained; `key` (event and context) names the
  /// messages that replace each other, empty for one that never does.
  void hold(std::string key, std::string text, const char* failureFormat);
  void sendNow(const std::string& text, const char* failureFormat);

  struct Waiting {
    std::string key;
    std::string text;
    const char* failureFormat;
  };

  std::int32_t _port = 0;
  std::shared_ptr<WSWebSocket> _socket;
  std::string _pluginUUID;
  std::string _registerEvent;
  std::optional<std::string> _applicationVersion;
  std::optional<std::string> _applicationPlatform;
  std::optional<std::string> _applicationLanguage;
  std::optional<nlohmann::json> _devicesInfo;
  std::weak_ptr<SDEventsProtocol> _delegate;
  /// The connection has opened: a failure from now on ends the process.
  bool _opened = false;
  /// Messages waiting for the connection to drain, oldest first; the position of each keyed one
  /// (as a count of messages ever held, _backlogFront being the front's); their bytes, the most
  /// bytes of this burst, and the messages dropped in it.
  std::deque<Waiting> _backlog;
  std::unordered_map<std::string, std::uint64_t> _backlogPositions;
  std::uint64_t _backlogFront = 0;
  std::size_t _backlogBytes = 0;
  std::size_t _backlogPeak = 0;
  std::uint64_t _dropped = 0;
};
