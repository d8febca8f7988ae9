// zorbel-deck: sets Stream Deck keys from the command line and runs commands when they are
// pressed, through the plug-in's distributed notifications on the D-Bus session bus.
#include "deck/DeckCommandLine.hpp"
#include "deck/DeckTool.hpp"
#include "diagnostics/XErrorHandler.hpp"
#include "platform/ExecutableFolder.hpp"

#include <cstdio>

int main(int argc, char** argv) {
  // Every layer logs through this sink: the log file.
  platform::SetLogSink(&XErrorHandler::LogSink());
  // A bundle unpacked under a permissive umask could be changed by others: say so, with the fix.
  platform::LogWhenFolderIsWritable(platform::ExecutableFolder());
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto parsed = deck::DeckParseCommandLine(arguments);
  if (auto* error = std::get_if<deck::DeckUsageError>(&parsed)) {
    std::fprintf(stderr, "zorbel-deck: %s\n%s\n", error->message.c_str(), error->usage.c_str());
    XErrorHandler::Quitting(); // writes what the log holds, the folder's line among it
    return 2;
  }
  return deck::DeckRunInvocation(std::get<deck::DeckInvocation>(parsed));
}
