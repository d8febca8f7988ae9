#pragma once
// Peers and probes for the WebSocket client's tests:
//  - RecordingDelegate: records every report with the thread-safe wait the tests need;
//  - PythonServer: the independent server (python3-websockets) on a free loopback port;
//  - RawServer / RawPeer: a scripted server on a raw socket for what a normal server never sends,
//    which also checks the frames the client sends (FIN, MASK, fresh keys, lengths, payload).

#include "platform/Queue.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

extern char** environ;

namespace wstest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
inline constexpr auto kTimeout = 20s;

// ---- delegate ---------------------------------------------------------------------------

struct Report {
  enum Kind { Open, Message, String, Data, Ping, Pong, Fail, Close, Drain };
  explicit Report(Kind k) : kind(k) {}
  Kind kind;
  std::optional<WSMessage> message;
  std::string text;
  WSData bytes;
  std::optional<WSError> error;
  std::int64_t code = 0;
  std::optional<std::string> reason;
  bool wasClean = false;
};

class RecordingDelegate : public WSWebSocketDelegate {
public:
  bool convertText = true;
  /// Messages only count; their contents are not kept (throughput runs).
  bool countOnly = false;
  /// Every text message is sent back from its report, as a peer that answers would.
  std::atomic<bool> echoText{false};

  void webSocketDidOpen(WSWebSocket&) override { add(Report(Report::Open)); }
  void webSocketDidReceiveMessage(WSWebSocket&, const WSMessage& message) override {
    Report r(Report::Message);
    if (!countOnly) r.message = message;
    add(std::move(r));
  }
  void webSocketDidReceiveMessageWithString(WSWebSocket& webSocket, const std::string& string) override {
    if (echoText) webSocket.sendString(string, nullptr);
    Report r(Report::String);
    if (!countOnly) r.text = string;
    add(std::move(r));
  }
  void webSocketDidReceiveMessageWithData(WSWebSocket&, const WSData& data) override {
    Report r(Report::Data);
    if (!countOnly) r.bytes = data;
    add(std::move(r));
  }
  bool webSocketShouldConvertTextFrameToString(WSWebSocket&) override { return convertText; }
  void webSocketDidReceivePing(WSWebSocket&, const WSData& data) override {
    Report r(Report::Ping);
    r.bytes = data;
    add(std::move(r));
  }
  void webSocketDidReceivePong(WSWebSocket&, const WSData& data) override {
    Report r(Report::Pong);
    r.bytes = data;
    add(std::move(r));
  }
  void webSocketDidFail(WSWebSocket&, const WSError& error) override {
    Report r(Report::Fail);
    r.error = error;
    add(std::move(r));
  }
  void webSocketDidClose(WSWebSocket&, std::int64_t code, const std::optional<std::string>& reason,
                         bool wasClean) override {
    Report r(Report::Close);
    r.code = code;
    r.reason = reason;
    r.wasClean = wasClean;
    add(std::move(r));
  }

  void webSocketDidDrainOutput(WSWebSocket&) override { add(Report(Report::Drain)); }

  /// Waits until `count` reports of `kind` have arrived.
  bool waitFor(Report::Kind kind, std::size_t count = 1, std::chrono::milliseconds timeout = kTimeout) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return countLocked(kind) >= count; });
  }
  /// Waits for the end of the connection: a failure or a close.
  bool waitForEnd(std::chrono::milliseconds timeout = kTimeout) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout,
                             [&] { return countLocked(Report::Fail) + countLocked(Report::Close) > 0; });
  }
  std::size_t count(Report::Kind kind) const {
    std::lock_guard lock(_mutex);
    return countLocked(kind);
  }
  std::vector<Report> reports() const {
    std::lock_guard lock(_mutex);
    return _reports;
  }
  std::vector<Report> reportsOf(Report::Kind kind) const {
    std::vector<Report> result;
    for (auto& r : reports())
      if (r.kind == kind) result.push_back(r);
    return result;
  }
  Report last(Report::Kind kind) const {
    auto all = reportsOf(kind);
    if (all.empty()) throw std::runtime_error("no such report");
    return all.back();
  }

