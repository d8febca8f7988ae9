#include "websocket/proxy/WSSOCKSHandshake.hpp"

#include <arpa/inet.h>

#include <cerrno>

namespace {

constexpr std::uint8_t kSOCKS5 = 0x05;
constexpr std::uint8_t kMethodNone = 0x00;
constexpr std::uint8_t kMethodUserPassword = 0x02;
constexpr std::uint8_t kMethodNoneAcceptable = 0xFF;
constexpr std::uint8_t kCommandConnect = 0x01;
constexpr std::uint8_t kAddressIPv4 = 0x01, kAddressDomain = 0x03, kAddressIPv6 = 0x04;

// RFC 1928 section 6 reply codes as errno values and texts.
std::pair<int, const char*> SOCKS5Reply(std::uint8_t code) {
  switch (code) {
  case 1:
    return {ECONNABORTED, "general SOCKS server failure"};
  case 2:
    return {EACCES, "connection not allowed by ruleset"};
  case 3:
    return {ENETUNREACH, "network unreachable"};
  case 4:
    return {EHOSTUNREACH, "host unreachable"};
  case 5:
    return {ECONNREFUSED, "connection refused"};
  case 6:
    return {ETIMEDOUT, "TTL expired"};
  case 7:
    return {EPROTO, "command not supported"};
  case 8:
    return {EPROTO, "address type not supported"};
  default:
    return {EPROTO, "unknown reply"};
  }
}

void AppendPort(std::vector<std::uint8_t>& out, std::uint16_t port) {
  out.push_back(static_cast<std::uint8_t>(port >> 8));
  out.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

} // namespace

WSSOCKSProxyConfiguration WSSOCKSProxyConfiguration::fromEntry(const WSProxyEntry& entry) {
  return {entry.host, entry.port, entry.username, entry.password, entry.socksVersion};
}

std::string WSSOCKSProxyLogLine(const WSSOCKSProxyConfiguration& c) {
  // Secrets never reach the log.
  return "ProxyConnect set sock property stream to " + c.host + ":" + std::to_string(c.port) + " user " +
         c.username.value_or("(null)") + " password " + (c.password ? "********" : "(null)");
}

WSSOCKSHandshake::WSSOCKSHandshake(const WSSOCKSProxyConfiguration& proxy, std::string targetHost,
                                   std::uint16_t targetPort)
    : _proxy(proxy), _targetHost(std::move(targetHost)), _targetPort(targetPort) {
  if (_targetHost.empty() || _targetHost.size() > 255) {
    fail(EINVAL, "SOCKS proxy cannot be asked for this host name");
    return;
  }
  if (_proxy.version == WSSOCKSVersion::V4a) {
    sendConnectRequest();
    return;
  }
  // Greeting: offer user name and password only when there is a user name to send.
  if (_proxy.username) {
    if (_proxy.username->size() > 255 || _proxy.password.value_or("").size() > 255) {
      fail(EINVAL, "SOCKS5 user name or password longer than 255 bytes");
      return;
    }
    _output = {kSOCKS5, 2, kMethodNone, kMethodUserPassword};
  } else {
    _output = {kSOCKS5, 1, kMethodNone};
  }
}

void WSSOCKSHandshake::fail(int code, std::string description) {
  _state = State::Failed;
  _errorCode = code;
  _errorDescription = std::move(description);
  _output.clear();
}

void WSSOCKSHandshake::sendConnectRequest() {
  _state = State::AwaitingReply;
  in_addr v4{};
  in6_addr v6{};
  const bool isV4 = inet_pton(AF_INET, _targetHost.c_str(), &v4) == 1;
  if (_proxy.version == WSSOCKSVersion::V4a) {
    // SOCKS4a: VN CD DSTPORT DSTIP USERID NUL [HOST NUL]; DSTIP 0.0.0.1 asks the proxy to
    // resolve HOST. A literal IPv4 address goes in DSTIP itself.
    if (inet_pton(AF_INET6, _targetHost.c_str(), &v6) == 1) {
      fail(EINVAL, "SOCKS4 proxy cannot reach an IPv6 address");
      return;
    }
    _output = {0x04, kCommandConnect};
    AppendPort(_output, _targetPort);
    const auto* ip = reinterpret_cast<const std::uint8_t*>(&v4.s_addr);
    if (isV4)
      _output.insert(_output.end(), ip, ip + 4);
    else
      _output.insert(_output.end(), {0, 0, 0, 1});
    const std::string user = _proxy.username.value_or("");
    _output.insert(_output.end(), user.begin(), user.end());
    _output.push_back(0);
    if (!isV4) {
      _output.insert(_output.end(), _targetHost.begin(), _targetHost.end());
      _output.push_back(0);
    }
    return;
  }
  _output = {kSOCKS5, kCommandConnect, 0x00};
  if (isV4) {
    _output.push_back(kAddressIPv4);
    const auto* ip = reinterpret_cast<const std::uint8_t*>(&v4.s_addr);
    _output.insert(_output.end(), ip, ip + 4);
  } else if (inet_pton(AF_INET6, _targetHost.c_str(), &v6) == 1) {
    _output.push_back(kAddressIPv6);
    _output.insert(_output.end(), v6.s6_addr, v6.s6_addr + 16);
  } else {
    // The name goes to the proxy, which resolves it (RFC 1928 section 5, ATYP 3).
    _output.push_back(kAddressDomain);
    _output.push_back(static_cast<std::uint8_t>(_targetHost.size()));
    _output.insert(_output.end(), _targetHost.begin(), _targetHost.end());
  }
  AppendPort(_output, _targetPort);
}

WSSOCKSHandshake::State WSSOCKSHandshake::feed(const std::uint8_t* data, std::size_t size) {
  if (_state == State::Connected) {
    _leftover.insert(_leftover.end(), data, data + size);
    return _state;
  }
  if (_state == State::Failed) return _state;
  _input.insert(_input.end(), data, data + size);
  step();
  return _state;
}

void WSSOCKSHandshake::endOfStream() {
  if (_state != State::Connected && _state != State::Failed)
    fail(ECONNRESET, "SOCKS proxy closed the connection during the handshake");
}

void WSSOCKSHandshake::step() {
  for (;;) {
    const State before = _state;
    switch (_state) {
    case State::AwaitingMethod: {
      if (_input.size() < 2) return;
      const std::uint8_t version = _input[0], method = _input[1];
      _input.erase(_input.begin(), _input.begin() + 2);
      if (version != kSOCKS5) return fail(EPROTO, "SOCKS5 proxy sent an answer that is not SOCKS5");
      if (method == kMethodNone) {
        sendConnectRequest();
      } else if (method == kMethodUserPassword && _proxy.username) {
        // RFC 1929: VER=1 ULEN UNAME PLEN PASSWD.
        const std::string& user = *_proxy.username;
        const std::string password = _proxy.password.value_or("");
        _output = {0x01, static_cast<std::uint8_t>(user.size())};
        _output.insert(_output.end(), user.begin(), user.end());
        _output.push_back(static_cast<std::uint8_t>(password.size()));
        _output.insert(_output.end(), password.begin(), password.end());
        _state = State::AwaitingAuth;
      } else if (method == kMethodNoneAcceptable || method == kMethodUserPassword) {
        return fail(EACCES, "SOCKS5 proxy requires authentication that was not offered");
      } else {
        return fail(EPROTO, "SOCKS5 proxy chose a method that was not offered");
      }
      break;
    }
    case State::AwaitingAuth: {
      if (_input.size() < 2) return;
      const std::uint8_t status = _input[1];
      _input.erase(_input.begin(), _input.begin() + 2);
      // The version byte of the answer is 1; some servers send 5. Only the status decides.
      if (status != 0x00) return fail(EACCES, "SOCKS5 proxy refused the user name and password");
      sendConnectRequest();
      break;
    }
    case State::AwaitingReply: {
      if (_proxy.version == WSSOCKSVersion::V4a) {
        if (_input.size() < 8) return;
        const std::uint8_t version = _input[0], code = _input[1];
        if (version != 0x00) return fail(EPROTO, "SOCKS4 proxy sent an answer that is not SOCKS4");
        if (code != 0x5A) {
          const bool ident = code == 0x5C || code == 0x5D;
          return fail(ident ? EACCES : ECONNREFUSED,
                      std::string("SOCKS4 proxy refused the connection: ") +
                          (ident ? "user id not accepted" : "request rejected or failed"));
        }
        _leftover.assign(_input.begin() + 8, _input.end());
        _input.clear();
        _state = State::Connected;
        return;
      }
      // VER REP RSV ATYP BND.ADDR BND.PORT; the length depends on ATYP.
      if (_input.size() < 5) return;
      if (_input[0] != kSOCKS5) return fail(EPROTO, "SOCKS5 proxy sent an answer that is not SOCKS5");
      if (_input[1] != 0x00) {
        const auto [code, text] = SOCKS5Reply(_input[1]);
        return fail(code, std::string("SOCKS5 proxy could not connect: ") + text);
      }
      std::size_t length;
      switch (_input[3]) {
      case kAddressIPv4:
        length = 4 + 4 + 2;
        break;
      case kAddressIPv6:
        length = 4 + 16 + 2;
        break;
      case kAddressDomain:
        length = 4 + 1 + _input[4] + 2;
        break;
      default:
        return fail(EPROTO, "SOCKS5 proxy sent an unknown address type");
      }
      if (_input.size() < length) return;
      _leftover.assign(_input.begin() + static_cast<std::ptrdiff_t>(length), _input.end());
      _input.clear();
      _state = State::Connected;
      return;
    }
    case State::Connected:
    case State::Failed:
      return;
    }
    if (_state == before) return;
  }
}
