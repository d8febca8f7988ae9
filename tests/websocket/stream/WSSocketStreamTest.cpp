// The socket stream pair: connect (every address in order), events on the scheduled run loop,
// reads and writes from another thread, the end and errors of the connection.
#include "websocket/stream/WSStream.hpp"

#include "../WSTestSupport.hpp"
#include "support/LineCapture.hpp"
#include "websocket/WSRunLoopThread.hpp"

#include <netdb.h>
#include <sys/wait.h>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include <future>

using namespace wstest;

namespace {

class EventRecorder : public WSStreamDelegate {
public:
  void streamHandleEvent(WSStream& stream, WSStreamEvent event) override {
    std::lock_guard lock(_mutex);
    _events.emplace_back(&stream, event);
    onNetworkThread = onNetworkThread && WS_networkRunLoop().isCurrent();
    _changed.notify_all();
  }
  bool waitFor(WSStream* stream, WSStreamEvent event) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, kTimeout, [&] {
      return std::find(_events.begin(), _events.end(), std::make_pair(stream, event)) != _events.end();
    });
  }
  std::size_t count(WSStream* stream, WSStreamEvent event) {
    std::lock_guard lock(_mutex);
    return static_cast<std::size_t>(
        std::count(_events.begin(), _events.end(), std::make_pair(stream, event)));
  }
  bool onNetworkThread = true;

private:
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::pair<WSStream*, WSStreamEvent>> _events;
};

struct Opened {
  explicit Opened(const std::string& host, std::uint16_t port)
      : pair(WSStreamCreatePairWithSocketToHost(host, port)) {
    pair.input->setDelegate(recorder);
    pair.output->setDelegate(recorder);
    pair.input->scheduleInRunLoop(WS_networkRunLoop());
    pair.output->scheduleInRunLoop(WS_networkRunLoop());
    pair.output->open();
    pair.input->open();
  }
  ~Opened() {
    pair.input->close();
    pair.output->close();
  }
  std::shared_ptr<EventRecorder> recorder = std::make_shared<EventRecorder>();
  WSStreamPair pair;
};

// Both streams open, the output has space, bytes go both ways, and the peer's close is the
// input's end; every event arrives on the network thread.
TEST(WSSocketStreamTest, ConnectsReadsWritesAndEnds) {
  std::promise<WSData> received;
  RawServer server([&](RawPeer& peer) {
    received.set_value(peer.readExactly(5));
    peer.send("world");
    peer.close();
  });
  Opened s("localhost", server.port()); // "localhost" may be ::1 first: the next address is tried
  ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventOpenCompleted));
  ASSERT_TRUE(s.recorder->waitFor(s.pair.output.get(), WSStreamEventOpenCompleted));
  ASSERT_TRUE(s.recorder->waitFor(s.pair.output.get(), WSStreamEventHasSpaceAvailable));
  EXPECT_EQ(s.pair.input->streamStatus(), WSStreamStatusOpen);
  ASSERT_TRUE(s.pair.output->hasSpaceAvailable());
  EXPECT_EQ(s.pair.output->write(Bytes("hello").data(), 5), 5);
  EXPECT_EQ(received.get_future().get(), Bytes("hello"));
  ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventHasBytesAvailable));
  std::string got;
  std::uint8_t buffer[64];
  while (got.size() < 5) {
    ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventHasBytesAvailable));
    while (s.pair.input->hasBytesAvailable()) {
      auto n = s.pair.input->read(buffer, sizeof buffer);
      if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
      if (n == 0) break;
    }
  }
  EXPECT_EQ(got, "world");
  EXPECT_EQ(server.finish(), "");
  // Drain to the end.
  while (s.pair.input->streamStatus() != WSStreamStatusAtEnd) {
    ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventHasBytesAvailable));
    if (s.pair.input->hasBytesAvailable()) s.pair.input->read(buffer, sizeof buffer);
  }
  ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventEndEncountered));
  EXPECT_EQ(s.pair.input->streamError(), std::nullopt);
  EXPECT_TRUE(s.recorder->onNetworkThread);
}

// A refused connection is an error event on both streams with the socket's error.
TEST(WSSocketStreamTest, RefusedConnectionIsAnErrorOnBothStreams) {
  Opened s("127.0.0.1", ReleasedLoopbackPort());
  ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventErrorOccurred));
  ASSERT_TRUE(s.recorder->waitFor(s.pair.output.get(), WSStreamEventErrorOccurred));
  EXPECT_EQ(s.pair.input->streamStatus(), WSStreamStatusError);
  ASSERT_TRUE(s.pair.input->streamError());
  EXPECT_EQ(s.pair.input->streamError()->code, ECONNREFUSED);
  EXPECT_EQ(s.pair.input->streamError()->domain, NSPOSIXErrorDomain);
  EXPECT_EQ(s.recorder->count(s.pair.input.get(), WSStreamEventOpenCompleted), 0u);
}

