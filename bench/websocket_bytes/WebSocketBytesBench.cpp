// Throughput of the byte-level work on every message: masking each outgoing payload, checking
// each incoming text message as UTF-8, composing and parsing frame headers. Masking is shown
// beside a plain memcpy of the same size, the floor for a pass over the bytes; the target is
// at least 8 GB/s for 1 MiB buffers. Rates are printed as "GB/s" (10^9 bytes per second) and by
// the library as bytes_per_second (GiB/s).

#include "platform/UTF8.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSSIMDHelpers.hpp"

#include <array>
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void SetRate(benchmark::State& state, std::size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerIteration));
  state.counters["GB/s"] = benchmark::Counter(static_cast<double>(bytesPerIteration) / 1e9,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// The payload starts 14 bytes into a 16-byte-aligned buffer, as in a frame with a 64-bit
// length: the masking prefix is 2 bytes.
void BM_MaskBytesSIMD(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(size + 32, 0x5A);
  const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  std::uint8_t* payload = buffer.data() + 14;
  for (auto _ : state) {
    WSMaskBytesSIMD(payload, size, key);
    benchmark::ClobberMemory();
  }
  SetRate(state, size);
}
BENCHMARK(BM_MaskBytesSIMD)->Arg(64)->Arg(1024)->Arg(64 << 10)->Arg(1 << 20);

void BM_Memcpy(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> from(size + 32, 0x5A), to(size + 32);
  for (auto _ : state) {
    std::memcpy(to.data() + 14, from.data(), size);
    benchmark::ClobberMemory();
  }
  SetRate(state, size);
}
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(1024)->Arg(64 << 10)->Arg(1 << 20);

// The scalar loop the vector path replaces, for comparison.
void BM_MaskBytesScalar(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(size + 32, 0x5A);
  const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  volatile std::uint8_t keyByte = key[0];
  for (auto _ : state) {
    std::uint8_t* p = buffer.data() + 14;
    const std::uint8_t k[4] = {keyByte, key[1], key[2], key[3]};
    for (std::size_t i = 0; i < size; ++i) p[i] ^= k[i & 3];
    benchmark::ClobberMemory();
  }
  SetRate(state, size);
}
BENCHMARK(BM_MaskBytesScalar)->Arg(1 << 20);

// A whole outgoing frame composed into a reused buffer: header, copy and masking.
void BM_FrameCompose(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> payload(size, 0x42);
  std::vector<std::uint8_t> frame(size + WSFrameMaxHeaderSize);
  const std::array<std::uint8_t, 4> key = {0x37, 0xFA, 0x21, 0x3D};
  for (auto _ : state) {
    benchmark::DoNotOptimize(WSComposeFrame(WSOpcodeBinary, payload, key, frame));
    benchmark::ClobberMemory();
  }
  SetRate(state, size);
}
BENCHMARK(BM_FrameCompose)->Arg(64)->Arg(1 << 20);

void BM_ParseFrameHeader(benchmark::State& state) {
  const std::uint8_t header[] = {0x82, 0x7E, 0x01, 0x00};
  for (auto _ : state) {
    auto parsed = WSParseFrameHeader(header);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK(BM_ParseFrameHeader);

// Text messages of this system are JSON: nearly all ASCII (the word-at-a-time path).
void BM_UTF8ValidateASCII(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string json;
  while (json.size() < size) json += R"({"event":"keyDown","context":"ABCDEF0123","payload":{"row":1}},)";
  json.resize(size);
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
  for (auto _ : state) benchmark::DoNotOptimize(platform::ValidateUTF8Partial(bytes));
  SetRate(state, size);
}
BENCHMARK(BM_UTF8ValidateASCII)->Arg(64)->Arg(1 << 20);

void BM_UTF8ValidateMixed(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string text;
  while (text.size() < size) text += "Zorbel \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 ";
  text.resize(size - 8); // cut anywhere; the partial check holds back the rest
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  for (auto _ : state) benchmark::DoNotOptimize(platform::ValidateUTF8Partial(bytes));
  SetRate(state, text.size());
}
BENCHMARK(BM_UTF8ValidateMixed)->Arg(1 << 20);

} // namespace
