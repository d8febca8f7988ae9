// The plug-in executable: checks the command line, creates the plug-in and the Stream Deck
// connection manager, and serves the main run loop for the rest of the process's life. The
// process ends when the Stream Deck connection closes (status 0, from the connection manager) or
// after a command-line error (status 1).

#include "app/SDCommandLine.hpp"
#include "platform/RunLoop.hpp"
#include "plugin/ZBStreamDeckPlugin.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"

#include <cstdio>
#include <variant>

int main(int argc, char** argv) {
  auto parsed = SDParseCommandLine(argc, argv);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::fputs(error->c_str(), stderr);
    return 1;
  }
  auto& line = std::get<SDCommandLine>(parsed);

  // The main loop serves the connection's reports (main queue) and the engine's notifications.
  platform::RunLoop& loop = platform::RunLoop::main();
  auto plugin = std::make_shared<ZBStreamDeckPlugin>();
  auto manager = SDConnectionManager::initWithPort(
      line.port, *line.pluginUUID, *line.registerEvent, line.info, plugin,
      [](const WSURLRequest& request) { return WSWebSocket::initWithURLRequest(request); });
  loop.run();
  manager.reset();
  plugin.reset();
  return 0;
}
