// The plug-in executable: checks the command line, creates the plug-in and the Stream Deck
// connection manager, and serves the main run loop for the rest of the process's life. The
// process ends when the Stream Deck connection closes or fails after it had opened, on SIGTERM
// (also sent by the kernel when the parent process dies), each with status 0 and the log written,
// or after a command-line error (status 1).

#include "app/SDCommandLine.hpp"
#include "diagnostics/XErrorHandler.hpp"
#include "platform/ExecutableFolder.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"
#include "plugin/ZBStreamDeckPlugin.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>
#include <variant>

int main(int argc, char** argv) {
  const pid_t parent = ::getppid();
  // Every layer logs through this sink: the log file.
  platform::SetLogSink(&XErrorHandler::LogSink());
  // A bundle unpacked under a permissive umask could be changed by others: say so, with the fix.
  platform::LogWhenFolderIsWritable(platform::ExecutableFolder());
  auto parsed = SDParseCommandLine(argc, argv);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::fputs(error->c_str(), stderr);
    return 1;
  }
  auto& line = std::get<SDCommandLine>(parsed);

  // The main loop serves the connection's reports (main queue) and the engine's notifications.
  platform::RunLoop& loop = platform::RunLoop::main();
  std::shared_ptr<SDConnectionManager> manager;

  // SIGTERM ends the plug-in as a close does. It is caught before the kernel is asked to send it
  // when the parent (Stream Deck) dies, so that it never ends the process half-way.
  boost::asio::signal_set terminationSignals(platform::detail::IoContext(loop), SIGTERM);
  terminationSignals.async_wait([&manager](const boost::system::error_code& error, int) {
    if (error) return;
    XLOG("display", "Quitting on SIGTERM");
    if (manager) manager->terminate();
  });
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // A parent that died before the request was made left the process to another parent: the
  // kernel will send nothing, so the plug-in ends itself the same way.
  if (::getppid() != parent) ::raise(SIGTERM);

  auto plugin = std::make_shared<ZBStreamDeckPlugin>();
  manager = SDConnectionManager::initWithPort(
      line.port, *line.pluginUUID, *line.registerEvent, line.info, plugin,
      [](const WSURLRequest& request) { return WSWebSocket::initWithURLRequest(request); });
  loop.run();
  manager.reset();
  plugin.reset();
  return 0;
}
