#include "websocket/WSProxyConnect.hpp"

#include "diagnostics/XErrorHandler.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/detail/WSURLUtilities.hpp"

#include <netdb.h>

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
  XLOG("WebSocket", "configureProxy");
  // No proxy settings are consulted here: the connection goes direct.
  XLOG("WebSocket", "configureProxy no proxies");
  _openConnection();
}

void WSProxyConnect::_openConnection() {
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
  std::uint16_t port = components->explicitPort.value_or(0);
  if (port == 0) port = _connectionRequiresSSL ? 443 : 80;
  XLOG("WebSocket", "ProxyConnect connect stream to %@:%u", components->host, static_cast<unsigned>(port));
  WSStreamPair pair = WSStreamCreatePairWithSocketToHost(components->host, port);
  _inputStream = std::move(pair.input);
  _outputStream = std::move(pair.output);
  _inputStream->setDelegate(weak_from_this());
  _outputStream->setDelegate(weak_from_this());
  return true;
}

void WSProxyConnect::streamHandleEvent(WSStream& stream, WSStreamEvent event) {
  XLOG("WebSocket", "stream handleEvent %lu", static_cast<unsigned long>(event));
  switch (event) {
  case WSStreamEventOpenCompleted:
    if (&stream == _inputStream.get()) _didConnect();
    break;
  case WSStreamEventHasBytesAvailable:
    // Only a proxy answers before the hand-over; the direct path never reads here.
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

void WSProxyConnect::_didConnect() {
  XLOG("WebSocket", "_didConnect, return streams");
  auto input = std::move(_inputStream);
  auto output = std::move(_outputStream);
  input->removeFromRunLoop(WS_networkRunLoop());
  input->setDelegate({});
  output->setDelegate({});
  auto completion = std::move(_completion);
  if (completion) completion(std::nullopt, std::move(input), std::move(output));
}

void WSProxyConnect::_failWithError(const std::optional<WSError>& error) {
  XLOG("WebSocket", "_failWithError, return error");
  WSError failure = error ? *error : WSHTTPErrorWithCodeDescription(500, 2132, "Proxy Error");
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
