#pragma once
// The client side of a SOCKS handshake, as a byte-level state machine with no socket inside.
//
// SOCKS5 (RFC 1928) with no authentication or, when a user name is given, user name and
// password (RFC 1929); SOCKS4a (the host name follows the user id, for the proxy to resolve).
// In both the target's host name goes to the proxy, which resolves it; literal addresses are
// sent as addresses. The caller writes takeOutput() to the socket after construction and after
// every feed(), and feeds what it reads until the state is Connected or Failed. Bytes the proxy
// sent after its reply belong to the tunnel (takeLeftover()).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "websocket/proxy/WSProxySettings.hpp"

/// The SOCKS settings a stream pair is given (the value of its SOCKS proxy configuration
/// property): the proxy to connect to; the streams still name the target.
struct WSSOCKSProxyConfiguration {
  std::string host;
  /// 0 means the entry gave none: 1080 is used.
  std::uint32_t port = 0;
  std::optional<std::string> username;
  std::optional<std::string> password;
  WSSOCKSVersion version = WSSOCKSVersion::V5;

  static WSSOCKSProxyConfiguration fromEntry(const WSProxyEntry& entry);
  std::uint16_t effectivePort() const { return port == 0 ? 1080 : static_cast<std::uint16_t>(port); }
};

/// "ProxyConnect set sock property stream to %@:%u user %@ password %@", with the password
/// written as "********" when there is one (absent values read "(null)").
std::string WSSOCKSProxyLogLine(const WSSOCKSProxyConfiguration& configuration);

class WSSOCKSHandshake {
public:
  enum class State {
    AwaitingMethod, // SOCKS5: greeting sent, waiting for the chosen method
    AwaitingAuth,   // SOCKS5: user name and password sent, waiting for the verdict
    AwaitingReply,  // connect request sent, waiting for the reply
    Connected,      // the proxy reached the target: the socket is the tunnel
    Failed,         // see errorCode() and errorDescription(); sticky
  };

  WSSOCKSHandshake(const WSSOCKSProxyConfiguration& proxy, std::string targetHost, std::uint16_t targetPort);

  State state() const { return _state; }
  /// Bytes to send to the proxy now; empties the buffer.
  std::vector<std::uint8_t> takeOutput() { return std::exchange(_output, {}); }
  /// Bytes read from the proxy, in any split.
  State feed(const std::uint8_t* data, std::size_t size);
  /// The proxy closed the connection before the handshake was done.
  void endOfStream();

  /// errno-style code when Failed: ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ETIMEDOUT, EACCES
  /// (authentication), EPROTO (not SOCKS), ECONNRESET (closed early), EINVAL (unusable input).
  int errorCode() const { return _errorCode; }
  const std::string& errorDescription() const { return _errorDescription; }
  std::vector<std::uint8_t> takeLeftover() { return std::exchange(_leftover, {}); }

private:
  void fail(int code, std::string description);
  void sendConnectRequest();
  void step();

  WSSOCKSProxyConfiguration _proxy;
  std::string _targetHost;
  std::uint16_t _targetPort;
  State _state = State::AwaitingMethod;
  std::vector<std::uint8_t> _input;
  std::vector<std::uint8_t> _output;
  std::vector<std::uint8_t> _leftover;
  int _errorCode = 0;
  std::string _errorDescription;
};