// Events that happen while a stream is scheduled nowhere are held and delivered once it is.
TEST(WSSocketStreamTest, EventsWaitUntilScheduled) {
  RawServer server([](RawPeer& peer) { peer.waitForClientClose(); });
  auto recorder = std::make_shared<EventRecorder>();
  WSStreamPair pair = WSStreamCreatePairWithSocketToHost("127.0.0.1", server.port());
  pair.input->setDelegate(recorder);
  pair.output->setDelegate(recorder);
  pair.input->scheduleInRunLoop(WS_networkRunLoop());
  pair.output->open();
  pair.input->open();
  ASSERT_TRUE(recorder->waitFor(pair.input.get(), WSStreamEventOpenCompleted));
  EXPECT_EQ(recorder->count(pair.output.get(), WSStreamEventOpenCompleted), 0u);
  pair.output->scheduleInRunLoop(WS_networkRunLoop());
  ASSERT_TRUE(recorder->waitFor(pair.output.get(), WSStreamEventOpenCompleted));
  ASSERT_TRUE(recorder->waitFor(pair.output.get(), WSStreamEventHasSpaceAvailable));
  pair.output->close();
  pair.input->close();
  EXPECT_EQ(pair.input->streamStatus(), WSStreamStatusClosed);
  EXPECT_EQ(server.finish(), "");
}

// Properties are stored per stream; an unknown key reads empty.
TEST(WSSocketStreamTest, PropertiesAreStored) {
  WSStreamPair pair = WSStreamCreatePairWithSocketToHost("127.0.0.1", 9);
  EXPECT_FALSE(pair.input->propertyForKey(WSStreamPropertySSLPeerTrust).has_value());
  EXPECT_TRUE(pair.output->setProperty(std::string("peer.example"), WSStreamPropertySocketPeerName));
  EXPECT_EQ(std::any_cast<std::string>(pair.output->propertyForKey(WSStreamPropertySocketPeerName)),
            "peer.example");
  EXPECT_FALSE(pair.input->propertyForKey(WSStreamPropertySocketPeerName).has_value());
  EXPECT_EQ(pair.input->streamStatus(), WSStreamStatusNotOpen);
}

// A listening socket on ::1 that takes connections into its backlog; -1 without IPv6.
int ListenOnIPv6Loopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t length = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(a.sin6_port);
  return fd;
}

// RFC 6761: when "localhost" does not resolve, the pair connects to 127.0.0.1, then ::1, with one
// log line; any other name that does not resolve still fails with the resolver's error.
TEST(WSSocketStreamTest, UnresolvableLocalhostFallsBackToLoopback) {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::optional<testsupport::LineCapture> capture(std::in_place, [&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  });
  WSStreamSetUnresolvableHostsForTesting({"localhost", "LocalHost.", "nothing.invalid"});
  for (const char* host : {"localhost", "LocalHost."}) {
    RawServer server([](RawPeer& peer) { peer.close(); });
    Opened s(host, server.port());
    EXPECT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventOpenCompleted)) << host;
    EXPECT_EQ(server.finish(), "");
  }
  std::uint16_t port = 0;
  const int v6 = ListenOnIPv6Loopback(port);
  if (v6 >= 0) {
    // Nothing listens on 127.0.0.1 at this port (normally): ::1 is the next address.
    Opened s("localhost", port);
    EXPECT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventOpenCompleted));
    ::close(v6);
  }
  {
    Opened s("nothing.invalid", 9);
    ASSERT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventErrorOccurred));
    EXPECT_EQ(s.pair.input->streamError()->domain, "kCFStreamErrorDomainNetDB");
  }
  WSStreamSetUnresolvableHostsForTesting({});
  capture.reset();
  std::lock_guard lock(mutex);
  const std::vector<std::string> expected{
      "localhost did not resolve (Host not found (authoritative)): connecting to 127.0.0.1, then ::1",
      "LocalHost. did not resolve (Host not found (authoritative)): connecting to 127.0.0.1, then ::1"};
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), expected);
  EXPECT_EQ(lines.size(), v6 >= 0 ? 3u : 2u);
}

// With "localhost" resolving to ::1 first, as a stock Debian hosts file ("::1 localhost
// ip6-localhost ip6-loopback") makes it, a server on 127.0.0.1 only is still reached: every
// address the name resolves to is tried in order. This binary plays it in a private mount
// namespace over such a hosts file (root only; skipped elsewhere), whatever the machine's says.
TEST(WSSocketStreamTest, LocalhostTriesEveryAddressItResolvesTo) {
  if (std::getenv("ZB_TEST_STOCK_HOSTS")) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    ASSERT_EQ(::getaddrinfo("localhost", "80", &hints, &found), 0);
    const int first = found->ai_family;
    ::freeaddrinfo(found);
    if (first != AF_INET6) GTEST_SKIP() << "this machine does not put ::1 first";
    RawServer server([](RawPeer& peer) { peer.close(); }); // 127.0.0.1 only
    Opened s("localhost", server.port());
    EXPECT_TRUE(s.recorder->waitFor(s.pair.input.get(), WSStreamEventOpenCompleted));
    EXPECT_EQ(server.finish(), "");
    return;
  }
  if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0)
    GTEST_SKIP() << "no private mount namespace here";
  char hosts[] = "/tmp/zb-stock-hosts-XXXXXX";
  const int fd = ::mkstemp(hosts);
  ASSERT_GE(fd, 0);
  const std::string stock = "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n";
  ASSERT_EQ(::write(fd, stock.data(), stock.size()), static_cast<ssize_t>(stock.size()));
  ::close(fd);
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  const std::string command = std::string("ZB_TEST_STOCK_HOSTS=1 unshare -m sh -c 'mount --bind ") + hosts +
                              " /etc/hosts && exec \"$0\" --gtest_filter=WSSocketStreamTest." +
                              "LocalhostTriesEveryAddressItResolvesTo' " + self;
  const int status = std::system(command.c_str());
  ::unlink(hosts);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

} // namespace
