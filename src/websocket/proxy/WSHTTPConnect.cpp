#include "websocket/proxy/WSHTTPConnect.hpp"

#include <cctype>
#include <span>

#include "platform/Base64.hpp"
#include "platform/Log.hpp"

namespace {

// An answer head larger than this is not a proxy's CONNECT answer.
constexpr std::size_t kMaxHeadSize = 64 * 1024;

std::string Trim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

} // namespace

std::string WSHTTPConnectRequest(const std::string& host, std::uint32_t port,
                                 const std::optional<WSProxyCredentials>& credentials, bool forLog) {
  const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::string request = "CONNECT " + name + ":" + std::to_string(port) + " HTTP/1.1\r\nHost: " + name +
                        "\r\nConnection: keep-alive\r\nProxy-Connection: keep-alive\r\n";
  if (credentials) {
    const std::string pair = credentials->username + ":" + credentials->password;
    request += "Proxy-Authorization: Basic " +
               (forLog ? std::string("********")
                       : platform::Base64EncodedStringFromData(
                             std::span(reinterpret_cast<const std::uint8_t*>(pair.data()), pair.size()))) +
               "\r\n";
  }
  return request + "\r\n";
}

std::string WSProxyBadResponseDescription(int status) {
  return "Received bad response code from proxy server: " + std::to_string(status) + ".";
}

std::string WSHTTPConnectResponseReader::headerFieldsDescription() const {
  std::string text = "{";
  for (std::size_t i = 0; i < _fields.size(); ++i)
    text += (i ? ", " : " ") + _fields[i].first + " = " + _fields[i].second;
  return text + (_fields.empty() ? "}" : " }");
}

WSHTTPConnectResponseReader::Result WSHTTPConnectResponseReader::feed(const std::uint8_t* data,
                                                                      std::size_t size) {
  if (_result != Result::NeedMore) {
    _leftover.insert(_leftover.end(), data, data + size);
    return _result;
  }
  const std::size_t searchFrom = _head.size() >= 3 ? _head.size() - 3 : 0;
  _head.append(reinterpret_cast<const char*>(data), size);
  const auto end = _head.find("\r\n\r\n", searchFrom);
  // The cap holds however the answer is cut into reads: a head is refused when the bytes before its
  // blank line's last byte exceed it, which is what a byte-by-byte delivery would have held.
  if (end == std::string::npos || end + 3 > kMaxHeadSize) {
    if (_head.size() > kMaxHeadSize) {
      _status = 500;
      _result = Result::Refused;
      XLOG("WebSocket", "Connect to Proxy Request failed with response code %ld", static_cast<long>(_status));
    }
    return _result;
  }
  _leftover.assign(_head.begin() + static_cast<std::ptrdiff_t>(end + 4), _head.end());
  _head.resize(end);
  return finish();
}

WSHTTPConnectResponseReader::Result WSHTTPConnectResponseReader::finish() {
  // Status line: "HTTP/1.x SSS reason".
  const auto lineEnd = _head.find("\r\n");
  const std::string statusLine = _head.substr(0, lineEnd);
  _status = 500;
  if (statusLine.rfind("HTTP/", 0) == 0) {
    const auto space = statusLine.find(' ');
    if (space != std::string::npos && space + 4 <= statusLine.size() &&
        std::isdigit(static_cast<unsigned char>(statusLine[space + 1])) &&
        std::isdigit(static_cast<unsigned char>(statusLine[space + 2])) &&
        std::isdigit(static_cast<unsigned char>(statusLine[space + 3])) &&
        (space + 4 == statusLine.size() || statusLine[space + 4] == ' '))
      _status = std::stoi(statusLine.substr(space + 1, 3));
  }
  std::size_t at = lineEnd == std::string::npos ? _head.size() : lineEnd + 2;
  while (at < _head.size()) {
    auto next = _head.find("\r\n", at);
    if (next == std::string::npos) next = _head.size();
    const std::string line = _head.substr(at, next - at);
    at = next + 2;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    _fields.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
  XLOG("WebSocket", "Finished reading headers %s", headerFieldsDescription().c_str());
  // Below 299 opens the tunnel; 299 itself is refused, as the connector always did.
  if (_status < 299) {
    XLOG("WebSocket", "proxy connect return %ld, call socket connect", static_cast<long>(_status));
    _result = Result::Accepted;
  } else {
    XLOG("WebSocket", "Connect to Proxy Request failed with response code %ld", static_cast<long>(_status));
    _result = Result::Refused;
  }
  return _result;
}
