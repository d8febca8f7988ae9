// End-to-end figures of the real plug-in executable, in one process that plays the Stream Deck
// application (a minimal WebSocket server on loopback), the Zorbel engine (a D-Bus emitter) and
// an engine-side subscriber, all on a private dbus-daemon:
//  - key latency: the host writes a "keyDown"/"keyUp" frame -> the "Zorbel Stream Deck Key"
//    signal reaches the subscriber;
//  - title latency: the engine emits "Zorbel Stream Deck Set Title" -> the "setTitle" frame
//    reaches the host;
//  - start-up: just before the process is spawned -> its registration message at the host;
//  - idle: CPU ticks (utime + stime) and context switches of every thread over 30 s after the
//    registration (a wake-up of any thread is a context switch);
//  - memory: VmRSS after start, and after 100,000 key events and 10,000 titles;
//  - the floor: the key and title paths again, in interleaved rounds (5 by default), of the
//    plug-in and of the floor relay (zb_bench_e2e_floor, beside this executable: the same job on
//    one thread, epoll and sd-bus), one fresh process per round each, alternating which goes
//    first; per round p50 and p99, then the median of the rounds (min-max) and the plug-in/floor
//    ratio of the medians beside its target (key path <= 1.3x, title path <= 1.15x).
// Timestamps are taken in this process with one steady clock; the harness's own wake-ups (a
// reader thread and a condition variable) are inside the figures.
//
//   zb_bench_e2e <plug-in executable> [--json out.json] [--quick] [--log] [--floor <relay>] [--rounds N]
//                [--floor-only]   (only the interleaved rounds against the floor relay)

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

constexpr const char* kInterface = "com.zorbel.DistributedNotifications";
constexpr const char* kPath = "/com/zorbel/DistributedNotifications";
constexpr const char* kObject = "com.zorbel.streamdeck";

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

pid_t gBusPid = -1;    // ended on every way out
pid_t gPlugInPid = -1; // the running plug-in, if any

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "zb_bench_e2e: %s\n", what.c_str());
  if (gPlugInPid > 0) ::kill(gPlugInPid, SIGKILL);
  if (gBusPid > 0) ::kill(gBusPid, SIGTERM);
  std::_Exit(1);
}

// ---- private bus ------------------------------------------------------------------------------

class PrivateBus {
public:
  explicit PrivateBus(const std::string& folder) {
    _address = "unix:path=" + folder + "/bus";
    std::string addressArg = "--address=" + _address;
    int fds[2];
    if (::pipe(fds) != 0) Fail("pipe");
    std::string printArg = "--print-address=" + std::to_string(fds[1]);
    _pid = ::fork();
    if (_pid == 0) {
      ::close(fds[0]);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", addressArg.c_str(),
               printArg.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    gBusPid = _pid;
    char buffer[512];
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0 || ::read(fds[0], buffer, sizeof buffer) <= 0)
      Fail("dbus-daemon did not start");
    ::close(fds[0]);
  }
  ~PrivateBus() {
    ::kill(_pid, SIGTERM);
    ::waitpid(_pid, nullptr, 0);
    gBusPid = -1;
  }
  const std::string& address() const { return _address; }

private:
  std::string _address;
  pid_t _pid = -1;
};

sd_bus* OpenBus(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
    Fail("cannot connect to the private bus");
  return bus;
}

/// The engine's side: a subscriber thread counting "Zorbel Stream Deck Key" signals.
class KeySubscriber {
public:
  explicit KeySubscriber(const std::string& address) : _bus(OpenBus(address)) {
    std::string rule = std::string("type='signal',interface='") + kInterface +
                       "',member='Notification',arg0='Zorbel Stream Deck Key'";
    // Synchronous: once it returns the bus applies the rule.
    if (sd_bus_add_match(_bus, nullptr, rule.c_str(), &KeySubscriber::Received, this) < 0) Fail("AddMatch");
    _thread = std::thread([this] { serve(); });
  }
  ~KeySubscriber() {
    _stop = true;
    _thread.join();
    sd_bus_flush_close_unref(_bus);
  }

