#pragma once
// The Asio engine behind a RunLoop, for code that registers I/O sources (sockets, the D-Bus
// connection's descriptor) or timers on a loop. Heavy include: use only in .cpp files.

#include "platform/RunLoop.hpp"

#include <boost/asio/io_context.hpp>

namespace platform::detail {

/// The io_context whose handlers run on `loop`'s thread.
boost::asio::io_context& IoContext(RunLoop& loop);

} // namespace platform::detail
