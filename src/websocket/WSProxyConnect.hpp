#pragma once
// Opens the TCP connection for one WebSocket opening and hands an open stream pair to its
// caller. This connector takes the direct path (no proxy applies): it resolves the target's
// host, connects to every address in order, and hands the streams over when the input stream
// has opened. Proxy discovery, SOCKS and HTTP CONNECT tunnels plug in before _openConnection.
//
// Lifetime: owned by the connection while connecting; the completion is called exactly once,
// on the network thread (or on the caller's thread for a URL without a host).

#include "websocket/WSError.hpp"
#include "websocket/stream/WSStream.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class WSProxyConnect : public WSStreamDelegate, public std::enable_shared_from_this<WSProxyConnect> {
public:
  /// With an error and no streams, or with no error and two open streams that have no delegate
  /// and are scheduled nowhere.
  using Completion =
      std::function<void(const std::optional<WSError>& error, std::shared_ptr<WSInputStream> input,
                         std::shared_ptr<WSOutputStream> output)>;

  explicit WSProxyConnect(std::string url);
  ~WSProxyConnect() override;

  void openNetworkStreamWithCompletion(Completion completion);

  void streamHandleEvent(WSStream& stream, WSStreamEvent event) override;

  const std::string& url() const { return _url; }

private:
  void _configureProxy();
  void _openConnection();
  bool _initializeStreams();
  void _didConnect();
  void _failWithError(const std::optional<WSError>& error);

  Completion _completion;
  bool _connectionRequiresSSL;
  std::string _url;
  std::shared_ptr<WSInputStream> _inputStream;
  std::shared_ptr<WSOutputStream> _outputStream;
};