private:
  void add(Report report) {
    std::lock_guard lock(_mutex);
    if (countOnly && report.kind != Report::Fail && report.kind != Report::Close &&
        report.kind != Report::Open) {
      ++_counts[report.kind];
    } else {
      _reports.push_back(std::move(report));
    }
    _changed.notify_all();
  }
  std::size_t countLocked(Report::Kind kind) const {
    std::size_t n = _counts[kind];
    for (auto& r : _reports) n += r.kind == kind;
    return n;
  }

  mutable std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<Report> _reports;
  std::size_t _counts[Report::Drain + 1] = {};
};

// ---- the independent server -------------------------------------------------------------

/// python3-websockets serving tests/websocket/ws_test_server.py on a free port.
class PythonServer {
public:
  PythonServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string script = WS_TEST_SERVER_SCRIPT;
    const char* argv[] = {"/usr/bin/python3", script.c_str(), nullptr};
    if (posix_spawn(&_pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      throw std::runtime_error("cannot start python3");
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string line;
    auto deadline = Clock::now() + kTimeout;
    while (line.find('\n') == std::string::npos) {
      pollfd p{fds[0], POLLIN, 0};
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
      char c;
      if (::read(fds[0], &c, 1) != 1) break;
      line += c;
    }
    ::close(fds[0]);
    if (line.rfind("PORT ", 0) != 0)
      throw std::runtime_error("python3-websockets server did not start: " + line);
    _port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
  }
  ~PythonServer() {
    ::kill(_pid, SIGKILL);
    ::waitpid(_pid, nullptr, 0);
  }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;

  std::uint16_t port() const { return _port; }
  std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
    return "ws://" + host + ":" + std::to_string(_port) + path;
  }

private:
  pid_t _pid = -1;
  std::uint16_t _port = 0;
};

// ---- the scripted server ----------------------------------------------------------------

/// A frame as the client sent it, unmasked.
struct ClientFrame {
  bool fin = false;
  std::uint8_t rsv = 0;
  std::uint8_t opcode = 0;
  bool masked = false;
  std::uint8_t length7 = 0;
  std::uint64_t length = 0;
  std::array<std::uint8_t, 4> key{};
  WSData payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

/// A loopback port that was bound and released: nothing listens there, so connecting is refused.
inline std::uint16_t ReleasedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no loopback port to release");
  }
  ::close(fd);
  return ntohs(a.sin_port);
}

