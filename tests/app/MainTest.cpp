// The executable itself: command-line errors (exact standard error bytes, nothing on standard
// output, status 1), and a whole run against a WebSocket server on loopback that reads the
// registration and closes the connection (status 0).

#include "support/Process.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kExecutable = ZB_PLUGIN_EXECUTABLE;

class MainTest : public ::testing::Test {
protected:
  testsupport::ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), kExecutable);
    // Logs go to a private folder and no session bus is used.
    return testsupport::RunProcess(args, {{"XDG_STATE_HOME", home.file("state")},
                                          {"XDG_CONFIG_HOME", home.file("config")},
                                          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.file("no-bus")}});
  }

  void expectError(const std::vector<std::string>& args, const std::string& message) {
    auto result = run(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, message); // exactly these bytes: no newline
    EXPECT_EQ(result.out, "");
  }

  testsupport::TempDir home;
};

// The argument count, program name included, must be 9.
TEST_F(MainTest, WrongArgumentCount) {
  expectError({"-port", "1", "-pluginUUID", "U", "-registerEvent"},
              "Invalid number of parameters 6 instead of 9");
  expectError({"-port", "1", "-pluginUUID", "U", "-registerEvent", "E"},
              "Invalid number of parameters 7 instead of 9");
  expectError({"-port", "1", "-pluginUUID", "U", "-registerEvent", "E", "-info", "{}", "a", "b"},
              "Invalid number of parameters 11 instead of 9");
  expectError({}, "Invalid number of parameters 1 instead of 9");
}

// The values are checked in order: port, plug-in UUID, registration event.
TEST_F(MainTest, InvalidValues) {
  expectError({"-port", "abc", "-pluginUUID", "U", "-registerEvent", "E", "-info", "{}"},
              "Invalid port number");
  expectError({"-port", "0", "-pluginUUID", "U", "-registerEvent", "E", "-info", "{}"},
              "Invalid port number");
  expectError({"-port", "0", "-pluginUUID", "", "-registerEvent", "", "-info", "{}"}, "Invalid port number");
  expectError({"-port", "5", "-pluginUUID", "", "-registerEvent", "E", "-info", "{}"}, "Invalid plugin UUID");
  expectError({"-port", "5", "-pluginUUID", "U", "-registerEvent", "", "-info", "{}"},
              "Invalid registerEvent");
  expectError({"-port", "5", "-pluginuuid", "U", "-registerEvent", "E", "-info", "{}"},
              "Invalid plugin UUID");
  expectError({"-port", "5", "-pluginUUID", "U", "-info", "-registerEvent", "x", "E"},
              "Invalid registerEvent");
}

// A WebSocket server on loopback that prints each message it receives as a JSON line, then closes.
class RegistrationServer {
public:
  RegistrationServer() {
    static const char* script = R"PY(
import asyncio, json, websockets
async def handler(ws, path=None):
    message = await ws.recv()
    kind = "text" if isinstance(message, str) else "binary"
    text = message if isinstance(message, str) else message.decode()
    print(json.dumps({"kind": kind, "text": text}), flush=True)
    await ws.close()
async def main():
    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Future()
asyncio.run(main())
)PY";
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    _pid = ::fork();
    if (_pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl("/usr/bin/python3", "/usr/bin/python3", "-c", script, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    _fd = fds[0];
    port = line();
  }
  ~RegistrationServer() {
    ::kill(_pid, SIGTERM);
    int status;
    ::waitpid(_pid, &status, 0);
    ::close(_fd);
  }

  /// The next line the server printed ("" at the deadline).
  std::string line() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (_buffer.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{_fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::read(_fd, chunk, sizeof chunk);
      if (n <= 0) break;
      _buffer.append(chunk, static_cast<std::size_t>(n));
    }
    auto eol = _buffer.find('\n');
    if (eol == std::string::npos) return "";
    std::string out = _buffer.substr(0, eol);
    _buffer.erase(0, eol + 1);
    return out;
  }

  std::string port;

private:
  pid_t _pid = -1;
  int _fd = -1;
  std::string _buffer;
};

// A whole run: registration as a text message with the command line's event and UUID, then the
// server's close ends the process with status 0; nothing on standard output or error.
TEST_F(MainTest, RegistersAndExitsWithZeroWhenTheConnectionCloses) {
  RegistrationServer server;
  ASSERT_FALSE(server.port.empty());
  auto result = run({"-info", R"({"application":{"version":"1"}})", "-registerEvent", "registerPlugin",
                     "-pluginUUID", "UUID-42", "-port", server.port + "ab"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  auto received = nlohmann::json::parse(server.line());
  EXPECT_EQ(received["kind"], "text");
  EXPECT_EQ(nlohmann::json::parse(received["text"].get<std::string>()),
            (nlohmann::json{{"event", "registerPlugin"}, {"uuid", "UUID-42"}}));
  auto log = testsupport::ReadFile(home.file("state/Zorbel/StreamDeck.log"));
  EXPECT_NE(log.find("Stream Deck Plug In Launched"), std::string::npos);
  EXPECT_NE(log.find("Distributed notifications are unavailable"), std::string::npos);
  EXPECT_NE(log.find("Stream Deck Plug In Quitting"), std::string::npos);
}

} // namespace