  /// Waits until `count` signals have arrived; the arrival time of the last.
  std::uint64_t received() {
    std::lock_guard lock(_mutex);
    return _count;
  }

  Clock::time_point waitFor(std::uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(_mutex);
    if (!_changed.wait_for(lock, timeout, [&] { return _count >= count; }))
      Fail("key signal " + std::to_string(count) + " did not arrive");
    return _last;
  }

private:
  static int Received(sd_bus_message*, void* self, sd_bus_error*) {
    auto now = Clock::now();
    auto* s = static_cast<KeySubscriber*>(self);
    {
      std::lock_guard lock(s->_mutex);
      ++s->_count;
      s->_last = now;
    }
    s->_changed.notify_all();
    return 0;
  }
  void serve() {
    while (!_stop) {
      int r = sd_bus_process(_bus, nullptr);
      if (r < 0) return;
      if (r == 0) sd_bus_wait(_bus, 100000);
    }
  }

  sd_bus* _bus;
  std::thread _thread;
  std::atomic<bool> _stop{false};
  std::mutex _mutex;
  std::condition_variable _changed;
  std::uint64_t _count = 0;
  Clock::time_point _last{};
};

/// The engine's commands.
class Engine {
public:
  explicit Engine(const std::string& address) : _bus(OpenBus(address)) {}
  ~Engine() { sd_bus_flush_close_unref(_bus); }

  void post(const char* name, const std::vector<std::pair<std::string, std::string>>& userInfo) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(_bus, &m, kPath, kInterface, "Notification") < 0) Fail("new signal");
    sd_bus_message_append(m, "ss", name, kObject);
    sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [key, value] : userInfo) {
      sd_bus_message_open_container(m, 'e', "sv");
      sd_bus_message_append(m, "s", key.c_str());
      sd_bus_message_append(m, "v", "s", value.c_str());
      sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
    if (sd_bus_send(_bus, m, nullptr) < 0) Fail("send signal");
    sd_bus_message_unref(m);
    sd_bus_flush(_bus);
  }

private:
  sd_bus* _bus;
};

// ---- the Stream Deck application's side ----------------------------------------------------------

