#pragma once
// The face of the WebSocket client for its users: a client connection (RFC 6455) to a ws or
// wss URL, its ready states, and the delegate through which it reports.
//
// Calling order: create; set the delegate (and, if wanted, a delegate queue) before open();
// call open(); send only after webSocketDidOpen(); finish with close(), or wait for
// webSocketDidClose() or webSocketDidFail(). Whether a queued message was written is never
// reported; a later write failure arrives as webSocketDidFail().
//
// Threading: send and close may be called from any thread; they check the state, queue the
// work on the connection's own work queue and return at once. Every report runs
// asynchronously on the delegate queue (the main queue unless chosen otherwise), one at a time
// and in order. A connection keeps itself alive from open() until its clean-up has run.

#include "websocket/WSError.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {
class Queue;
class RunLoop;
} // namespace platform

class WSWebSocket;
class WSSecurityPolicy;
class WSDelegateController;
struct WSURLRequest;
// The handshake's HTTP pieces (websocket/detail/WSHTTPConnectMessage.hpp), for the code that reads
// or sets them.
class WSHTTPResponse;
struct WSHTTPCookie;

/// Binary message payloads.
using WSData = std::vector<std::uint8_t>;
/// Subprotocols offered to the server, or none.
using WSProtocols = std::optional<std::vector<std::string>>;
/// A complete data message: text (UTF-8, checked) or bytes.
using WSMessage = std::variant<std::string, WSData>;

enum WSReadyState : std::int64_t {
  WS_CONNECTING = 0,
  WS_OPEN = 1,
  WS_CLOSING = 2,
  WS_CLOSED = 3,
};

/// Reports of a connection. Every method is optional: the defaults do nothing, and
/// webSocketShouldConvertTextFrameToString() answers true.
class WSWebSocketDelegate {
public:
  virtual ~WSWebSocketDelegate() = default;

  /// The opening handshake succeeded; the connection is open.
  virtual void webSocketDidOpen(WSWebSocket& webSocket);
  /// A data message is complete: a string for text, bytes for binary (or for text the delegate
  /// declined to have converted). Called before the typed variants below.
  virtual void webSocketDidReceiveMessage(WSWebSocket& webSocket, const WSMessage& message);
  virtual void webSocketDidReceiveMessageWithString(WSWebSocket& webSocket, const std::string& string);
  virtual void webSocketDidReceiveMessageWithData(WSWebSocket& webSocket, const WSData& data);
  /// Asked for every complete text message before the calls above; false delivers bytes.
  virtual bool webSocketShouldConvertTextFrameToString(WSWebSocket& webSocket);
  /// A ping arrived; the pong is queued after this returns.
  virtual void webSocketDidReceivePing(WSWebSocket& webSocket, const WSData& data);
  virtual void webSocketDidReceivePong(WSWebSocket& webSocket, const WSData& data);
  /// The connection failed; no close report follows.
  virtual void webSocketDidFail(WSWebSocket& webSocket, const WSError& error);
  /// The connection closed (at most once, never after a failure report).
  virtual void webSocketDidClose(WSWebSocket& webSocket, std::int64_t code,
                                 const std::optional<std::string>& reason, bool wasClean);
  /// Everything sent before the last reportWhenOutputDrains() has been written to the socket.
  virtual void webSocketDidDrainOutput(WSWebSocket& webSocket);
};

class WSWebSocket {
public:
  virtual ~WSWebSocket() = default;

  /// A connecting connection for the request's URL (the request must carry one), offering no
  /// subprotocol, with the default TLS policy.
  static std::shared_ptr<WSWebSocket> initWithURLRequest(const WSURLRequest& request);

  // The other creation variants. Every one ends in the first: a request (a request without URL
  // throws std::invalid_argument), the subprotocols offered (copied) and a TLS policy. Without a
  // policy argument the policy is the pinning policy when the request carries pinned
  // certificates, else a plain policy validating the chain unless untrusted certificates are
  // allowed. A URL stands for a request with the platform's defaults (60-second time-out).
  static std::shared_ptr<WSWebSocket> initWithURLRequest(const WSURLRequest& request,
                                                         const WSProtocols& protocols,
                                                         std::shared_ptr<WSSecurityPolicy> securityPolicy);
  static std::shared_ptr<WSWebSocket> initWithURLRequest(const WSURLRequest& request,
                                                         const WSProtocols& protocols,
                                                         bool allowsUntrustedSSLCertificates);
  static std::shared_ptr<WSWebSocket> initWithURLRequest(const WSURLRequest& request,
                                                         std::shared_ptr<WSSecurityPolicy> securityPolicy);
  static std::shared_ptr<WSWebSocket> initWithURLRequest(const WSURLRequest& request,
                                                         const WSProtocols& protocols);
  static std::shared_ptr<WSWebSocket> initWithURL(const std::string& url, const WSProtocols& protocols,
                                                  bool allowsUntrustedSSLCertificates);
  static std::shared_ptr<WSWebSocket> initWithURL(const std::string& url, const WSProtocols& protocols);
  static std::shared_ptr<WSWebSocket> initWithURL(const std::string& url);
  static std::shared_ptr<WSWebSocket> initWithURL(const std::string& url,
                                                  std::shared_ptr<WSSecurityPolicy> securityPolicy);

