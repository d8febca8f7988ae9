#pragma once
// What every throughput driver shares: its command line, the payload it sends, the check of
// what it receives, and the one result line the runner reads.
//
//   <driver> <port> <recv|send> <size> <count>
//
// "recv": the bulk server writes <count> binary messages of <size> bytes right after the
// handshake; the clock runs from just before the client connects to the last message.
// "send": the driver sends <count> binary messages of <size> bytes once open; the server counts
// them and answers with one short message after the last; the clock runs from just before the
// client connects to that answer. Connecting and the handshake (well under a millisecond) are
// inside the clock for every client alike: a client that reports the opening late, while its
// threads already read, cannot gain from it.
// The result is one JSON line on standard output.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

struct DriverArgs {
  int port = 0;
  bool send = false;
  std::size_t size = 0;
  std::uint64_t count = 0;

  /// The server's path for this run: "/recv/<size>/<count>" or "/send/<size>/<count>".
  std::string path() const {
    return std::string(send ? "/send/" : "/recv/") + std::to_string(size) + "/" + std::to_string(count);
  }
  const char* direction() const { return send ? "send" : "recv"; }
};

inline DriverArgs ParseDriverArgs(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[2], "recv") != 0 && std::strcmp(argv[2], "send") != 0)) {
    std::fprintf(stderr, "usage: %s <port> <recv|send> <size> <count>\n", argc > 0 ? argv[0] : "driver");
    std::exit(2);
  }
  DriverArgs args;
  args.port = std::atoi(argv[1]);
  args.send = std::strcmp(argv[2], "send") == 0;
  args.size = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  args.count = std::strtoull(argv[4], nullptr, 10);
  if (args.port <= 0 || args.count == 0) {
    std::fprintf(stderr, "%s: bad port or count\n", argv[0]);
    std::exit(2);
  }
  return args;
}

/// The bytes every driver sends (and the bulk server sends): a fixed non-zero pattern.
inline std::vector<std::uint8_t> Payload(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
  return bytes;
}

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

/// Prints the result line and returns the process status.
inline int Report(const char* client, const DriverArgs& args, double seconds, std::uint64_t received,
                  std::uint64_t badSizes) {
  bool ok = badSizes == 0 && (args.send ? received >= 1 : received == args.count);
  std::printf("{\"client\":\"%s\",\"direction\":\"%s\",\"size\":%zu,\"count\":%llu,\"seconds\":%.6f,"
              "\"ok\":%s}\n",
              client, args.direction(), args.size, static_cast<unsigned long long>(args.count), seconds,
              ok ? "true" : "false");
  std::fflush(stdout);
  if (!ok)
    std::fprintf(stderr, "%s: received %llu messages, %llu of the wrong size\n", client,
                 static_cast<unsigned long long>(received), static_cast<unsigned long long>(badSizes));
  return ok ? 0 : 1;
}

} // namespace bench