bool WriteAll(int fd, const void* data, std::size_t size) {
  auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string AcceptKey(const std::string& key) {
  std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[64];
  int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

struct Arrival {
  Clock::time_point at;
  std::string event;
  json message;
};

/// One plug-in connection: the handshake, then a reader thread that parses the plug-in's
/// (masked) frames and queues every message with its arrival time; sends are unmasked frames.
class HostConnection {
public:
  explicit HostConnection(int fd) : _fd(fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) Fail("handshake: connection lost");
      head.append(buffer, static_cast<std::size_t>(n));
    }
    std::string lower = head;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto at = lower.find("\r\nsec-websocket-key:");
    if (at == std::string::npos) Fail("handshake: no key");
    at += 20;
    auto end = head.find("\r\n", at);
    std::string key = head.substr(at, end - at);
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Accept: " +
                           AcceptKey(key) + "\r\n\r\n";
    if (!WriteAll(fd, response.data(), response.size())) Fail("handshake: write");
    _pending.assign(head.begin() + static_cast<std::ptrdiff_t>(head.find("\r\n\r\n") + 4), head.end());
    _reader = std::thread([this] { read(); });
  }
  ~HostConnection() {
    ::shutdown(_fd, SHUT_RDWR);
    _reader.join();
    ::close(_fd);
  }

  void sendText(const std::string& text) {
    std::string frame(1, static_cast<char>(0x81));
    if (text.size() < 126) {
      frame += static_cast<char>(text.size());
    } else {
      frame += static_cast<char>(126);
      frame += static_cast<char>(text.size() >> 8);
      frame += static_cast<char>(text.size() & 0xFF);
    }
    frame += text;
    if (!WriteAll(_fd, frame.data(), frame.size())) Fail("host: write failed");
  }

  /// The first queued message of `event` (others before it are dropped).
  Arrival waitFor(const std::string& event, std::chrono::milliseconds timeout) {
    auto arrival = tryWaitFor(event, timeout);
    if (!arrival) Fail("host: no " + event + " message");
    return *arrival;
  }

  std::optional<Arrival> tryWaitFor(const std::string& event, std::chrono::milliseconds timeout) {
    std::unique_lock lock(_mutex);
    auto deadline = Clock::now() + timeout;
    for (;;) {
      while (!_arrivals.empty()) {
        Arrival a = std::move(_arrivals.front());
        _arrivals.pop_front();
        if (a.event == event) return a;
      }
      if (_closed) Fail("host: the plug-in closed the connection while waiting for " + event);
      if (_changed.wait_until(lock, deadline) == std::cv_status::timeout && _arrivals.empty())
        return std::nullopt;
    }
  }

  void sendClose() {
    const char frame[] = {static_cast<char>(0x88), 2, 0x03, static_cast<char>(0xE8)};
    WriteAll(_fd, frame, sizeof frame);
  }

private:
  void read() {
    std::vector<std::uint8_t> buffer(_pending.begin(), _pending.end());
    std::string message;
    char chunk[65536];
    for (;;) {
      // Complete frames at the front of the buffer.
      std::size_t used = 0;
      for (;;) {
        std::size_t avail = buffer.size() - used;
        if (avail < 2) break;
        const std::uint8_t* h = buffer.data() + used;
        std::uint64_t length = h[1] & 0x7F;
        std::size_t headerLength = 2;
        if (length == 126) {
          if (avail < 4) break;
          length = (std::uint64_t{h[2]} << 8) | h[3];
          headerLength = 4;
        } else if (length == 127) {
          if (avail < 10) break;
          length = 0;
          for (int k = 0; k < 8; ++k) length = (length << 8) | h[2 + k];
          headerLength = 10;
        }
        bool masked = h[1] & 0x80;
        std::size_t total = headerLength + (masked ? 4 : 0) + static_cast<std::size_t>(length);
        if (avail < total) break;
        auto now = Clock::now();
        const std::uint8_t* mask = h + headerLength;
        const std::uint8_t* payload = mask + (masked ? 4 : 0);
        std::uint8_t opcode = h[0] & 0x0F;
        bool fin = h[0] & 0x80;
        if (opcode < 0x8) {
          for (std::size_t i = 0; i < length; ++i)
            message += static_cast<char>(masked ? payload[i] ^ mask[i % 4] : payload[i]);
          if (fin) {
            Arrival a{now, {}, json::parse(message, nullptr, false)};
            if (a.message.is_object() && a.message.contains("event") && a.message["event"].is_string())
              a.event = a.message["event"];
            {
              std::lock_guard lock(_mutex);
              _arrivals.push_back(std::move(a));
            }
            _changed.notify_all();
            message.clear();
          }
        }
        used += total;
      }
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
      ssize_t n = ::recv(_fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.insert(buffer.end(), chunk, chunk + n);
    }
    std::lock_guard lock(_mutex);
    _closed = true;
    _changed.notify_all();
  }

  int _fd;
  std::string _pending;
  std::thread _reader;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::deque<Arrival> _arrivals;
  bool _closed = false;
};

class Listener {
public:
  Listener() {
    _fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(_fd, 8) != 0)
      Fail("listen");
    socklen_t length = sizeof address;
    ::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length);
    _port = ntohs(address.sin_port);
  }
  ~Listener() { ::close(_fd); }
  int port() const { return _port; }
  int accept(std::chrono::milliseconds timeout) {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) Fail("the plug-in did not connect");
    return ::accept(_fd, nullptr, nullptr);
  }

