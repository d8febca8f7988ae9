#pragma once
// Socket streams: the input/output stream pair a connection reads and writes, with the stream
// events the connection and the connector are driven by.
//
// A pair shares one non-blocking TCP socket. Opening either stream resolves the host, tries
// every address in order and connects; "localhost" that does not resolve is the loopback
// interface all the same (RFC 6761 section 6.3). Events reach the stream's delegate on the thread of the
// run loop the stream is scheduled in, one at a time and in order; an event that happens while
// the stream is scheduled nowhere or has no delegate is held and delivered once it is scheduled
// and has one. read/write and the status and availability queries may be called from any thread
// (the connection reads and writes on its work queue).
//
// Run-loop modes are not modelled: a stream is scheduled in a run loop or not.

#include "websocket/WSError.hpp"
#include "websocket/security/WSSecurityPolicy.hpp"

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class RunLoop;
}

/// Bit values of the stream events; each delegate call carries exactly one.
enum WSStreamEvent : unsigned {
  WSStreamEventNone = 0,
  WSStreamEventOpenCompleted = 1,
  WSStreamEventHasBytesAvailable = 2,
  WSStreamEventHasSpaceAvailable = 4,
  WSStreamEventErrorOccurred = 8,
  WSStreamEventEndEncountered = 16,
};

enum WSStreamStatus : unsigned {
  WSStreamStatusNotOpen = 0,
  WSStreamStatusOpening = 1,
  WSStreamStatusOpen = 2,
  WSStreamStatusReading = 3,
  WSStreamStatusWriting = 4,
  WSStreamStatusAtEnd = 5,
  WSStreamStatusClosed = 6,
  WSStreamStatusError = 7,
};

/// Property keys. Values are std::any; a stream stores every key and acts on those it knows.
/// TLS seam: the security options (WSStreamSecurityOptions, as the security policy fills them)
/// that the TLS layer of the stream applies; the peer trust (WSServerTrust, read only) once a TLS
/// session has produced one; the peer name for a tunnel (std::string), set by the connector.
inline constexpr const char* WSStreamPropertySSLSettings = "kCFStreamPropertySSLSettings";
inline constexpr const char* WSStreamPropertySSLPeerTrust = "kCFStreamPropertySSLPeerTrust";
inline constexpr const char* WSStreamPropertySocketPeerName = "_kCFStreamPropertySocketPeerName";
/// Proxy seam: SOCKS configuration for the connector (value defined by the proxy code).
inline constexpr const char* WSStreamPropertySOCKSProxyConfiguration = "NSStreamSOCKSProxyConfigurationKey";
/// The network service type (std::string such as "NSStreamNetworkServiceTypeVoIP"); carried only.
inline constexpr const char* WSStreamPropertyNetworkServiceType = "NSStreamNetworkServiceType";
/// Socket send buffer size in bytes (int), applied when the socket connects. For tests that need
/// short writes.
inline constexpr const char* WSStreamPropertySendBufferSize = "WSStreamPropertySendBufferSize";

class WSStream;

class WSStreamDelegate {
public:
  virtual ~WSStreamDelegate() = default;
  virtual void streamHandleEvent(WSStream& stream, WSStreamEvent event) = 0;
};

class WSStream {
public:
  virtual ~WSStream() = default;

  /// Starts opening (the first stream of a pair to open starts the connect). Returns at once.
  virtual void open() = 0;
  /// Closes this side; no event is delivered afterwards. The socket closes with the second side.
  virtual void close() = 0;
  virtual WSStreamStatus streamStatus() const = 0;
  virtual std::optional<WSError> streamError() const = 0;

  /// Held weakly; nullptr clears it.
  virtual void setDelegate(std::weak_ptr<WSStreamDelegate> delegate) = 0;
  virtual void scheduleInRunLoop(platform::RunLoop& loop) = 0;
  virtual void removeFromRunLoop(platform::RunLoop& loop) = 0;

  /// An empty std::any when the key was never set (or, for the peer trust, not known yet).
  virtual std::any propertyForKey(const std::string& key) const = 0;
  virtual bool setProperty(std::any value, const std::string& key) = 0;

  /// For log lines ("%@").
  virtual std::string description() const = 0;
};

class WSInputStream : public WSStream {
public:
  /// Bytes read (> 0), 0 when nothing could be read now or at the end, -1 on error.
  virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  /// True while a read can return data (or the end) without blocking.
  virtual bool hasBytesAvailable() = 0;
};

class WSOutputStream : public WSStream {
public:
  /// Bytes taken (possibly fewer than offered, 0 when the socket is full), -1 on error.
  virtual std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual bool hasSpaceAvailable() = 0;
};

struct WSStreamPair {
  std::shared_ptr<WSInputStream> input;
  std::shared_ptr<WSOutputStream> output;
};

/// The send buffer size every socket made from now on gets when it connects (0: the system's).
/// For tests that need short writes on the client's side.
void WSStreamSetSendBufferSizeForTesting(int bytes);

/// Makes name resolution of exactly these host names fail from now on, as when getaddrinfo finds
/// nothing (an empty list restores normal resolution). For tests of the "localhost" fallback.
void WSStreamSetUnresolvableHostsForTesting(std::vector<std::string> hosts);

/// A stream pair for a TCP connection to host:port. Nothing happens until a stream is opened.
/// When "localhost" (or a name under it) does not resolve, the pair connects to 127.0.0.1, then
/// ::1, and says so in one log line.
WSStreamPair WSStreamCreatePairWithSocketToHost(const std::string& host, std::uint16_t port);

/// Makes every later WSStreamCreatePairWithSocketToHost return factory(host, port) instead of a
/// socket pair (an empty function restores sockets). For tests and fuzzing with in-memory streams.
using WSStreamPairFactory = std::function<WSStreamPair(const std::string& host, std::uint16_t port)>;
void WSStreamSetPairFactoryForTesting(WSStreamPairFactory factory);
