// The opening handshake (RFC 6455 section 4.1): the upgrade request, the response head read
// through a byte-sequence consumer, and its checks before the connection opens.
#include "websocket/WSWebSocketConnection.hpp"

#include "platform/Base64.hpp"
#include "platform/Log.hpp"
#include "websocket/WSDelegateController.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"
#include "websocket/detail/WSRandom.hpp"

#include <algorithm>

namespace {

/// The 4 bytes that end an HTTP head.
constexpr std::uint8_t CRLFCRLFBytes[] = {'\r', '\n', '\r', '\n'};
/// RFC 6455 section 4.1: the protocol version the client speaks.
constexpr std::uint8_t WSWebSocketProtocolVersion = 13;
/// Section 4.1: a 16-byte nonce, 24 characters in Base64.
constexpr std::uint64_t WSSecKeyLength = 16;

} // namespace

// ---- opening handshake ------------------------------------------------------------------

void WSWebSocketConnection::didConnect() {
  assertOnWorkQueue();
  XLOG("WebSocket", "Connected");
  _secKey = platform::Base64EncodedStringFromData(WSRandomData(WSSecKeyLength));
  if (_secKey.size() != 24) fatalInternalError("the handshake key is not 24 characters");
  auto request = WSHTTPConnectMessageCreate(_urlRequest, _secKey, WSWebSocketProtocolVersion,
                                            requestCookies(), _requestedProtocols);
  if (!request) {
    // The connector could not have connected to a URL without a host.
    _failWithError(
        WSErrorWithCodeDescription(WSErrorCode::InvalidResponse, "Invalid URL for the upgrade request."));
    return;
  }
  _writeData(WSDispatchData(request->serialize()));
  _readHTTPHeader();
}

void WSWebSocketConnection::_readHTTPHeader() {
  if (!_receivedHTTPHeaders) _receivedHTTPHeaders = std::make_shared<WSHTTPResponse>();
  _readUntilBytes(
      CRLFCRLFBytes, sizeof CRLFCRLFBytes, [](WSWebSocketConnection& connection, const WSDispatchData* data) {
        auto& response = *connection._receivedHTTPHeaders;
        data->applyRegions([&](std::span<const std::uint8_t> region) {
          response.appendBytes(region);
          return !response.isHeaderComplete() && !response.failed();
        });
        if (response.failed()) {
          // A malformed head, or one longer than WSMaxHTTPHeadSize without its end.
          XLOG("WebSocket", "Invalid response head: %@", response.failureReason());
          connection._failWithError(
              WSErrorWithCodeDescription(WSErrorCode::InvalidResponse, "Invalid HTTP response from server."));
        } else if (response.isHeaderComplete()) {
          XLOG("WebSocket", "Finished reading headers %@", response.headerFieldsDescription());
          connection._httpHeadersDidFinish();
        } else {
          connection._readHTTPHeader();
        }
      });
}

void WSWebSocketConnection::_httpHeadersDidFinish() {
  const WSHTTPResponse& response = *_receivedHTTPHeaders;
  {
    std::lock_guard lock(_propertyLock);
    _publishedHTTPHeaders = _receivedHTTPHeaders;
  }
  int status = response.statusCode();
  if (status >= 400) {
    XLOG("WebSocket", "Request failed with response code %ld", static_cast<long>(status));
    _failWithError(WSHTTPErrorWithCodeDescription(
        status, WSErrorCode::BadResponseCode,
        "Received bad response code from server: " + std::to_string(status) + "."));
    return;
  }
  if (!WSCheckHandshake(response, _secKey)) {
    _failWithError(
        WSErrorWithCodeDescription(WSErrorCode::InvalidResponse, "Invalid Sec-WebSocket-Accept response."));
    return;
  }
  // RFC 6455 section 4.1: a switch of protocols that does not name the WebSocket upgrade is
  // not one, whatever its accept value. Other statuses below 400 are taken as they are.
  if (status == 101 && !WSResponseHasUpgradeFields(response)) {
    _failWithError(
        WSErrorWithCodeDescription(WSErrorCode::InvalidResponse, "Invalid HTTP upgrade response."));
    return;
  }
  if (auto negotiated = response.headerField("Sec-WebSocket-Protocol")) {
    bool offered = _requestedProtocols && std::find(_requestedProtocols->begin(), _requestedProtocols->end(),
                                                    *negotiated) != _requestedProtocols->end();
    if (!offered) {
      _failWithError(WSErrorWithCodeDescription(
          WSErrorCode::InvalidResponse, "Server specified Sec-WebSocket-Protocol that wasn't requested."));
      return;
    }
    std::lock_guard lock(_propertyLock);
    _protocol = *negotiated;
  }
  setReadyState(WS_OPEN);
  // The first frame is requested before the delegate hears of the open connection.
  _readFrameNew();
  auto self = shared_from_this();
  _delegateController->performDelegateBlock([self](const auto& delegate, WSDelegateAvailableMethods m) {
    if (delegate && m.didOpen) delegate->webSocketDidOpen(*self);
  });
}

