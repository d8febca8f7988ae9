// The floor the end-to-end bench holds the plug-in against: the plug-in's job done with the least
// machinery there is. One thread, one epoll set, one loopback socket to the Stream Deck
// application and one sd-bus connection; no queues, no JSON library (the fields it needs are
// found in the text), no log. Same command line as the plug-in:
//   zb_bench_e2e_floor -port <port> -pluginUUID <uuid> -registerEvent <event> -info <json>
// It registers, turns each keyDown/keyUp into the "Zorbel Stream Deck Key" notification
// (context, virtual row and column from the event's coordinates, pressed), and answers the
// engine's "Zorbel Stream Deck Set Title" for a key it saw appear with setTitle (pretty, as the
// plug-in writes it) then setSettings (compact) holding the title. It exits 0 when the host
// closes the connection. A benchmark floor, not a product: only what the bench sends is handled.

#include <systemd/sd-bus.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char* kInterface = "com.zorbel.DistributedNotifications";
constexpr const char* kPath = "/com/zorbel/DistributedNotifications";
constexpr const char* kObject = "com.zorbel.streamdeck";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "zb_bench_e2e_floor: %s\n", what);
  std::exit(1);
}

int gSocket = -1;
sd_bus* gBus = nullptr;
std::map<std::string, std::string, std::less<>> gKeys; // button ID ("R1C1") -> context

void WriteAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(gSocket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write to the host failed");
    done += static_cast<std::size_t>(n);
  }
}

/// One masked frame, as a client sends it (a fixed mask: nothing here needs it unpredictable).
void SendFrame(std::uint8_t opcode, std::string_view payload) {
  const std::uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string frame;
  frame.reserve(payload.size() + 14);
  frame += static_cast<char>(0x80 | opcode);
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else if (payload.size() <= 0xFFFF) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((payload.size() >> shift) & 0xFF);
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (std::size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  WriteAll(frame);
}

/// `"key":`, the start of the member `key` in compact JSON.
std::string Pattern(std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size() + 3);
  pattern += '"';
  pattern.append(key);
  pattern.append("\":");
  return pattern;
}

/// The text of the string member `key` (not unescaped: the bench's values are plain).
std::string_view StringField(std::string_view text, std::string_view key) {
  std::string pattern = Pattern(key);
  auto at = text.find(pattern);
  if (at == std::string_view::npos) return {};
  at = text.find('"', at + pattern.size());
  if (at == std::string_view::npos) return {};
  auto end = text.find('"', at + 1);
  return end == std::string_view::npos ? std::string_view{} : text.substr(at + 1, end - at - 1);
}

