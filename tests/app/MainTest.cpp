// The executable itself: command-line errors (exact standard error bytes, nothing on standard
// output, status 1), and a whole run against a WebSocket server on loopback that reads the
// registration and closes the connection (status 0).

#include "support/Process.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Wait.hpp"

#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kExecutable = ZB_PLUGIN_EXECUTABLE;
const std::string kHostFolder = ZB_APP_TEST_FOLDER "/";

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
  RegistrationServer() : RegistrationServer("closing_host.py") {}
  /// A server from a script file of this folder.
  explicit RegistrationServer(const std::string& file) : RegistrationServer(kHostFolder + file, nullptr) {}

  RegistrationServer(const std::string& first, const char* second) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    _pid = ::fork();
    if (_pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl("/usr/bin/python3", "/usr/bin/python3", first.c_str(), second, static_cast<char*>(nullptr));
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

// A host that resets the open connection (as when it crashes with unread data) ends the plug-in
// as a close does, with a log line that names the error, not one about opening.
TEST_F(MainTest, ResetAfterOpenEndsLikeAClose) {
  RegistrationServer server("resetting_host.py");
  ASSERT_FALSE(server.port.empty());
  auto result =
      run({"-port", server.port, "-pluginUUID", "U", "-registerEvent", "registerPlugin", "-info", "{}"});
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(server.line().find("registerPlugin"), std::string::npos);
  auto log = testsupport::ReadFile(home.file("state/Zorbel/StreamDeck.log"));
  EXPECT_NE(log.find("The connection to Stream Deck failed due to the error"), std::string::npos) << log;
  EXPECT_NE(log.find("Connection reset by peer"), std::string::npos) << log;
  EXPECT_EQ(log.find("could not be opened"), std::string::npos) << log;
  EXPECT_NE(log.find("Stream Deck Plug In Quitting"), std::string::npos) << log;
}

// When the process that started the plug-in dies, the kernel's SIGTERM ends the plug-in with
// status 0 and its log written, also while its connection never opened.
TEST_F(MainTest, EndsWhenItsParentDies) {
  // A port on which nothing listens: the connection fails to open and the plug-in stays.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  const std::string port = std::to_string(ntohs(address.sin_port));

  // Everything the children need is made before fork.
  std::vector<std::string> args = {kExecutable,      "-port", port,    "-pluginUUID", "U",
                                   "-registerEvent", "E",     "-info", "{}"};
  std::vector<std::string> environment = {"XDG_STATE_HOME=" + home.file("state"),
                                          "XDG_CONFIG_HOME=" + home.file("config"),
                                          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.file("no-bus")};
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).substr(0, 4) != "XDG_" && std::string_view(*e).substr(0, 5) != "DBUS_")
      environment.push_back(*e);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The orphaned plug-in comes to this process, which can then see its status.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t middle = ::fork();
  if (middle == 0) {
    pid_t child = ::fork();
    if (child == 0) {
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    (void)!::write(fds[1], &child, sizeof child);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  pid_t plugin = -1;
  ASSERT_EQ(::read(fds[0], &plugin, sizeof plugin), static_cast<ssize_t>(sizeof plugin));
  ::close(fds[0]);
  const std::string logPath = home.file("state/Zorbel/StreamDeck.log");
  // The plug-in has asked for the signal before it logs the failed open.
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return testsupport::ReadFile(logPath).find("could not be opened") != std::string::npos; }));

  ::kill(middle, SIGKILL);
  int status = 0;
  ::waitpid(middle, &status, 0);
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, plugin, 0));
  ASSERT_GE(pidfd, 0);
  pollfd ended{pidfd, POLLIN, 0};
  const bool exited = ::poll(&ended, 1, static_cast<int>(testsupport::kDefaultTimeout.count())) == 1;
  ::close(pidfd);
  if (!exited) ::kill(plugin, SIGKILL);
  ASSERT_EQ(::waitpid(plugin, &status, 0), plugin);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_TRUE(exited) << "the plug-in outlived its parent";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto log = testsupport::ReadFile(logPath);
  EXPECT_NE(log.find("Quitting on SIGTERM"), std::string::npos) << log;
  EXPECT_NE(log.find("Stream Deck Plug In Quitting"), std::string::npos) << log;
}

} // namespace
