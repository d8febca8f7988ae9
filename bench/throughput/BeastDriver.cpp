// Throughput driver for Boost.Beast's synchronous client: one thread, blocking reads and writes.
// Configuration: binary messages, no automatic fragmentation and a 1 MiB write buffer (the
// default 4 KiB masks and writes a large message in 4 KiB pieces), so that Beast runs at its best.

#include "BenchDriver.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

int main(int argc, char** argv) {
  auto args = bench::ParseDriverArgs(argc, argv);
  auto payload = bench::Payload(args.size);
  std::uint64_t received = 0, badSizes = 0;
  bench::Clock::time_point start, end;
  try {
    net::io_context ioc;
    websocket::stream<tcp::socket> ws(ioc);
    tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(args.port));
    start = bench::Clock::now();
    ws.next_layer().connect(endpoint);
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.binary(true);
    ws.auto_fragment(false);
    ws.write_buffer_bytes(1 << 20);
    ws.read_message_max(64u << 20);
    ws.handshake("127.0.0.1:" + std::to_string(args.port), args.path());
    boost::beast::flat_buffer buffer;
    if (args.send) {
      for (std::uint64_t i = 0; i < args.count; ++i) ws.write(net::buffer(payload));
      ws.read(buffer);
      ++received;
    } else {
      for (std::uint64_t i = 0; i < args.count; ++i) {
        std::size_t n = ws.read(buffer);
        if (n != args.size) ++badSizes;
        buffer.consume(buffer.size());
        ++received;
      }
    }
    end = bench::Clock::now();
    int status = bench::Report("beast", args, bench::Seconds(start, end), received, badSizes);
    boost::system::error_code ignored;
    ws.close(websocket::close_code::normal, ignored);
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "beast: %s\n", e.what());
    return bench::Report("beast", args, 0, received, badSizes + 1);
  }
}
