// Throughput driver for libwebsockets' client: one service loop, messages counted in the receive
// callback (a message ends with its final fragment and no payload left), sends made one per
// writable callback as the library prescribes. Receive and service buffers raised to 256 KiB
// (the default 4 KiB would cost it a system call per 4 KiB).

#include "BenchDriver.hpp"

#include <libwebsockets.h>

#include <vector>

namespace {

struct State {
  bench::DriverArgs args;
  std::vector<unsigned char> buffer; // LWS_PRE bytes of room, then the payload
  std::uint64_t sent = 0, received = 0, badSizes = 0;
  std::size_t messageBytes = 0;
  bool finished = false, failed = false, closed = false;
  bench::Clock::time_point start, end;
};

State gState;

int Callback(lws* wsi, lws_callback_reasons reason, void*, void* in, std::size_t length) {
  State& s = gState;
  switch (reason) {
  case LWS_CALLBACK_CLIENT_ESTABLISHED:
    if (s.args.send) lws_callback_on_writable(wsi);
    break;
  case LWS_CALLBACK_CLIENT_WRITEABLE:
    if (s.finished) return -1;
    if (s.sent < s.args.count) {
      if (lws_write(wsi, s.buffer.data() + LWS_PRE, s.args.size, LWS_WRITE_BINARY) <
          static_cast<int>(s.args.size)) {
        s.failed = true;
        return -1;
      }
      if (++s.sent < s.args.count) lws_callback_on_writable(wsi);
    }
    break;
  case LWS_CALLBACK_CLIENT_RECEIVE:
    s.messageBytes += length;
    if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
      if (s.args.send) {
        s.end = bench::Clock::now();
        ++s.received;
        s.finished = true;
      } else {
        if (s.messageBytes != s.args.size) ++s.badSizes;
        if (++s.received == s.args.count) {
          s.end = bench::Clock::now();
          s.finished = true;
        }
      }
      s.messageBytes = 0;
      if (s.finished) {
        lws_close_reason(wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1;
      }
    }
    (void)in;
    break;
  case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
    std::fprintf(stderr, "libwebsockets: connection error: %s\n", in ? static_cast<const char*>(in) : "");
    s.failed = true;
    break;
  case LWS_CALLBACK_CLIENT_CLOSED:
  case LWS_CALLBACK_WSI_DESTROY:
    s.closed = true;
    break;
  default:
    break;
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  gState.args = bench::ParseDriverArgs(argc, argv);
  auto payload = bench::Payload(gState.args.size);
  gState.buffer.assign(LWS_PRE, 0);
  gState.buffer.insert(gState.buffer.end(), payload.begin(), payload.end());
  lws_set_log_level(0, nullptr);

  static lws_protocols protocols[2] = {};
  protocols[0].name = "bench";
  protocols[0].callback = Callback;
  protocols[0].rx_buffer_size = 256 * 1024;

  lws_context_creation_info info{};
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = protocols;
  info.pt_serv_buf_size = 256 * 1024;
  info.gid = -1;
  info.uid = -1;
  lws_context* context = lws_create_context(&info);
  if (!context) {
    std::fprintf(stderr, "libwebsockets: no context\n");
    return 1;
  }
  std::string path = gState.args.path();
  std::string host = "127.0.0.1:" + std::to_string(gState.args.port);
  lws_client_connect_info connect{};
  connect.context = context;
  connect.address = "127.0.0.1";
  connect.port = gState.args.port;
  connect.path = path.c_str();
  connect.host = host.c_str();
  connect.origin = host.c_str();
  connect.local_protocol_name = protocols[0].name;
  gState.start = bench::Clock::now();
  if (!lws_client_connect_via_info(&connect)) {
    std::fprintf(stderr, "libwebsockets: connect failed\n");
    lws_context_destroy(context);
    return 1;
  }
  while (!gState.finished && !gState.failed && !gState.closed)
    if (lws_service(context, 0) < 0) break;
  int status = bench::Report("libwebsockets", gState.args, bench::Seconds(gState.start, gState.end),
                             gState.received, gState.badSizes + (gState.finished ? 0 : 1));
  lws_context_destroy(context);
  return status;
}