// ---- reading the response head ---------------------------------------------------------

void WSWebSocketConnection::_addConsumerWithScanner(WSIOScanner scanner, WSIOHandler callback) {
  assertOnWorkQueue();
  _consumers.push_back(_consumerPool.consumerWithScanner(std::move(scanner), std::move(callback)));
  _pumpScanner();
}

void WSWebSocketConnection::_readUntilBytes(const std::uint8_t* bytes, std::size_t length,
                                            WSIOHandler callback) {
  // The unread bytes only grow while this request waits (nothing is consumed before it), so the
  // scanner resumes where it stopped instead of walking the whole head again on every read.
  struct Progress {
    std::uint64_t walked = 0;
    std::size_t matched = 0;
  };
  auto progress = std::make_shared<Progress>();
  WSIOScanner scanner = [bytes, length, progress](const WSDispatchData& unread) -> std::uint64_t {
    std::uint64_t found = 0;
    unread.subrange(progress->walked, unread.size()).applyRegions([&](std::span<const std::uint8_t> region) {
      for (std::uint8_t byte : region) {
        ++progress->walked;
        if (byte == bytes[progress->matched]) {
          if (++progress->matched == length) {
            found = progress->walked;
            return false;
          }
        } else {
          // A differing byte may itself start the sequence ("\r\n\r\r\n\r\n").
          progress->matched = byte == bytes[0] ? 1 : 0;
        }
      }
      return true;
    });
    if (found) {
      *progress = Progress{};
      return found;
    }
    // A head that grows past the bound without its end is handed over whole: the response
    // parser then fails it instead of the buffer growing without bound.
    if (unread.size() > WSMaxHTTPHeadSize) return unread.size();
    return 0;
  };
  _addConsumerWithScanner(std::move(scanner), std::move(callback));
}

bool WSWebSocketConnection::_pumpConsumer() {
  const std::uint64_t available = _readBuffer.size() - _readBufferOffset;
  if (available == 0) return false;
  // The only requests are byte-sequence scans (the handshake's head).
  WSIOConsumer& consumer = *_consumers.front();
  const std::uint64_t take = consumer.consumer()(_readBuffer.subrange(_readBufferOffset, available));
  if (take == 0) return false;

  WSDispatchData slice = _readBuffer.subrange(_readBufferOffset, take);
  _consumeReadBuffer(take);
  // Removed before its handler runs, so that the handler may queue the next request.
  auto finished = std::move(_consumers.front());
  _consumers.pop_front();
  finished->handler()(*this, &slice);
  _consumerPool.returnConsumer(std::move(finished));
  return true;
}

void WSWebSocketConnection::_consumeReadBuffer(std::uint64_t length) {
  _readBufferOffset += length;
  const std::uint64_t size = _readBuffer.size();
  if (_readBufferOffset == size) {
    // Everything read: the blocks the bytes were read into are free again.
    _readBuffer.clear();
    _readBufferOffset = 0;
  } else if (_readBufferOffset > WSDefaultBufferSize() && _readBufferOffset > size / 2) {
    // Release what has been handed out in batches: only when the consumed part is larger than
    // a page and than half of the buffer.
    _readBuffer = _readBuffer.subrange(_readBufferOffset, size - _readBufferOffset);
    _readBufferOffset = 0;
  }
}