long NumberField(std::string_view text, std::string_view key) {
  std::string pattern = Pattern(key);
  auto at = text.find(pattern);
  if (at == std::string_view::npos) return -1;
  return std::strtol(text.data() + at + pattern.size(), nullptr, 10);
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void PostKey(std::string_view context, int row, int column, bool pressed) {
  sd_bus_message* m = nullptr;
  std::string contextText(context);
  if (sd_bus_message_new_signal(gBus, &m, kPath, kInterface, "Notification") < 0 ||
      sd_bus_message_append(m, "ss", "Zorbel Stream Deck Key", kObject) < 0 ||
      sd_bus_message_append(m, "a{sv}", 4, "context", "s", contextText.c_str(), "row", "i", row, "column",
                            "i", column, "pressed", "b", pressed ? 1 : 0) < 0)
    Fail("cannot build the key notification");
  sd_bus_send(gBus, m, nullptr); // posting never waits; a lost bus only loses the press
  sd_bus_message_unref(m);
}

void Received(std::string_view text) {
  std::string_view event = StringField(text, "event");
  bool down = event == "keyDown";
  if (down || event == "keyUp" || event == "willAppear") {
    std::string_view coordinates = text.substr(std::min(text.find("\"coordinates\""), text.size()));
    int row = static_cast<int>(NumberField(coordinates, "row")) + 1;
    int column = static_cast<int>(NumberField(coordinates, "column")) + 1;
    std::string_view context = StringField(text, "context");
    if (event == "willAppear") {
      char id[32];
      std::snprintf(id, sizeof id, "R%dC%d", row, column);
      gKeys[id] = std::string(context);
    } else
      PostKey(context, row, column, down);
  }
}

int SetTitle(sd_bus_message* m, void*, sd_bus_error*) {
  const char* name = nullptr;
  const char* object = nullptr;
  if (sd_bus_message_read(m, "ss", &name, &object) < 0) return 0;
  std::string id, title = "UNKNOWN";
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    sd_bus_message_read(m, "s", &key);
    sd_bus_message_peek_type(m, nullptr, &contents);
    const char* value = nullptr;
    if (contents && std::strcmp(contents, "s") == 0 && sd_bus_message_read(m, "v", "s", &value) >= 0) {
      if (std::strcmp(key, "zbID") == 0) id = value;
      if (std::strcmp(key, "title") == 0) title = value;
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  auto key = gKeys.find(id);
  if (key == gKeys.end()) return 0;
  std::string message = "{\n  \"context\": ";
  AppendQuoted(message, key->second);
  message += ",\n  \"event\": \"setTitle\",\n  \"payload\": {\n    \"target\": 0,\n    \"title\": ";
  AppendQuoted(message, title);
  message += "\n  }\n}";
  SendFrame(0x1, message);
  std::string settings = "{\"context\":";
  AppendQuoted(settings, key->second);
  settings += ",\"event\":\"setSettings\",\"payload\":{\"title\":";
  AppendQuoted(settings, title);
  settings += "}}";
  SendFrame(0x1, settings);
  return 0;
}

void Connect(int port) {
  gSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(gSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("cannot connect");
  int one = 1;
  ::setsockopt(gSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  WriteAll("GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n\r\n");
  // The response, one byte at a time so that no frame after it is consumed here.
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (::recv(gSocket, &c, 1, 0) != 1) Fail("handshake: connection lost");
    head += c;
  }
  if (head.compare(0, 12, "HTTP/1.1 101") != 0) Fail("handshake refused");
}

/// Handles the complete frames at the front of `buffer`; false once the host closed.
bool ReadFrames(std::string& buffer, std::string& message) {
  std::size_t used = 0;
  bool open = true;
  while (open) {
    std::size_t avail = buffer.size() - used;
    if (avail < 2) break;
    const auto* h = reinterpret_cast<const std::uint8_t*>(buffer.data() + used);
    std::uint64_t length = h[1] & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
      if (avail < 4) break;
      length = (std::uint64_t{h[2]} << 8) | h[3];
      header = 4;
    } else if (length == 127) {
      if (avail < 10) break;
      length = 0;
      for (int k = 0; k < 8; ++k) length = (length << 8) | h[2 + k];
      header = 10;
    }
    if (avail - header < length) break;
    std::string_view payload(buffer.data() + used + header, static_cast<std::size_t>(length));
    std::uint8_t opcode = h[0] & 0x0F;
    if (opcode == 0x8) {
      SendFrame(0x8, payload.substr(0, std::min<std::size_t>(payload.size(), 2)));
      open = false;
    } else if (opcode == 0x9) {
      SendFrame(0xA, payload);
    } else if (opcode < 0x8) {
      message.append(payload);
      if (h[0] & 0x80) {
        Received(message);
        message.clear();
      }
    }
    used += header + static_cast<std::size_t>(length);
  }
  buffer.erase(0, used);
  return open;
}

std::uint32_t EpollEvents(int busEvents) {
  return (busEvents & POLLIN ? EPOLLIN : 0u) | (busEvents & POLLOUT ? EPOLLOUT : 0u);
}

} // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string uuid, registerEvent;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "-port") == 0) port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "-pluginUUID") == 0) uuid = argv[i + 1];
    if (std::strcmp(argv[i], "-registerEvent") == 0) registerEvent = argv[i + 1];
  }
  if (argc != 9 || port == 0 || uuid.empty() || registerEvent.empty()) Fail("bad command line");

  if (sd_bus_open_user(&gBus) < 0) Fail("no session bus");
  std::string rule = std::string("type='signal',interface='") + kInterface +
                     "',member='Notification',arg0='Zorbel Stream Deck Set Title',arg1='" + kObject + "'";
  if (sd_bus_add_match(gBus, nullptr, rule.c_str(), SetTitle, nullptr) < 0) Fail("cannot observe titles");

  Connect(port);
  std::string registration = "{\n  \"event\": ";
  AppendQuoted(registration, registerEvent);
  registration += ",\n  \"uuid\": ";
  AppendQuoted(registration, uuid);
  registration += "\n}";
  SendFrame(0x1, registration);

  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event socketEvent{EPOLLIN, {.fd = gSocket}};
  int busFd = sd_bus_get_fd(gBus);
  epoll_event busEvent{EpollEvents(sd_bus_get_events(gBus)), {.fd = busFd}};
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, gSocket, &socketEvent);
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, busFd, &busEvent);

  std::string buffer, message;
  char chunk[65536];
  for (;;) {
    while (sd_bus_process(gBus, nullptr) > 0) {
    }
    std::uint32_t wanted = EpollEvents(sd_bus_get_events(gBus));
    if (wanted != busEvent.events) {
      busEvent.events = wanted;
      ::epoll_ctl(epoll, EPOLL_CTL_MOD, busFd, &busEvent);
    }
    std::uint64_t usec = 0;
    int timeout = -1;
    if (sd_bus_get_timeout(gBus, &usec) > 0 && usec != UINT64_MAX) {
      // An absolute CLOCK_MONOTONIC time.
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      std::uint64_t nowUsec =
          static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
      timeout = usec > nowUsec ? 1 + static_cast<int>((usec - nowUsec) / 1000) : 0;
    }
    epoll_event ready[2];
    int n = ::epoll_wait(epoll, ready, 2, timeout);
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd != gSocket) continue;
      ssize_t got = ::recv(gSocket, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got == 0) return 0;
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return 0;
      }
      buffer.append(chunk, static_cast<std::size_t>(got));
      if (!ReadFrames(buffer, message)) {
        sd_bus_flush_close_unref(gBus);
        ::close(gSocket);
        return 0;
      }
    }
  }
}
