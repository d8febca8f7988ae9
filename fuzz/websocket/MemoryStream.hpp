#pragma once
// An in-memory stream pair that behaves like the socket pair towards a connection: the server's
// bytes are given up front and handed out at most `chunk` bytes per read, the end comes after
// them, and what the connection writes is kept (taken at most `chunk` bytes per write). Events
// follow the socket streams' contract: open completed; "bytes available" once the connection has
// written its request head (the server answers it) and again after each read while bytes (or the end)
// remain; "space available" after the open and after each short write.
// Events are delivered on the run loop the stream is scheduled in.

#include "websocket/stream/WSStream.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace fuzz {

class MemoryStreamCore;

/// A pair over `serverBytes`. `chunk` of 0 means no limit.
WSStreamPair MemoryStreamPair(std::vector<std::uint8_t> serverBytes, std::size_t chunk,
                              std::shared_ptr<MemoryStreamCore>* core = nullptr);

/// The bytes the connection has written so far.
std::vector<std::uint8_t> MemoryStreamWritten(const MemoryStreamCore& core);

} // namespace fuzz