private:
  int _fd = -1;
  int _port = 0;
};

// ---- the plug-in process ------------------------------------------------------------------------

class PlugIn {
public:
  PlugIn(const std::string& executable, int port, const std::string& busAddress, const std::string& home) {
    std::vector<std::string> args = {executable,
                                     "-port",
                                     std::to_string(port),
                                     "-pluginUUID",
                                     "com.zorbel.streamdeck",
                                     "-registerEvent",
                                     "registerPlugin",
                                     "-info",
                                     R"({"application":{"platform":"linux","version":"6.0"},"devices":[]})"};
    std::vector<std::string> env = {"HOME=" + home,
                                    "XDG_STATE_HOME=" + home + "/state",
                                    "XDG_CONFIG_HOME=" + home + "/config",
                                    "XDG_DATA_HOME=" + home + "/data",
                                    "DBUS_SESSION_BUS_ADDRESS=" + busAddress,
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    spawned = Clock::now();
    if (::posix_spawn(&_pid, executable.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
      Fail("cannot start " + executable);
    gPlugInPid = _pid;
  }
  ~PlugIn() {
    if (_pid > 0) {
      ::kill(_pid, SIGKILL);
      ::waitpid(_pid, nullptr, 0);
      gPlugInPid = -1;
    }
  }
  pid_t pid() const { return _pid; }

  /// Waits for the process to end; its exit status, or -1.
  int wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(_pid, &status, WNOHANG) == _pid) {
        _pid = -1;
        gPlugInPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  Clock::time_point spawned;

private:
  pid_t _pid = -1;
};

/// utime + stime of the whole process, in clock ticks.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) {
      stime = std::stoll(field);
      break;
    }
  }
  return utime + stime;
}

/// Voluntary and involuntary context switches of every thread, by thread id.
std::map<std::string, long long> ContextSwitches(pid_t pid) {
  std::map<std::string, long long> switches;
  std::string taskFolder = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(taskFolder)) {
    std::ifstream in(entry.path() / "status");
    std::string line;
    long long total = 0;
    while (std::getline(in, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        total += std::stoll(line.substr(line.find(':') + 1));
    switches[entry.path().filename().string()] = total;
  }
  return switches;
}

/// Wake-ups between two samples: the switches of threads alive in both, plus every switch of a
/// thread that started meanwhile; threads that ended meanwhile are counted apart (each woke at
/// least once, to end).
struct WakeUps {
  long long switches = 0;
  int started = 0, ended = 0;
};

WakeUps Compare(const std::map<std::string, long long>& before,
                const std::map<std::string, long long>& after) {
  WakeUps w;
  for (const auto& [tid, count] : after) {
    auto earlier = before.find(tid);
    if (earlier == before.end()) {
      w.switches += count;
      ++w.started;
    } else {
      w.switches += count - earlier->second;
    }
  }
  for (const auto& [tid, count] : before)
    if (!after.count(tid)) ++w.ended;
  return w;
}

int Threads(pid_t pid) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    ++n;
  return n;
}

long long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

/// The process's own memory (private pages, clean and dirty) and its proportional share of the
/// shared pages, from smaps_rollup: RSS counts every page of every shared library it touched.
std::pair<long long, long long> PrivateAndPssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  long long privatePages = 0, pss = 0;
  while (std::getline(in, line)) {
    if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0)
      privatePages += std::stoll(line.substr(line.find(':') + 1));
    if (line.rfind("Pss:", 0) == 0) pss = std::stoll(line.substr(4));
  }
  return {privatePages, pss};
}

json Percentiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) {
    std::size_t index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
  };
  return {{"count", values.size()}, {"p50_us", at(0.50)}, {"p99_us", at(0.99)}, {"max_us", values.back()}};
}