/// RFC 6455 section 4.2.2, computed here independently of the client.
inline std::string AcceptFor(const std::string& key) {
  std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  unsigned char out[64] = {};
  int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

/// An unmasked server frame; `length7` forces the length form (126 or 127) when given.
inline WSData ServerFrame(std::uint8_t opcode, const WSData& payload, bool fin = true, std::uint8_t rsv = 0,
                          std::optional<std::uint8_t> length7 = std::nullopt, bool masked = false) {
  WSData frame;
  frame.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | rsv | opcode));
  std::uint64_t n = payload.size();
  std::uint8_t form = length7 ? *length7 : n <= 125 ? static_cast<std::uint8_t>(n) : n <= 0xFFFF ? 126 : 127;
  frame.push_back(static_cast<std::uint8_t>((masked ? 0x80 : 0) | form));
  if (form == 126) {
    frame.push_back(static_cast<std::uint8_t>(n >> 8));
    frame.push_back(static_cast<std::uint8_t>(n));
  } else if (form == 127) {
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<std::uint8_t>(n >> shift));
  }
  std::array<std::uint8_t, 4> key{1, 2, 3, 4};
  if (masked) frame.insert(frame.end(), key.begin(), key.end());
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);
  return frame;
}
inline WSData ServerFrame(std::uint8_t opcode, const std::string& payload, bool fin = true) {
  return ServerFrame(opcode, WSData(payload.begin(), payload.end()), fin);
}
inline WSData Bytes(const std::string& s) { return WSData(s.begin(), s.end()); }
inline WSData ClosePayload(std::uint16_t code, const std::string& reason = "") {
  WSData p{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
  p.insert(p.end(), reason.begin(), reason.end());
  return p;
}

/// The server's end of one accepted connection. Every call has a deadline and throws when it
/// passes or the client closed first.
class RawPeer {
public:
  explicit RawPeer(int fd) : _fd(fd) {}
  ~RawPeer() {
    if (_fd >= 0) ::close(_fd);
  }
  int fd() const { return _fd; }

  /// Reads up to and including CR LF CR LF and returns the head.
  std::string readHead() {
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)
      head += static_cast<char>(readByte());
    _head = head;
    return head;
  }
  /// A field of the last head read (name compared without regard to case).
  std::string field(const std::string& name) const {
    std::string lowerHead = Lower(_head), key = "\r\n" + Lower(name) + ":";
    auto at = lowerHead.find(key);
    if (at == std::string::npos) return "";
    auto start = at + key.size();
    auto end = _head.find("\r\n", start);
    std::string value = _head.substr(start, end - start);
    while (!value.empty() && value.front() == ' ') value.erase(value.begin());
    return value;
  }
  std::string acceptValue() const { return AcceptFor(field("Sec-WebSocket-Key")); }
  /// Reads the upgrade request and accepts it with 101 and the right accept value.
  void handshake(const std::string& extraFields = "") {
    readHead();
    send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
         "Upgrade\r\nSec-WebSocket-Accept: " +
         acceptValue() + "\r\n" + extraFields + "\r\n");
  }

  void send(const std::string& bytes) { send(Bytes(bytes)); }
  void send(const WSData& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      sent += static_cast<std::size_t>(n);
    }
  }
  /// Sends `bytes` one at a time (each its own segment as far as the kernel allows).
  void sendBytewise(const WSData& bytes) {
    for (std::uint8_t b : bytes) send(WSData{b});
  }

  /// Reads one client frame, unmasking its payload.
  ClientFrame readFrame() {
    ClientFrame f;
    std::uint8_t b0 = readByte(), b1 = readByte();
    f.fin = b0 & 0x80;
    f.rsv = b0 & 0x70;
    f.opcode = b0 & 0x0F;
    f.masked = b1 & 0x80;
    f.length7 = b1 & 0x7F;
    f.length = f.length7;
    if (f.length7 == 126) {
      f.length = 0;
      for (int i = 0; i < 2; ++i) f.length = f.length << 8 | readByte();
    } else if (f.length7 == 127) {
      f.length = 0;
      for (int i = 0; i < 8; ++i) f.length = f.length << 8 | readByte();
    }
    if (f.masked)
      for (auto& k : f.key) k = readByte();
    f.payload = readExactly(static_cast<std::size_t>(f.length));
    if (f.masked)
      for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= f.key[i % 4];
    _keys.insert(std::string(f.key.begin(), f.key.end()));
    ++_frames;
    return f;
  }
  /// Masking keys seen so far were all different.
  bool keysWereFresh() const { return _keys.size() == _frames; }

  /// The server's side of a closing handshake the client starts: reads frames up to the client's
  /// close frame, answers it with the same payload and waits for the client to close TCP.
  /// Returns the client's close frame.
  ClientFrame answerClose() {
    ClientFrame frame;
    do frame = readFrame();
    while (frame.opcode != 8);
    WSData reply{0x88, static_cast<std::uint8_t>(frame.payload.size())};
    reply.insert(reply.end(), frame.payload.begin(), frame.payload.end());
    send(reply);
    if (!waitForClientClose())
      throw std::runtime_error("the client kept the connection after the close handshake");
    return frame;
  }

  /// True when the client closes the TCP connection before the deadline (bytes are skipped).
  bool waitForClientClose(std::chrono::milliseconds timeout = kTimeout) {
    auto deadline = Clock::now() + timeout;
    std::uint8_t buffer[4096];
    for (;;) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0) return false;
      pollfd p{_fd, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) return false;
      ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }
  void shutdownWrite() { ::shutdown(_fd, SHUT_WR); }
  /// Ends the connection with a reset instead of an orderly close.
  void reset() {
    linger l{1, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(_fd);
    _fd = -1;
  }
  void close() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

  WSData readExactly(std::size_t n) {
    WSData bytes(n);
    std::size_t got = 0;
    while (got < n) {
      waitReadable();
      ssize_t r = ::recv(_fd, bytes.data() + got, n - got, 0);
      if (r <= 0) throw std::runtime_error("client closed the connection");
      got += static_cast<std::size_t>(r);
    }
    return bytes;
  }

private:
  static std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  void waitReadable() {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kTimeout).count())) <= 0)
      throw std::runtime_error("timed out waiting for the client");
  }
  std::uint8_t readByte() { return readExactly(1)[0]; }

  int _fd;
  std::string _head;
  std::set<std::string> _keys;
  std::size_t _frames = 0;
};

