// The bulk WebSocket server of the throughput benchmark. It must never be the bottleneck, so it
// does the least a server can:
//  - "/recv/<size>/<count>": after the handshake it writes <count> pre-built binary frames of
//    <size> bytes in large writes (blocks of several MiB holding many frames), then a close frame;
//  - "/send/<size>/<count>": it reads in 1 MiB reads, walks the frame headers without unmasking
//    or copying a payload, and after the <count>th complete message writes one short binary
//    message ("done") so that the client can stop its clock; it echoes a close frame.
// One thread per connection; prints "PORT <n>" once it listens and runs until it is killed.
//
//   zb_bench_ws_server [port]      (0 or nothing: a free port)

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

/// An unmasked server frame header for a FIN binary (or other) frame of `size` bytes.
std::vector<std::uint8_t> FrameHeader(std::uint8_t opcode, std::uint64_t size) {
  std::vector<std::uint8_t> header{static_cast<std::uint8_t>(0x80 | opcode)};
  if (size < 126) {
    header.push_back(static_cast<std::uint8_t>(size));
  } else if (size < 65536) {
    header.push_back(126);
    header.push_back(static_cast<std::uint8_t>(size >> 8));
    header.push_back(static_cast<std::uint8_t>(size));
  } else {
    header.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) header.push_back(static_cast<std::uint8_t>(size >> shift));
  }
  return header;
}