std::string KeyEvent(const char* event, const char* context, int column, int row) {
  json message = {{"action", "com.zorbel.streamdeck.key"},
                  {"event", event},
                  {"context", context},
                  {"device", "DEVICE1"},
                  {"payload",
                   {{"settings", json::object()},
                    {"coordinates", {{"column", column}, {"row", row}}},
                    {"state", 0},
                    {"isInMultiAction", false}}}};
  return message.dump();
}

/// One key on the deck, so that the engine's titles address it ("R1C1"); the first title (not
/// measured) shows that the process knows it. The key event and the notification take
/// different paths, so the title is repeated until the key is known.
void MakeReady(HostConnection& host, Engine& engine, std::chrono::milliseconds timeout) {
  host.sendText(KeyEvent("willAppear", "CONTEXT1", 0, 0));
  for (int attempt = 0;; ++attempt) {
    if (attempt == 50) Fail("the plug-in never answered a title");
    engine.post("Zorbel Stream Deck Set Title", {{"zbID", "R1C1"}, {"title", "ready"}});
    if (host.tryWaitFor("setTitle", std::chrono::milliseconds(100))) break;
  }
  host.waitFor("setSettings", timeout);
  // Late answers to repeated titles are drained before the measurement.
  while (host.tryWaitFor("setTitle", std::chrono::milliseconds(300))) {
  }
}

struct PathLatencies {
  std::vector<double> keys, titles;
};

