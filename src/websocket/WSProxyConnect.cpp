#include "websocket/WSProxyConnect.hpp"

#include "platform/Log.hpp"
#include "platform/Queue.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/proxy/WSHTTPConnect.hpp"
#include "websocket/proxy/WSProxyDiscovery.hpp"
#include "websocket/proxy/WSSOCKSHandshake.hpp"

#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// Discovery may wait for a PAC download (10 s at most) and its script (2 s at most): it runs
// here, never on the caller's (main) thread. One queue for every connector of the process.
platform::SerialQueue& DiscoveryQueue() {
  static auto* queue = new platform::SerialQueue("com.zorbel.websocket.proxy.discovery");
  return *queue;
}

// Runs the blocking writes of CONNECT requests (the budgeted polling below).
platform::SerialQueue& WriteQueue() {
  static auto* queue = new platform::SerialQueue("com.zorbel.websocket.proxy.write");
  return *queue;
}

std::uint16_t TargetPort(const WSURLComponents& components, bool requiresSSL) {
  std::uint16_t port = components.explicitPort.value_or(0);
  return port != 0 ? port : (requiresSSL ? 443 : 80);
}

} // namespace

WSProxyConnect::WSProxyConnect(std::string url)
    : _connectionRequiresSSL(WSURLRequiresSSL(url)), _url(std::move(url)) {}

WSProxyConnect::~WSProxyConnect() {
  if (_inputStream) {
    _inputStream->removeFromRunLoop(WS_networkRunLoop());
    _inputStream->setDelegate({});
    _inputStream->close();
  }
  if (_outputStream) {
    _outputStream->setDelegate({});
    _outputStream->close();
  }
}

void WSProxyConnect::openNetworkStreamWithCompletion(Completion completion) {
  _completion = std::move(completion);
  _configureProxy();
}

void WSProxyConnect::_configureProxy() {
  const auto components = WSURLGetComponents(_url);
  const WSProxySettings settings = WSProxySettings::fromEnvironment();
  if (!components || !settings.autoProxy) {
    // Without a PAC file discovery only reads the environment: it stays on this thread.
    if (components) _readProxySetting(WSDiscoverProxy(components->host, _connectionRequiresSSL, settings));
    _openConnection();
    return;
  }
  std::weak_ptr<WSProxyConnect> weak = shared_from_this();
  DiscoveryQueue().async([weak, host = components->host, ssl = _connectionRequiresSSL, settings] {
    if (!weak.lock()) return;
    WSProxyEntry entry = WSDiscoverProxy(host, ssl, settings);
    if (auto self = weak.lock()) {
      self->_readProxySetting(entry);
      self->_openConnection();
    }
  });
}

void WSProxyConnect::_readProxySetting(const WSProxyEntry& entry) {
  // Discovery has logged the entry; HTTPS proxies are tunnelled through like HTTP ones.
  if (entry.type == WSProxyType::HTTP || entry.type == WSProxyType::HTTPS) {
    _httpProxyHost = entry.host;
    _httpProxyPort = entry.port;
    _httpProxyUsername = entry.username;
    _httpProxyPassword = entry.password;
  } else if (entry.type == WSProxyType::SOCKS) {
    _socksProxyHost = entry.host;
    _socksProxyPort = entry.port;
    _socksProxyUsername = entry.username;
    _socksProxyPassword = entry.password;
    _socksVersion = entry.socksVersion == WSSOCKSVersion::V4a ? 4 : 5;
  }
}

void WSProxyConnect::_openConnection() {
  std::lock_guard lock(_lock);
  if (!_initializeStreams()) return;
  _inputStream->scheduleInRunLoop(WS_networkRunLoop());
  _outputStream->open();
  _inputStream->open();
}

bool WSProxyConnect::_initializeStreams() {
  auto components = WSURLGetComponents(_url);
  if (!components) {
    // A URL without a host cannot be resolved; the stream layer would report the same.
    _failWithError(
        WSErrorWithDomainCodeDescription("kCFStreamErrorDomainNetDB", EAI_NONAME, "The URL names no host."));
    return false;
  }
  std::string host = components->host;
  std::uint32_t port = TargetPort(*components, _connectionRequiresSSL);
  if (!_httpProxyHost.empty()) {
    host = _httpProxyHost;
    port = _httpProxyPort == 0 ? 80 : _httpProxyPort;
  }
  XLOG("WebSocket", "ProxyConnect connect stream to %@:%u", host, static_cast<unsigned>(port));
  WSStreamPair pair = WSStreamCreatePairWithSocketToHost(host, static_cast<std::uint16_t>(port));
  _inputStream = std::move(pair.input);
  _outputStream = std::move(pair.output);
  if (!_socksProxyHost.empty()) {
    WSSOCKSProxyConfiguration configuration{_socksProxyHost, _socksProxyPort, _socksProxyUsername,
                                            _socksProxyPassword,
                                            _socksVersion == 4 ? WSSOCKSVersion::V4a : WSSOCKSVersion::V5};
    // The password never reaches the log.
    XLOG("WebSocket", "%@", WSSOCKSProxyLogLine(configuration));
    // The streams still name the target: the SOCKS proxy reaches it.
    _inputStream->setProperty(configuration, WSStreamPropertySOCKSProxyConfiguration);
    _outputStream->setProperty(configuration, WSStreamPropertySOCKSProxyConfiguration);
  }
  _inputStream->setDelegate(weak_from_this());
  _outputStream->setDelegate(weak_from_this());
  return true;
}

