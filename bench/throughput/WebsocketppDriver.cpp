// Throughput driver for websocketpp's Asio client (no TLS): one thread running the io_context,
// messages counted in the message handler, logging channels cleared.

#include "BenchDriver.hpp"

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

using Client = websocketpp::client<websocketpp::config::asio_client>;

int main(int argc, char** argv) {
  auto args = bench::ParseDriverArgs(argc, argv);
  auto payload = bench::Payload(args.size);
  std::uint64_t received = 0, badSizes = 0;
  bool finished = false;
  bench::Clock::time_point start, end;

  Client client;
  client.clear_access_channels(websocketpp::log::alevel::all);
  client.clear_error_channels(websocketpp::log::elevel::all);
  client.init_asio();
  client.set_max_message_size(64u << 20);
  client.set_open_handler([&](websocketpp::connection_hdl hdl) {
    if (!args.send) return;
    websocketpp::lib::error_code ec;
    for (std::uint64_t i = 0; i < args.count && !ec; ++i)
      client.send(hdl, payload.data(), payload.size(), websocketpp::frame::opcode::binary, ec);
    if (ec) std::fprintf(stderr, "websocketpp: send: %s\n", ec.message().c_str());
  });
  client.set_message_handler([&](websocketpp::connection_hdl hdl, Client::message_ptr message) {
    if (args.send) {
      end = bench::Clock::now();
      ++received;
      finished = true;
    } else {
      if (message->get_payload().size() != args.size) ++badSizes;
      if (++received == args.count) {
        end = bench::Clock::now();
        finished = true;
      }
    }
    if (finished) {
      websocketpp::lib::error_code ignored;
      client.close(hdl, websocketpp::close::status::normal, "", ignored);
    }
  });
  client.set_fail_handler(
      [&](websocketpp::connection_hdl) { std::fprintf(stderr, "websocketpp: failed\n"); });

  websocketpp::lib::error_code ec;
  auto connection = client.get_connection("ws://127.0.0.1:" + std::to_string(args.port) + args.path(), ec);
  if (ec) {
    std::fprintf(stderr, "websocketpp: %s\n", ec.message().c_str());
    return 1;
  }
  start = bench::Clock::now();
  client.connect(connection);
  client.run();
  return bench::Report("websocketpp", args, bench::Seconds(start, end), received,
                       badSizes + (finished ? 0 : 1));
}
