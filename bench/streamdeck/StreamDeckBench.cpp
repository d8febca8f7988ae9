// The Stream Deck link's hot paths, from the WebSocket message as received to what leaves the
// process: a keyDown up to the posted key notification (no bus I/O: the center only counts), and a
// willAppear carrying a 1 MB "data:image" setting up to the setImage text handed to the
// connection. Run without arguments, the willAppear benchmark runs twice: with the "Verbose" log
// category off, then (in a child process, since the preference is read once per process) on.
//   targets: keyDown <= 10 us; willAppear 1 MB <= 2 ms (Verbose off), < 10 ms (Verbose on).

#include "plugin/ZBStreamDeckPlugin.hpp"
#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDConnectionManager.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using nlohmann::json;

namespace {

class CountingCenter final : public platform::DistributedNotificationCenter {
public:
  std::size_t posts = 0;
  bool isAvailable() const override { return true; }
  void postNotificationName(const std::string&, const std::string&, const json& userInfo) override {
    posts += userInfo.size();
  }
  ObserverToken addObserver(const std::string&, const std::string&,
                            platform::DistributedNotificationHandler) override {
    return 1;
  }
  void removeObserver(ObserverToken) override {}
};

struct Fixture {
  std::shared_ptr<CountingCenter> center = std::make_shared<CountingCenter>();
  std::shared_ptr<ZBStreamDeckPlugin> plugin = std::make_shared<ZBStreamDeckPlugin>();
  std::shared_ptr<SDConnectionManager> manager;
  std::shared_ptr<FakeWebSocket> socket;

  Fixture() {
    plugin->setNotificationCenterForTesting(center);
    manager =
        SDConnectionManager::initWithPort(1, "U", "E", std::nullopt, plugin, [this](const WSURLRequest& r) {
          socket = std::make_shared<FakeWebSocket>(r);
          return socket;
        });
    socket->reportOpen();
    socket->sent.clear();
    socket->reportText(
        R"({"event":"willAppear","action":"com.zorbel.key","context":"CTX0123456789","device":"DEV",)"
        R"("payload":{"coordinates":{"row":1,"column":3},"settings":{"zbRow":"2"}}})");
  }
};

void BM_KeyDownToPostedNotification(benchmark::State& state) {
  Fixture f;
  const std::string message =
      R"({"action":"com.zorbel.streamdeck.key","context":"CTX0123456789","device":"DEV0123456789",)"
      R"("event":"keyDown","payload":{"coordinates":{"column":3,"row":1},"isInMultiAction":false,)"
      R"("settings":{"zbRow":"2"},"state":0}})";
  for (auto _ : state) {
    f.socket->reportText(message);
    benchmark::DoNotOptimize(f.center->posts);
  }
  if (f.center->posts != 4 * static_cast<std::size_t>(state.iterations())) state.SkipWithError("not posted");
}
BENCHMARK(BM_KeyDownToPostedNotification);

void BM_WillAppearWith1MBImage(benchmark::State& state) {
  Fixture f;
  json message = {
      {"event", "willAppear"},
      {"action", "com.zorbel.streamdeck.key"},
      {"context", "CTX0123456789"},
      {"device", "DEV"},
      {"payload",
       {{"coordinates", {{"row", 0}, {"column", 0}}},
        {"settings", {{"image", "data:image/png;base64," + std::string(1 << 20, 'A')}, {"title", "T"}}}}}};
  const std::string text = message.dump();
  std::size_t bytes = 0;
  for (auto _ : state) {
    f.socket->reportText(text);
    bytes += f.socket->sent.front().bytes.size();
    f.socket->sent.clear();
  }
  benchmark::DoNotOptimize(bytes);
  state.SetLabel(std::getenv("ZB_BENCH_VERBOSE") ? "Verbose on" : "Verbose off");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_WillAppearWith1MBImage)->Unit(benchmark::kMicrosecond);

// The log goes to a private folder; "Debug" enables Verbose in the child run only.
std::string PrepareLog(bool verbose) {
  char pattern[] = "/tmp/zb-bench-XXXXXX";
  std::string folder = ::mkdtemp(pattern) ? pattern : "/tmp";
  std::filesystem::create_directories(folder + "/config");
  ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
  if (verbose) std::ofstream(folder + "/config/com.zorbel.streamdeck.json") << R"({"Debug": "Verbose"})";
  return folder;
}

} // namespace

int main(int argc, char** argv) {
  const bool verbose = std::getenv("ZB_BENCH_VERBOSE") != nullptr;
  std::string folder = PrepareLog(verbose);
  bool filtered = false;
  for (int i = 1; i < argc; ++i)
    filtered = filtered || std::string(argv[i]).rfind("--benchmark_filter", 0) == 0;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!verbose && !filtered) {
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
      ::setenv("ZB_BENCH_VERBOSE", "1", 1);
      ::execl("/proc/self/exe", argv[0], "--benchmark_filter=WillAppear", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