void WSProxyConnect::streamHandleEvent(WSStream& stream, WSStreamEvent event) {
  std::lock_guard lock(_lock);
  XLOG("WebSocket", "stream handleEvent %lu", static_cast<unsigned long>(event));
  switch (event) {
  case WSStreamEventOpenCompleted:
    if (&stream == _inputStream.get()) {
      if (!_httpProxyHost.empty())
        _proxyDidConnect();
      else
        _didConnect();
    }
    break;
  case WSStreamEventHasBytesAvailable:
    if (&stream == _inputStream.get()) _processInputStream();
    break;
  case WSStreamEventErrorOccurred:
  case WSStreamEventEndEncountered:
    _failWithError(stream.streamError());
    break;
  case WSStreamEventNone:
  case WSStreamEventHasSpaceAvailable:
    XLOG("WebSocket", "(default)  %@", stream);
    break;
  }
}

void WSProxyConnect::_proxyDidConnect() {
  XLOG("WebSocket", "Proxy Connected");
  auto components = WSURLGetComponents(_url);
  std::optional<WSProxyCredentials> credentials;
  if (_httpProxyUsername || _httpProxyPassword)
    credentials = WSProxyCredentials{_httpProxyUsername.value_or(""), _httpProxyPassword.value_or("")};
  const std::uint32_t port = TargetPort(*components, _connectionRequiresSSL);
  const std::string request = WSHTTPConnectRequest(components->host, port, credentials);
  // The log shows that credentials were sent, never what they are.
  XLOG("WebSocket", "Proxy sending %@", WSHTTPConnectRequest(components->host, port, credentials, true));
  _writeData(std::vector<std::uint8_t>(request.begin(), request.end()));
}

void WSProxyConnect::_writeData(std::vector<std::uint8_t> data) {
  std::weak_ptr<WSProxyConnect> weak = weak_from_this();
  auto output = _outputStream;
  WriteQueue().async([weak, output, data = std::move(data)] {
    // Five seconds for the whole request, polling for space every 100 microseconds; the
    // network thread is never blocked.
    long budget = 5'000'000;
    std::size_t written = 0;
    while (written < data.size()) {
      if (!weak.lock() || output->streamStatus() == WSStreamStatusClosed) return;
      if (output->hasSpaceAvailable()) {
        const std::ptrdiff_t n = output->write(data.data() + written, data.size() - written);
        if (n < 0) {
          if (auto self = weak.lock()) self->_failWithError(output->streamError());
          return;
        }
        written += static_cast<std::size_t>(n);
        if (written == data.size()) return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      budget -= 100;
      if (budget < 0) {
        if (auto self = weak.lock())
          self->_failWithError(
              WSHTTPErrorWithCodeDescription(408, WSErrorCode::BadResponseCode, "Proxy timeout"));
        return;
      }
      if (output->streamStatus() == WSStreamStatusError) {
        if (auto self = weak.lock()) self->_failWithError(output->streamError());
        return;
      }
    }
  });
}

void WSProxyConnect::_processInputStream() {
  if (!_inputStream || _httpProxyHost.empty()) return;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(getpagesize()));
  const std::ptrdiff_t n = _inputStream->read(buffer.data(), buffer.size());
  if (n <= 0) return;
  if (!_receivedHTTPHeaders) _receivedHTTPHeaders = std::make_unique<WSHTTPConnectResponseReader>();
  switch (_receivedHTTPHeaders->feed(buffer.data(), static_cast<std::size_t>(n))) {
  case WSHTTPConnectResponseReader::Result::NeedMore:
    break;
  case WSHTTPConnectResponseReader::Result::Accepted:
    _didConnect();
    break;
  case WSHTTPConnectResponseReader::Result::Refused:
    _failWithError(WSHTTPErrorWithCodeDescription(_receivedHTTPHeaders->statusCode(),
                                                  WSErrorCode::BadResponseCode,
                                                  _receivedHTTPHeaders->failureDescription()));
    break;
  }
}

void WSProxyConnect::_didConnect() {
  XLOG("WebSocket", "_didConnect, return streams");
  if (_connectionRequiresSSL && !_httpProxyHost.empty()) {
    // The TLS session on this tunnel is for the target, not for the proxy.
    auto components = WSURLGetComponents(_url);
    XLOG("WebSocket", "proxy set peer name to real host %@", components->host);
    _outputStream->setProperty(components->host, WSStreamPropertySocketPeerName);
  }
  _receivedHTTPHeaders.reset();
  auto input = std::move(_inputStream);
  auto output = std::move(_outputStream);
  input->removeFromRunLoop(WS_networkRunLoop());
  input->setDelegate({});
  output->setDelegate({});
  auto completion = std::move(_completion);
  if (completion) completion(std::nullopt, std::move(input), std::move(output));
}

void WSProxyConnect::_failWithError(const std::optional<WSError>& error) {
  std::lock_guard lock(_lock);
  if (!_completion) return;
  XLOG("WebSocket", "_failWithError, return error");
  WSError failure =
      error ? *error : WSHTTPErrorWithCodeDescription(500, WSErrorCode::BadResponseCode, "Proxy Error");
  _receivedHTTPHeaders.reset();
  if (_inputStream) {
    _inputStream->setDelegate({});
    _inputStream->removeFromRunLoop(WS_networkRunLoop());
    _inputStream->close();
    _inputStream.reset();
  }
  if (_outputStream) {
    _outputStream->setDelegate({});
    _outputStream->close();
    _outputStream.reset();
  }
  auto completion = std::move(_completion);
  if (completion) completion(failure, nullptr, nullptr);
}