/// Listens on 127.0.0.1 (free port) and runs `script` with the first connection accepted, on a
/// thread of its own. A script's exception is recorded and reported by `error()`.
class RawServer {
public:
  explicit RawServer(std::function<void(RawPeer&)> script) {
    _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(_listener, 4) != 0)
      throw std::runtime_error("cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(_listener, reinterpret_cast<sockaddr*>(&a), &len);
    _port = ntohs(a.sin_port);
    _thread = std::thread([this, script = std::move(script)] {
      try {
        pollfd p{_listener, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kTimeout).count())) <= 0)
          throw std::runtime_error("no client connected");
        RawPeer peer(::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC));
        script(peer);
      } catch (const std::exception& e) {
        std::lock_guard lock(_mutex);
        _error = e.what();
      }
      std::lock_guard lock(_mutex);
      _done = true;
      _finished.notify_all();
    });
  }
  ~RawServer() {
    _thread.join();
    ::close(_listener);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::uint16_t port() const { return _port; }
  std::string url(const std::string& path = "/", const std::string& host = "127.0.0.1") const {
    return "ws://" + host + ":" + std::to_string(_port) + path;
  }
  /// Waits for the script to end; returns its error ("" when it ran through).
  std::string finish(std::chrono::milliseconds timeout = kTimeout) {
    std::unique_lock lock(_mutex);
    if (!_finished.wait_for(lock, timeout, [&] { return _done; })) return "script did not finish";
    return _error;
  }

private:
  int _listener = -1;
  std::uint16_t _port = 0;
  std::thread _thread;
  std::mutex _mutex;
  std::condition_variable _finished;
  bool _done = false;
  std::string _error;
};

/// A connection with a recording delegate whose reports run on a serial queue of their own.
struct Client {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<platform::SerialQueue> queue = std::make_shared<platform::SerialQueue>("test.delegate");
  std::shared_ptr<WSWebSocket> socket;

  /// Creates and opens; `timeout` 0 means no connect time-out.
  WSWebSocket& open(const std::string& url, double timeout = 0, const WSProtocols& protocols = std::nullopt,
                    std::vector<std::pair<std::string, std::string>> fields = {}) {
    WSURLRequest request(url);
    request.timeoutInterval = timeout;
    request.headerFields = std::move(fields);
    socket = WSWebSocket::initWithURLRequest(request, protocols);
    socket->setDelegate(delegate);
    if (queue) socket->setDelegateDispatchQueue(queue);
    socket->open();
    return *socket;
  }
  /// The one failure reported (throws when there is none).
  WSError failure() const { return *delegate->last(Report::Fail).error; }
};

} // namespace wstest
