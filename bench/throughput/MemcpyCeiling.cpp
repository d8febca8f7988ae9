// The physical ceiling beside the WebSocket clients: copying the same volume (<count> messages
// of <size> bytes) once with memcpy, message by message, from a 16 MiB source ring into a 16 MiB
// destination ring (larger than the caches, as the bytes of a long run are). Same command line
// and result line as the drivers; the direction only labels the row.

#include "BenchDriver.hpp"

#include <cstring>

int main(int argc, char** argv) {
  auto args = bench::ParseDriverArgs(argc, argv);
  const std::size_t ring = std::max<std::size_t>(16u << 20, args.size);
  std::vector<std::uint8_t> source(ring, 'a'), destination(ring, 0);
  std::size_t offset = 0;
  auto start = bench::Clock::now();
  for (std::uint64_t i = 0; i < args.count; ++i) {
    if (offset + args.size > ring) offset = 0;
    std::memcpy(destination.data() + offset, source.data() + offset, args.size);
    offset += args.size;
  }
  auto end = bench::Clock::now();
  // Reading the destination keeps the copies from being optimised away.
  volatile std::uint8_t sink = destination[(args.count * args.size / 2) % ring];
  (void)sink;
  return bench::Report("memcpy", args, bench::Seconds(start, end), args.send ? 1 : args.count, 0);
}
