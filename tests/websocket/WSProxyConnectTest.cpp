// The direct connector: an open stream pair handed over once, with no delegate and scheduled
// nowhere; errors handed over instead of streams.
#include "websocket/WSProxyConnect.hpp"

#include "WSTestSupport.hpp"

#include <gtest/gtest.h>

#include <future>

using namespace wstest;

namespace {

struct Result {
  std::optional<WSError> error;
  std::shared_ptr<WSInputStream> input;
  std::shared_ptr<WSOutputStream> output;
};

Result Connect(const std::string& url) {
  auto connector = std::make_shared<WSProxyConnect>(url);
  // Shared with the completion, which may still be returning from set_value on the network
  // thread when this function returns.
  auto promise = std::make_shared<std::promise<Result>>();
  auto calls = std::make_shared<std::atomic<int>>(0);
  connector->openNetworkStreamWithCompletion([promise, calls](const std::optional<WSError>& error,
                                                              std::shared_ptr<WSInputStream> in,
                                                              std::shared_ptr<WSOutputStream> out) {
    if ((*calls)++ == 0) promise->set_value({error, std::move(in), std::move(out)});
  });
  auto future = promise->get_future();
  EXPECT_EQ(future.wait_for(kTimeout), std::future_status::ready);
  Result result = future.get();
  EXPECT_EQ(calls->load(), 1);
  return result;
}

// No proxy applies: the streams go straight to the target and are handed over open.
TEST(WSProxyConnectTest, HandsOverOpenStreams) {
  RawServer server([](RawPeer& peer) { EXPECT_EQ(peer.readExactly(2), Bytes("hi")); });
  Result result = Connect(server.url("/x"));
  ASSERT_FALSE(result.error);
  ASSERT_TRUE(result.input && result.output);
  EXPECT_EQ(result.input->streamStatus(), WSStreamStatusOpen);
  EXPECT_EQ(result.output->streamStatus(), WSStreamStatusOpen);
  EXPECT_EQ(result.output->write(Bytes("hi").data(), 2), 2);
  EXPECT_EQ(server.finish(), "");
  result.input->close();
  result.output->close();
}

// A refused connection hands over the socket's error and no streams.
TEST(WSProxyConnectTest, RefusedConnectionHandsOverTheError) {
  Result result = Connect("ws://127.0.0.1:" + std::to_string(ReleasedLoopbackPort()));
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, ECONNREFUSED);
  EXPECT_FALSE(result.input);
  EXPECT_FALSE(result.output);
}

// A URL without a host fails at once, through the completion.
TEST(WSProxyConnectTest, URLWithoutHostFails) {
  Result result = Connect("not a url");
  ASSERT_TRUE(result.error);
  EXPECT_FALSE(result.input);
}

} // namespace