/// Key events one at a time (frame written -> signal at the subscriber), then titles one at a
/// time (signal emitted -> setTitle frame at the host; the setSettings after it is awaited).
PathLatencies MeasurePaths(HostConnection& host, Engine& engine, KeySubscriber& subscriber,
                           std::uint64_t keys, std::uint64_t titles, std::uint64_t measuredKeys,
                           std::chrono::milliseconds timeout) {
  PathLatencies result;
  const std::uint64_t base = subscriber.received();
  for (std::uint64_t i = 0; i < keys; ++i) {
    std::string frame = KeyEvent(i % 2 ? "keyUp" : "keyDown", "CONTEXT1", 0, 0);
    auto sent = Clock::now();
    host.sendText(frame);
    auto arrived = subscriber.waitFor(base + i + 1, timeout);
    if (i < measuredKeys) result.keys.push_back(Micros(arrived - sent));
  }
  for (std::uint64_t i = 0; i < titles; ++i) {
    char title[32];
    std::snprintf(title, sizeof title, "T%llu", static_cast<unsigned long long>(i));
    auto sent = Clock::now();
    engine.post("Zorbel Stream Deck Set Title", {{"zbID", "R1C1"}, {"title", title}});
    Arrival a = host.waitFor("setTitle", timeout);
    result.titles.push_back(Micros(a.at - sent));
    host.waitFor("setSettings", timeout);
  }
  return result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

json Spread(const std::vector<double>& values) {
  return {{"median", Median(values)},
          {"min", *std::min_element(values.begin(), values.end())},
          {"max", *std::max_element(values.begin(), values.end())}};
}

/// The plug-in against the floor relay: `rounds` interleaved rounds, a fresh process each.
json CompareWithFloor(const std::string& plugin, const std::string& floor, int rounds, std::uint64_t keys,
                      std::uint64_t titles, Listener& listener, const std::string& busAddress,
                      const std::string& home, Engine& engine, KeySubscriber& subscriber,
                      std::chrono::milliseconds timeout) {
  const char* names[2] = {"plugin", "floor"};
  const std::string executables[2] = {plugin, floor};
  // [executable][figure] -> one value per round; figures: key p50, key p99, title p50, title p99.
  std::vector<double> figures[2][4];
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      int which = (round + turn) % 2; // alternate which goes first
      PlugIn process(executables[which], listener.port(), busAddress, home);
      HostConnection host(listener.accept(timeout));
      host.waitFor("registerPlugin", timeout);
      MakeReady(host, engine, timeout);
      PathLatencies measured = MeasurePaths(host, engine, subscriber, keys, titles, keys, timeout);
      host.sendClose();
      if (process.wait(timeout) != 0)
        Fail(std::string(names[which]) + " did not exit with status 0 after the close");
      json key = Percentiles(measured.keys), title = Percentiles(measured.titles);
      figures[which][0].push_back(key["p50_us"]);
      figures[which][1].push_back(key["p99_us"]);
      figures[which][2].push_back(title["p50_us"]);
      figures[which][3].push_back(title["p99_us"]);
    }
    std::fprintf(stderr, "floor round %d/%d done\n", round + 1, rounds);
  }
  const char* figureNames[4] = {"key_p50_us", "key_p99_us", "title_p50_us", "title_p99_us"};
  const char* ratioNames[4] = {"key_p50", "key_p99", "title_p50", "title_p99"};
  const double targets[4] = {1.3, 1.3, 1.15, 1.15};
  json result = {{"rounds", rounds}, {"keys_per_round", keys}, {"titles_per_round", titles}};
  for (int which = 0; which < 2; ++which)
    for (int f = 0; f < 4; ++f) result[names[which]][figureNames[f]] = Spread(figures[which][f]);
  std::fprintf(stderr, "\n%-10s %24s %24s %8s %8s\n", "path", "plug-in µs (min-max)", "floor µs (min-max)",
               "ratio", "target");
  for (int f = 0; f < 4; ++f) {
    std::vector<double> perRound;
    for (std::size_t r = 0; r < figures[0][f].size(); ++r)
      perRound.push_back(figures[0][f][r] / figures[1][f][r]);
    double ratio = Median(figures[0][f]) / Median(figures[1][f]);
    result["ratios"][ratioNames[f]] = {{"ratio_of_medians", ratio},
                                       {"rounds_min", *std::min_element(perRound.begin(), perRound.end())},
                                       {"rounds_max", *std::max_element(perRound.begin(), perRound.end())},
                                       {"target", targets[f]},
                                       {"met", ratio <= targets[f]}};
    char plugInText[64], floorText[64];
    std::snprintf(plugInText, sizeof plugInText, "%.0f (%.0f-%.0f)", Median(figures[0][f]),
                  *std::min_element(figures[0][f].begin(), figures[0][f].end()),
                  *std::max_element(figures[0][f].begin(), figures[0][f].end()));
    std::snprintf(floorText, sizeof floorText, "%.0f (%.0f-%.0f)", Median(figures[1][f]),
                  *std::min_element(figures[1][f].begin(), figures[1][f].end()),
                  *std::max_element(figures[1][f].begin(), figures[1][f].end()));
    std::fprintf(stderr, "%-10s %24s %24s %7.2fx %7.2fx%s\n", ratioNames[f], plugInText, floorText, ratio,
                 targets[f], ratio <= targets[f] ? "" : "  missed");
  }
  return result;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: %s <plug-in executable> [--json out.json] [--quick] [--log] [--floor <relay>] [--rounds N]\n",
        argv[0]);
    return 2;
  }
  std::string executable = argv[1];
  std::string jsonPath;
  std::string floor = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "zb_bench_e2e_floor";
  int rounds = 5;
  bool quick = false, log = false; // --log: the plug-in writes every log category
  bool floorOnly = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) jsonPath = argv[++i];
    if (std::strcmp(argv[i], "--floor") == 0 && i + 1 < argc) floor = argv[++i];
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--log") == 0) log = true;
    if (std::strcmp(argv[i], "--floor-only") == 0) floorOnly = true;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const std::uint64_t measuredKeys = quick ? 1000 : 10000, totalKeys = quick ? 10000 : 100000;
  const std::uint64_t titles = quick ? 1000 : 10000;
  const int idleSeconds = quick ? 3 : 30, startups = quick ? 5 : 20;
  const auto timeout = std::chrono::milliseconds(5000);

  char pattern[] = "/tmp/zb-e2e-XXXXXX";
  if (!::mkdtemp(pattern)) Fail("mkdtemp");
  std::string folder = pattern;
  if (log) {
    std::filesystem::create_directories(folder + "/config");
    std::ofstream(folder + "/config/com.zorbel.streamdeck.json")
        << R"({"Debug": "any display Events Verbose"})";
  }
  json results;
  {
    PrivateBus bus(folder);
    KeySubscriber subscriber(bus.address());
    Engine engine(bus.address());
    Listener listener;
    if (!floorOnly) {
      // Start-up, each in a fresh process: spawn -> registration message.
      std::vector<double> startup;
      for (int i = 0; i < startups; ++i) {
        PlugIn plugin(executable, listener.port(), bus.address(), folder);
        HostConnection host(listener.accept(timeout));
        Arrival registration = host.waitFor("registerPlugin", timeout);
        startup.push_back(Micros(registration.at - plugin.spawned));
        host.sendClose();
        if (plugin.wait(timeout) != 0) Fail("the plug-in did not exit with status 0 after the close");
      }
      results["startup"] = Percentiles(startup);
      std::fprintf(stderr, "start-up done\n");

      PlugIn plugin(executable, listener.port(), bus.address(), folder);
      HostConnection host(listener.accept(timeout));
      host.waitFor("registerPlugin", timeout);
      // Idle: from shortly after the registration (the start-up's last steps settle), no tick
      // and no wake-up of any thread.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      long long rssStart = RssKiB(plugin.pid());
      auto [privateStart, pssStart] = PrivateAndPssKiB(plugin.pid());
      long long ticks0 = CpuTicks(plugin.pid());
      auto switches0 = ContextSwitches(plugin.pid());
      std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
      long long ticks1 = CpuTicks(plugin.pid());
      auto switches1 = ContextSwitches(plugin.pid());
      WakeUps wakeUps = Compare(switches0, switches1);
      results["idle"] = {{"seconds", idleSeconds},
                         {"cpu_ticks", ticks1 - ticks0},
                         {"context_switches", wakeUps.switches},
                         {"threads_started", wakeUps.started},
                         {"threads_ended", wakeUps.ended},
                         {"threads_before", switches0.size()},
                         {"threads", Threads(plugin.pid())},
                         {"ticks_per_second", ::sysconf(_SC_CLK_TCK)}};
      std::fprintf(stderr, "idle done\n");

      MakeReady(host, engine, timeout);

      // Key events one at a time, measured for the first `measuredKeys`, then the rest to reach
      // `totalKeys`; then the titles.
      PathLatencies measured =
          MeasurePaths(host, engine, subscriber, totalKeys, titles, measuredKeys, timeout);
      results["key_to_signal"] = Percentiles(measured.keys);
      results["title_to_frame"] = Percentiles(measured.titles);
      std::fprintf(stderr, "keys and titles done\n");
      long long rssAfter = RssKiB(plugin.pid());
      auto [privateAfter, pssAfter] = PrivateAndPssKiB(plugin.pid());
      results["rss"] = {{"after_start_kib", rssStart},
                        {"after_load_kib", rssAfter},
                        {"growth_kib", rssAfter - rssStart},
                        {"private_after_start_kib", privateStart},
                        {"private_after_load_kib", privateAfter},
                        {"pss_after_start_kib", pssStart},
                        {"pss_after_load_kib", pssAfter},
                        {"key_events", totalKeys},
                        {"titles", titles}};
      host.sendClose();
      results["exit_status"] = plugin.wait(timeout);
    }

    results["floor"] = CompareWithFloor(executable, floor, rounds, quick ? 300 : 2000, quick ? 100 : 1000,
                                        listener, bus.address(), folder, engine, subscriber, timeout);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  std::string text = results.dump(2);
  std::printf("%s\n", text.c_str());
  if (!jsonPath.empty()) std::ofstream(jsonPath) << text << "\n";
  return 0;
}
