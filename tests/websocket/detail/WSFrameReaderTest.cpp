#include "websocket/detail/WSFrameReader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

/// A server frame (unmasked): byte 0, the 7-bit length form, then the payload.
Bytes Frame(std::uint8_t byte0, const std::string& payload) {
  Bytes out = {byte0};
  const std::size_t n = payload.size();
  if (n <= 125) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(126);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

/// Feeds `input` in pieces cut at `cuts` and writes the events as text; a data frame's payload
/// pieces are joined, so that any cut gives the same trace.
std::string Trace(const Bytes& input, const std::vector<std::size_t>& cuts, std::uint64_t maximum,
                  bool* inPlace = nullptr) {
  WSFrameReader reader(maximum);
  std::string trace, payload;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : input.size();
    std::span<const std::uint8_t> piece(input.data() + from, to - from);
    for (;;) {
      WSFrameEvent event;
      const std::size_t taken = reader.read(piece, &event);
      EXPECT_LE(taken, piece.size());
      piece = piece.subspan(taken);
      using K = WSFrameEvent::Kind;
      if (event.kind == K::NeedMore) break;
      if (event.kind == K::Failed) {
        trace += "F" + std::to_string(reader.closeCode()) + " " + reader.failureReason() + ";";
        return trace;
      }
      if (event.kind == K::ControlFrame) {
        trace += "C" + std::to_string(event.opcode) + "|" +
                 std::string(event.bytes.begin(), event.bytes.end()) + "|;";
        continue;
      }
      if (event.kind == K::DataHeader)
        trace += "D" + std::to_string(event.opcode) + (event.fin ? "f" : "") + ":";
      if (event.kind == K::DataPayload) {
        payload.append(event.bytes.begin(), event.bytes.end());
        if (inPlace &&
            (event.bytes.data() < input.data() || event.bytes.data() >= input.data() + input.size()))
          *inPlace = false;
      }
      if (event.frameComplete) trace += std::to_string(std::exchange(payload, {}).size()) + ";";
    }
    from = to;
  }
  return trace;
}

TEST(WSFrameReader, EveryCutGivesTheEventsOfOneFeed) {
  const std::string big(300, 'x');
  struct Row {
    const char* name;
    Bytes input;
    std::string trace;
    std::uint64_t maximum = 1 << 20;
  } rows[] = {
      {"text", Frame(0x81, "Hello"), "D1f:5;"},
      {"empty frames", Cat({Frame(0x82, ""), Frame(0x89, "")}), "D2f:0;C9||;"},
      {"16-bit length", Frame(0x82, big), "D2f:300;"},
      {"controls between fragments",
       Cat({Frame(0x01, "ab"), Frame(0x89, "hi"), Frame(0x00, "cd"), Frame(0x8A, "yo"), Frame(0x80, "e")}),
       "D1:2;C9|hi|;D1:2;C10|yo|;D1f:1;"},
      {"64-bit length over the bound", {0x82, 127, 0, 0, 0, 1, 0, 0, 0, 0}, "F1009 Message too big;"},
      {"bound over fragments", Cat({Frame(0x02, "123456"), Frame(0x80, "123456")}),
       "D2:6;F1009 Message too big;", 10},
      {"RSV", Frame(0xC1, "x"), "F1002 Server used RSV bits;"},
      {"lone continuation", Frame(0x80, "x"), "F1002 cannot continue a message;"},
      {"new opcode inside a message", Cat({Frame(0x01, "a"), Frame(0x81, "b")}),
       "D1:1;F1002 all data frames after the initial data frame must have opcode 0;"},
      {"masked", {0x81, 0x81, 1, 2, 3, 4, 'x'}, "F1002 Client must receive unmasked data;"},
      {"fragmented control", Frame(0x09, "x"), "F1002 Fragmented control frames not allowed;"},
      {"long control", Frame(0x89, std::string(126, 'p')),
       "F1002 Control frames cannot have payloads larger than 126 bytes;"},
      {"messages after a finished one", Cat({Frame(0x81, "a"), Frame(0x02, "b"), Frame(0x80, "")}),
       "D1f:1;D2:1;D2f:0;"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    bool inPlace = true;
    EXPECT_EQ(Trace(row.input, {}, row.maximum, &inPlace), row.trace);
    EXPECT_TRUE(inPlace) << "a whole frame's payload is not copied";
    for (std::size_t cut = 0; cut <= row.input.size(); ++cut)
      EXPECT_EQ(Trace(row.input, {cut}, row.maximum), row.trace) << "cut at " << cut;
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < row.input.size(); ++cut) everyByte.push_back(cut);
    EXPECT_EQ(Trace(row.input, everyByte, row.maximum), row.trace);
  }
}

TEST(WSFrameReader, FailureIsStickyAndKeepsItsFirstReason) {
  const Bytes valid = Frame(0x81, "ok");
  struct Row {
    const char* name;
    Bytes bad;
    std::int32_t code;
    const char* reason;
  } rows[] = {
      {"protocol error", Frame(0xA1, ""), 1002, "Server used RSV bits"},
      {"caller's refusal", {}, 1007, "Text frames must be valid UTF-8"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WSFrameReader reader(1 << 20);
    WSFrameEvent event;
    reader.read(row.bad, &event);
    if (row.bad.empty()) reader.fail(row.code, row.reason);
    reader.fail(1011, "later");
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(reader.read(valid, &event), 0u);
      EXPECT_EQ(event.kind, WSFrameEvent::Kind::Failed);
    }
    EXPECT_EQ(reader.state(), WSFrameReader::State::Failed);
    EXPECT_EQ(reader.closeCode(), row.code);
    EXPECT_EQ(reader.failureReason(), row.reason);
  }
}

} // namespace

// A payload the caller reads in place itself: the reader only counts it, ends the frame where
// its length says, and goes on with the next header.
TEST(WSFrameReader, PayloadTakenInPlace) {
  WSFrameReader reader(1 << 20);
  const Bytes input = Cat({Frame(0x82, std::string(300, 'p')), Frame(0x81, "ok")});
  WSFrameEvent event;
  ASSERT_EQ(reader.read(std::span(input).first(4), &event), 4u);
  ASSERT_EQ(event.kind, WSFrameEvent::Kind::DataHeader);
  EXPECT_EQ(reader.payloadRemaining(), 300u);
  reader.takePayloadInPlace(120, &event);
  EXPECT_EQ(event.kind, WSFrameEvent::Kind::DataPayload);
  EXPECT_FALSE(event.frameComplete);
  EXPECT_EQ(reader.payloadRemaining(), 180u);
  reader.takePayloadInPlace(180, &event);
  EXPECT_TRUE(event.frameComplete && event.fin);
  EXPECT_EQ(reader.payloadRemaining(), 0u);
  // Outside a data payload there is nothing to take.
  reader.takePayloadInPlace(5, &event);
  EXPECT_EQ(event.kind, WSFrameEvent::Kind::NeedMore);
  std::span<const std::uint8_t> rest = std::span(input).subspan(304);
  ASSERT_EQ(reader.read(rest, &event), 2u);
  EXPECT_EQ(event.kind, WSFrameEvent::Kind::DataHeader);
  EXPECT_EQ(event.opcode, WSOpcodeText);
  ASSERT_EQ(reader.read(rest.subspan(2), &event), 2u);
  EXPECT_EQ(std::string(event.bytes.begin(), event.bytes.end()), "ok");
}