std::vector<std::uint8_t> Frame(std::uint8_t opcode, const std::uint8_t* payload, std::size_t size) {
  auto frame = FrameHeader(opcode, size);
  frame.insert(frame.end(), payload, payload + size);
  return frame;
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

/// The value of header field `name` (lower case) in `head`, or empty.
std::string Field(const std::string& head, const std::string& name) {
  std::string lower = Lower(head);
  auto at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  at += name.size() + 3;
  auto end = head.find("\r\n", at);
  std::string value = head.substr(at, end - at);
  value.erase(0, value.find_first_not_of(" \t"));
  value.erase(value.find_last_not_of(" \t") + 1);
  return value;
}

std::string AcceptKey(const std::string& key) {
  std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[64];
  int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

/// Writes `count` frames of `size` bytes in blocks of about 4 MiB, then a close frame.
void ServeReceive(int fd, std::size_t size, std::uint64_t count) {
  std::vector<std::uint8_t> payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>('a' + i % 26);
  auto frame = Frame(0x2, payload.data(), size);
  std::uint64_t perBlock = std::max<std::uint64_t>(1, (4u << 20) / frame.size());
  perBlock = std::min(perBlock, count);
  std::vector<std::uint8_t> block;
  block.reserve(frame.size() * perBlock);
  for (std::uint64_t i = 0; i < perBlock; ++i) block.insert(block.end(), frame.begin(), frame.end());
  std::uint64_t left = count;
  while (left >= perBlock) {
    if (!WriteAll(fd, block.data(), block.size())) return;
    left -= perBlock;
  }
  if (left > 0 && !WriteAll(fd, block.data(), frame.size() * left)) return;
  const std::uint8_t normal[] = {0x03, 0xE8};
  auto close = Frame(0x8, normal, sizeof normal);
  if (!WriteAll(fd, close.data(), close.size())) return;
  // The server's half is done (a client that closes the handshake waits for the end of the
  // stream); whatever the client still says (its close frame) is read and dropped.
  ::shutdown(fd, SHUT_WR);
  std::vector<std::uint8_t> sink(1 << 16);
  while (::recv(fd, sink.data(), sink.size(), 0) > 0) {
  }
}

/// Reads and discards the client's frames, walking only their headers.
void ServeSend(int fd, std::uint64_t count, std::vector<std::uint8_t> pending) {
  std::vector<std::uint8_t> buffer(1 << 20);
  std::uint8_t header[14];
  std::size_t headerLength = 0;
  std::uint64_t skip = 0;
  bool inPayload = false;
  std::uint8_t opcode = 0;
  bool fin = false;
  std::uint64_t messages = 0;
  const std::uint8_t doneText[] = {'d', 'o', 'n', 'e'};
  auto done = Frame(0x2, doneText, sizeof doneText);

  auto frameEnded = [&]() -> bool { // false: stop serving
    inPayload = false;
    if (opcode == 0x8) {
      const std::uint8_t normal[] = {0x03, 0xE8};
      auto close = Frame(0x8, normal, sizeof normal);
      WriteAll(fd, close.data(), close.size());
      ::shutdown(fd, SHUT_WR);
      return true;
    }
    if (fin && opcode < 0x8 && ++messages == count) return WriteAll(fd, done.data(), done.size());
    return true;
  };

  auto consume = [&](const std::uint8_t* data, std::size_t n) -> bool {
    std::size_t i = 0;
    while (i < n) {
      if (inPayload) {
        std::uint64_t take = std::min<std::uint64_t>(skip, n - i);
        i += take;
        skip -= take;
        if (skip == 0 && !frameEnded()) return false;
        continue;
      }
      header[headerLength++] = data[i++];
      if (headerLength < 2) continue;
      std::uint8_t length7 = header[1] & 0x7F;
      std::size_t needed = 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + ((header[1] & 0x80) ? 4 : 0);
      if (headerLength < needed) continue;
      std::uint64_t length = length7;
      if (length7 == 126) length = (std::uint64_t{header[2]} << 8) | header[3];
      if (length7 == 127) {
        length = 0;
        for (int k = 0; k < 8; ++k) length = (length << 8) | header[2 + k];
      }
      fin = (header[0] & 0x80) != 0;
      std::uint8_t frameOpcode = header[0] & 0x0F;
      if (frameOpcode != 0) opcode = frameOpcode;
      headerLength = 0;
      skip = length;
      inPayload = true;
      if (skip == 0 && !frameEnded()) return false;
    }
    return true;
  };

  if (!consume(pending.data(), pending.size())) return;
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (!consume(buffer.data(), static_cast<std::size_t>(n))) return;
  }
}

void Serve(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string head;
  std::vector<std::uint8_t> rest;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ::close(fd);
      return;
    }
    head.append(buffer, static_cast<std::size_t>(n));
    auto end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
      rest.assign(head.begin() + static_cast<std::ptrdiff_t>(end + 4), head.end());
      head.resize(end + 2);
      break;
    }
    if (head.size() > 65536) {
      ::close(fd);
      return;
    }
  }
  // "GET /<direction>/<size>/<count> HTTP/1.1"
  char direction[16] = {};
  unsigned long long size = 0, count = 0;
  bool parsed = std::sscanf(head.c_str(), "GET /%15[a-z]/%llu/%llu ", direction, &size, &count) == 3;
  std::string key = Field(head, "sec-websocket-key");
  if (!parsed || key.empty() || count == 0) {
    static const char bad[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    WriteAll(fd, reinterpret_cast<const std::uint8_t*>(bad), sizeof bad - 1);
    ::close(fd);
    return;
  }
  std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Accept: " +
                         AcceptKey(key) + "\r\n";
  // A client that insists on a subprotocol gets the first one it offered.
  std::string protocols = Field(head, "sec-websocket-protocol");
  if (!protocols.empty())
    response += "Sec-WebSocket-Protocol: " + protocols.substr(0, protocols.find(',')) + "\r\n";
  response += "\r\n";
  if (WriteAll(fd, reinterpret_cast<const std::uint8_t*>(response.data()), response.size())) {
    if (std::strcmp(direction, "recv") == 0)
      ServeReceive(fd, size, count);
    else
      ServeSend(fd, count, std::move(rest));
  }
  ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  int port = argc > 1 ? std::atoi(argv[1]) : 0;
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0) {
    std::perror("zb_bench_ws_server: bind/listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("PORT %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("zb_bench_ws_server: accept");
      return 1;
    }
    std::thread(Serve, fd).detach();
  }
}
