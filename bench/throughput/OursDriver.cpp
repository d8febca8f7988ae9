// Throughput driver for our client: one WSWebSocket, reports on the main queue as in the
// plug-in, messages counted in webSocketDidReceiveMessage. Sends go through sendDataNoCopy with
// one shared payload, the client's path for bytes the caller does not change.

#include "BenchDriver.hpp"

#include "platform/RunLoop.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"

#include <memory>
#include <variant>

namespace {

class Driver final : public WSWebSocketDelegate {
public:
  explicit Driver(const bench::DriverArgs& args)
      : _args(args), _payload(std::make_shared<const WSData>(bench::Payload(args.size))) {}

  void webSocketDidOpen(WSWebSocket& webSocket) override {
    if (!_args.send) return;
    for (std::uint64_t i = 0; i < _args.count; ++i) {
      if (!webSocket.sendDataNoCopy(_payload, nullptr)) {
        failed = true;
        return;
      }
    }
  }

  void webSocketDidReceiveMessage(WSWebSocket&, const WSMessage& message) override {
    const auto* data = std::get_if<WSData>(&message);
    if (_args.send) {
      end = bench::Clock::now();
      ++received;
      finish();
      return;
    }
    if (!data || data->size() != _args.size) ++badSizes;
    if (++received == _args.count) {
      end = bench::Clock::now();
      finish();
    }
  }

  void webSocketDidFail(WSWebSocket&, const WSError& error) override {
    std::fprintf(stderr, "ours: failed: %s\n", error.localizedDescription.c_str());
    failed = true;
    platform::RunLoop::main().stop();
  }

  void webSocketDidClose(WSWebSocket&, std::int64_t code, const std::optional<std::string>& reason,
                         bool wasClean) override {
    if (!finished)
      std::fprintf(stderr, "ours: closed after %llu messages: %lld %s%s\n",
                   static_cast<unsigned long long>(received), static_cast<long long>(code),
                   reason ? reason->c_str() : "", wasClean ? "" : " (not clean)");
    closed = true;
    platform::RunLoop::main().stop();
  }

  void finish() {
    finished = true;
    platform::RunLoop::main().stop();
  }

  bench::Clock::time_point start{}, end{};
  std::uint64_t received = 0, badSizes = 0;
  bool finished = false, failed = false, closed = false;

private:
  bench::DriverArgs _args;
  std::shared_ptr<const WSData> _payload;
};

} // namespace

int main(int argc, char** argv) {
  auto args = bench::ParseDriverArgs(argc, argv);
  auto driver = std::make_shared<Driver>(args);
  auto webSocket = WSWebSocket::initWithURLRequest(
      WSURLRequest("ws://127.0.0.1:" + std::to_string(args.port) + args.path()));
  webSocket->setDelegate(driver);
  driver->start = bench::Clock::now();
  webSocket->open();
  auto& loop = platform::RunLoop::main();
  // As in the plug-in, run() serves the loop and the delegate stops it (runUntil would read the
  // clock after every task).
  loop.run();
  int status = bench::Report("ours", args, bench::Seconds(driver->start, driver->end), driver->received,
                             driver->badSizes + (driver->finished ? 0 : 1));
  webSocket->close();
  loop.runUntil([&] { return driver->closed || driver->failed; }, std::chrono::seconds(5));
  return status;
}
