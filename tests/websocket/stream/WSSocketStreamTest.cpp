// The socket stream pair: connect (every address in order), events on the scheduled run loop,
// reads and writes from another thread, the end and errors of the connection.
#include "websocket/stream/WSStream.hpp"

#include "../WSTestSupport.hpp"
#include "support/LineCapture.hpp"
#include "websocket/WSRunLoopThread.hpp"

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

} // namespace
