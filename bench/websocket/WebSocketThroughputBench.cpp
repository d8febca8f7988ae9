// Receive and send throughput of one WSWebSocket against an in-process loopback server:
// 1 MiB binary messages and 64-byte messages, each way. Prints MB/s and messages/s.
//   zb_bench_websocket [receive-large|receive-small|send-large|send-small]
#include "platform/Queue.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Accept(const std::string& key) {
  std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH], out[64] = {};
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

bool ReadExactly(int fd, std::uint8_t* p, std::size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void SendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
}

/// One connection: handshake, then either sends `count` frames of `size` bytes or reads `count`
/// client frames; `done` is set when the reading side has seen them all.
struct Server {
  int listener = -1;
  std::uint16_t port = 0;
  std::thread thread;
  std::atomic<bool> done{false};
  Clock::time_point finished;

  Server(bool serverSends, std::size_t size, std::size_t count) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this, serverSends, size, count] {
      int fd = ::accept(listener, nullptr, nullptr);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string head;
      char c;
      while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (::recv(fd, &c, 1, 0) != 1) return;
        head += c;
      }
      auto at = head.find("Sec-WebSocket-Key: ") + 19;
      std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: " +
                          Accept(head.substr(at, head.find("\r\n", at) - at)) + "\r\n\r\n";
      SendAll(fd, reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
      if (serverSends) {
        std::vector<std::uint8_t> frame = {0x82};
        if (size <= 125) {
          frame.push_back(static_cast<std::uint8_t>(size));
        } else {
          frame.push_back(127);
          for (int s = 56; s >= 0; s -= 8)
            frame.push_back(static_cast<std::uint8_t>(std::uint64_t(size) >> s));
        }
        frame.resize(frame.size() + size, 0x5A);
        // Small frames go out in batches so that the server is not the bottleneck.
        std::size_t perBatch = std::max<std::size_t>(1, (256 * 1024) / frame.size());
        std::vector<std::uint8_t> batch;
        for (std::size_t i = 0; i < perBatch; ++i) batch.insert(batch.end(), frame.begin(), frame.end());
        for (std::size_t sent = 0; sent < count; sent += perBatch) {
          std::size_t n = std::min(perBatch, count - sent);
          SendAll(fd, batch.data(), n * frame.size());
        }
      } else {
        std::vector<std::uint8_t> skip(1 << 20);
        for (std::size_t i = 0; i < count; ++i) {
          std::uint8_t h[2];
          if (!ReadExactly(fd, h, 2)) break;
          std::uint64_t n = h[1] & 0x7F;
          std::uint8_t ext[8];
          if (n == 126) {
            ReadExactly(fd, ext, 2);
            n = std::uint64_t(ext[0]) << 8 | ext[1];
          } else if (n == 127) {
            ReadExactly(fd, ext, 8);
            n = 0;
            for (auto b : ext) n = n << 8 | b;
          }
          std::uint8_t key[4];
          ReadExactly(fd, key, 4);
          while (n) {
            std::size_t take = std::min<std::uint64_t>(n, skip.size());
            ReadExactly(fd, skip.data(), take);
            n -= take;
          }
        }
        finished = Clock::now();
        done = true;
      }
      // The client's close frame (or its end) ends the run; the server then drops the connection.
      std::uint8_t sink[4096];
      (void)::recv(fd, sink, sizeof sink, 0);
      ::close(fd);
    });
  }
  ~Server() {
    thread.join();
    ::close(listener);
  }
};

class Counter : public WSWebSocketDelegate {
public:
  void webSocketDidOpen(WSWebSocket&) override {
    signal([&] { opened = true; });
  }
  void webSocketDidReceiveMessage(WSWebSocket&, const WSMessage&) override {
    if (++received == expected) signal([&] { finished = Clock::now(); });
  }
  void webSocketDidFail(WSWebSocket&, const WSError& error) override {
    std::fprintf(stderr, "failed: %s\n", error.description().c_str());
    signal([&] { failed = true; });
  }
  template <class F> void signal(F f) {
    std::lock_guard lock(mutex);
    f();
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool opened = false, failed = false;
  std::size_t expected = 0;
  std::atomic<std::size_t> received{0};
  Clock::time_point finished;
};

void Run(const char* name, bool receive, std::size_t size, std::size_t count) {
  Server server(receive, size, count);
  auto counter = std::make_shared<Counter>();
  counter->expected = receive ? count : 0;
  WSURLRequest request("ws://127.0.0.1:" + std::to_string(server.port) + "/");
  request.timeoutInterval = 0;
  auto socket = WSWebSocket::initWithURLRequest(request);
  socket->setDelegate(counter);
  socket->setDelegateDispatchQueue(std::make_shared<platform::SerialQueue>("bench.delegate"));
  auto start = Clock::now();
  socket->open();
  {
    std::unique_lock lock(counter->mutex);
    counter->changed.wait(lock, [&] { return counter->opened || counter->failed; });
  }
  start = Clock::now();
  Clock::time_point end;
  if (receive) {
    std::unique_lock lock(counter->mutex);
    counter->changed.wait(lock, [&] { return counter->received == count || counter->failed; });
    end = counter->finished;
  } else {
    auto payload = std::make_shared<const WSData>(size, 0x5A);
    for (std::size_t i = 0; i < count; ++i) socket->sendDataNoCopy(payload, nullptr);
    while (!server.done) std::this_thread::sleep_for(std::chrono::microseconds(200));
    end = server.finished;
  }
  double seconds = std::chrono::duration<double>(end - start).count();
  std::printf("%-28s %8zu x %8zu B: %9.1f MB/s %12.0f msg/s\n", name, count, size,
              double(size) * double(count) / seconds / 1e6, double(count) / seconds);
  socket->close();
}

} // namespace

int main(int argc, char** argv) {
  // An argument picks one run: receive-large, receive-small, send-large, send-small.
  std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "receive-large") Run("receive 1 MiB binary", true, 1 << 20, 512);
  if (only.empty() || only == "receive-small") Run("receive 64 B binary", true, 64, 500000);
  if (only.empty() || only == "send-large") Run("send 1 MiB binary", false, 1 << 20, 512);
  if (only.empty() || only == "send-small") Run("send 64 B binary", false, 64, 200000);
  return 0;
}