  /// Held weakly.
  virtual void setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate) = 0;
  virtual std::shared_ptr<WSWebSocketDelegate> delegate() const = 0;
  /// Where reports run; nullptr restores the main queue.
  virtual void setDelegateDispatchQueue(std::shared_ptr<platform::Queue> queue) = 0;
  virtual std::shared_ptr<platform::Queue> delegateDispatchQueue() const = 0;
  /// A queue used instead of the dispatch queue (the platform's operation queue); nullptr
  /// brings back the main queue.
  virtual void setDelegateOperationQueue(std::shared_ptr<platform::Queue> queue) = 0;
  virtual std::shared_ptr<platform::Queue> delegateOperationQueue() const = 0;
  virtual WSDelegateController& delegateController() = 0;

  /// Starts connecting and returns at once. Allowed once per connection.
  virtual void open() = 0;

  /// In the open state: queue one message and return true. Otherwise false, and `error` (when
  /// given) is filled with WSErrorCode::InvalidState (2134).
  virtual bool sendString(const std::string& string, WSError* error) = 0;
  virtual bool sendData(const WSData& data, WSError* error) = 0;
  virtual bool sendPing(const WSData& data, WSError* error) = 0;
  /// Binary without copying: the caller leaves the bytes alone; nullptr sends nothing (true).
  virtual bool sendDataNoCopy(std::shared_ptr<const WSData> data, WSError* error) = 0;
  /// Text for a string, binary for bytes or nothing; no error out-argument.
  virtual void send(const std::optional<WSMessage>& message) = 0;

  /// Bytes of the messages given to the send operations that the writer has not taken yet. A
  /// peer that stops reading makes it grow: a user that keeps sending watches it (any thread).
  virtual std::uint64_t bufferedAmount() const = 0;
  /// Asks for one webSocketDidDrainOutput() once all output queued so far has been written to
  /// the socket (soon after the call when it already has). Nothing is reported once the
  /// connection is no longer open. Without polling: the report comes from the writer itself.
  virtual void reportWhenOutputDrains() = 0;

  /// Starts the closing handshake with 1000 and no reason.
  virtual void close() = 0;
  /// Starts the closing handshake; `code` must not be 0.
  virtual void closeWithCode(std::int64_t code, const std::optional<std::string>& reason) = 0;

  virtual std::int64_t readyState() const = 0;
  virtual std::string url() const = 0;
  virtual std::string protocol() const = 0;

  /// Observers of "readyState": called with (prior, old, new) before (prior true) and after each
  /// actual change, on the thread making it, while the change is serialised with others.
  using ReadyStateObserver = std::function<void(bool prior, std::int64_t oldState, std::int64_t newState)>;
  virtual int addReadyStateObserver(ReadyStateObserver observer) = 0;
  virtual void removeReadyStateObserver(int token) = 0;

  /// The server's handshake response once its head is complete; nullptr before.
  virtual std::shared_ptr<const WSHTTPResponse> receivedHTTPHeaders() const = 0;
  /// Cookies sent with the upgrade request; read when the request is built.
  virtual std::optional<std::vector<WSHTTPCookie>> requestCookies() const = 0;
  virtual void setRequestCookies(std::optional<std::vector<WSHTTPCookie>> cookies) = 0;
  /// Stored only: changing it does not alter the TLS policy chosen at creation.
  virtual bool allowsUntrustedSSLCertificates() const = 0;
  virtual void setAllowsUntrustedSSLCertificates(bool allows) = 0;

  /// Where the streams' events arrive (the shared network thread unless scheduled elsewhere
  /// before the streams exist).
  virtual void scheduleInRunLoop(platform::RunLoop& loop) = 0;
  virtual void unscheduleFromRunLoop(platform::RunLoop& loop) = 0;
};
