#include "websocket/detail/WSFrame.hpp"

#include "websocket/detail/WSRandom.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::array<std::uint8_t, 4> kKey = {0x37, 0xFA, 0x21, 0x3D};

Bytes Payload(std::size_t n) {
  Bytes p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return p;
}
Bytes B(std::string_view text) { return {text.begin(), text.end()}; }

Bytes Compose(std::uint8_t opcode, const Bytes& payload) {
  Bytes out(payload.size() + WSFrameMaxHeaderSize);
  const std::size_t size = WSComposeFrame(opcode, payload, kKey, out);
  out.resize(size);
  return out;
}

Bytes Unmask(const Bytes& frame, std::size_t headerSize, const std::array<std::uint8_t, 4>& key) {
  Bytes payload(frame.begin() + static_cast<std::ptrdiff_t>(headerSize), frame.end());
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
  return payload;
}

} // namespace

// ---- Composing ----

// RFC 6455 section 5.7: the masked "Hello" example.
TEST(WSFrameComposeTest, MaskedHelloOfTheRFC) {
  Bytes out(64);
  const std::size_t size = WSComposeFrame(WSOpcodeText, B("Hello"), {0x37, 0xFA, 0x21, 0x3D}, out);
  out.resize(size);
  EXPECT_EQ(out, (Bytes{0x81, 0x85, 0x37, 0xFA, 0x21, 0x3D, 0x7F, 0x9F, 0x4D, 0x51, 0x58}));
}

// The length boundaries: 125 fits in 7 bits, 126..65535 take 16 bits, 65536 takes 64 bits.
TEST(WSFrameComposeTest, LengthFormsAtEveryBoundary) {
  struct Row {
    std::size_t length;
    std::uint8_t l7;
    std::size_t headerSize;
  };
  for (const Row row : {Row{0, 0, 6}, Row{1, 1, 6}, Row{125, 125, 6}, Row{126, 126, 8}, Row{127, 126, 8},
                        Row{65535, 126, 8}, Row{65536, 127, 14}, Row{70000, 127, 14}}) {
    SCOPED_TRACE(row.length);
    const Bytes payload = Payload(row.length);
    const Bytes frame = Compose(WSOpcodeBinary, payload);
    ASSERT_EQ(frame.size(), row.headerSize + row.length);
    EXPECT_EQ(WSClientFrameHeaderSize(row.length), row.headerSize);
    EXPECT_EQ(frame[0], 0x82);          // FIN, binary, RSV clear
    EXPECT_EQ(frame[1], 0x80 | row.l7); // MASK
    if (row.l7 == 126) {
      EXPECT_EQ((frame[2] << 8) | frame[3], static_cast<int>(row.length));
    }
    if (row.l7 == 127) {
      EXPECT_EQ(WSReadBigEndian(std::span(frame).subspan(2, 8)), row.length);
    }
    EXPECT_TRUE(std::equal(kKey.begin(), kKey.end(),
                           frame.begin() + static_cast<std::ptrdiff_t>(row.headerSize - 4)));
    EXPECT_EQ(Unmask(frame, row.headerSize, kKey), payload);
  }
}

// Every frame round-trips through the parser, for every length from 0 to 300.
TEST(WSFrameComposeTest, ComposedFramesParseBack) {
  for (std::size_t n = 0; n <= 300; ++n) {
    const Bytes frame = Compose(WSOpcodeText, Payload(n));
    const auto header = WSParseFrameHeader(frame);
    ASSERT_TRUE(header) << n;
    EXPECT_TRUE(header->fin);
    EXPECT_TRUE(header->masked);
    EXPECT_EQ(header->rsv, 0);
    EXPECT_EQ(header->opcode, WSOpcodeText);
    EXPECT_EQ(header->payloadLength, n);
    EXPECT_EQ(header->maskKey, kKey);
    EXPECT_EQ(header->headerSize + n, frame.size());
  }
}

TEST(WSFrameComposeTest, TooSmallOutputWritesNoFrame) {
  Bytes out(10);
  EXPECT_EQ(WSComposeFrame(WSOpcodeBinary, Payload(5), kKey, out), 0u);
  EXPECT_EQ(WSComposeFrame(WSOpcodeBinary, Payload(4), kKey, out), 10u);
  Bytes none;
  EXPECT_EQ(WSComposeFrame(WSOpcodePing, {}, kKey, none), 0u);
}

// ---- Parsing ----

// Raw bytes against expected fields (server frames: unmasked), split at every byte: every
// proper prefix asks for more, the whole header parses.
TEST(WSFrameParseTest, HeadersFromRawBytesAtEverySplit) {
  struct Row {
    Bytes bytes;
    bool fin;
    std::uint8_t opcode;
    std::uint64_t length;
    std::size_t headerSize;
  };
  const Row rows[] = {
      {{0x81, 0x05}, true, 1, 5, 2},
      {{0x01, 0x03}, false, 1, 3, 2},
      {{0x80, 0x00}, true, 0, 0, 2},
      {{0x8A, 0x7D}, true, 10, 125, 2},
      {{0x82, 0x7E, 0x00, 0x7E}, true, 2, 126, 4}, // 126 in the 16-bit form, taken as it is
      {{0x82, 0x7E, 0xFF, 0xFF}, true, 2, 65535, 4},
      {{0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}, true, 2, 65536, 10},
      {{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}, true, 2, 1ull << 63, 10}, // top bit not checked
      {{0x82, 0x7F, 0, 0, 0, 0, 0, 0, 0, 5}, true, 2, 5, 10},             // non-minimal, taken as it is
      {{0xF3, 0x00}, true, 3, 0, 2},
  };
  for (const Row& row : rows) {
    for (std::size_t split = 0; split < row.bytes.size(); ++split) {
      std::size_t needed = 0;
      EXPECT_FALSE(WSParseFrameHeader(std::span(row.bytes).first(split), &needed));
      EXPECT_EQ(needed, split < 2 ? 2 : row.headerSize);
    }
    Bytes withPayload = row.bytes;
    withPayload.push_back(0xAB);
    const auto header = WSParseFrameHeader(withPayload);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->fin, row.fin);
    EXPECT_EQ(header->opcode, row.opcode);
    EXPECT_EQ(header->payloadLength, row.length);
    EXPECT_EQ(header->headerSize, row.headerSize);
    EXPECT_FALSE(header->masked);
  }
  const Bytes rsv{0xF1, 0x80, 1, 2, 3, 4};
  const auto header = WSParseFrameHeader(rsv);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->rsv, 0x70);
  EXPECT_TRUE(header->masked);
  EXPECT_EQ(header->maskKey, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(header->headerSize, 6u);
}

TEST(WSFrameParseTest, HeaderSizeFromSecondByte) {
  for (int b = 0; b < 256; ++b) {
    const auto byte1 = static_cast<std::uint8_t>(b);
    const std::size_t l7 = b & 0x7F;
    EXPECT_EQ(WSFrameExtendedLengthSize(byte1), l7 == 126 ? 2u : l7 == 127 ? 8u : 0u);
    EXPECT_EQ(WSFrameHeaderSize(byte1), 2 + WSFrameExtendedLengthSize(byte1) + (b & 0x80 ? 4 : 0));
  }
}

// ---- The reader's rules ----

// The checks run in a fixed order; a frame that breaks several gets the first text.
TEST(WSFrameRulesTest, StartChecksInOrder) {
  std::uint8_t opcode = 0xEE;
  EXPECT_EQ(WSCheckFrameStart(0xC1, 0x80, 0, 0, &opcode), "Server used RSV bits"); // RSV1 and MASK
  EXPECT_EQ(WSCheckFrameStart(0xA1, 0x00, 0, 0, &opcode), "Server used RSV bits");
  EXPECT_EQ(WSCheckFrameStart(0x91, 0x00, 0, 0, &opcode), "Server used RSV bits");
  EXPECT_EQ(WSCheckFrameStart(0x80, 0x80, 0, 0, &opcode), "cannot continue a message");
  EXPECT_EQ(WSCheckFrameStart(0x81, 0x80, 1, 2, &opcode),
            "all data frames after the initial data frame must have opcode 0");
  EXPECT_EQ(WSCheckFrameStart(0x83, 0x00, 1, 2, &opcode),
            "all data frames after the initial data frame must have opcode 0");
  EXPECT_EQ(WSCheckFrameStart(0x81, 0x85, 0, 0, &opcode), "Client must receive unmasked data");
  EXPECT_EQ(opcode, 0xEE); // untouched on failure
}

TEST(WSFrameRulesTest, StartChecksPassAndResolveContinuations) {
  std::uint8_t opcode = 0;
  EXPECT_FALSE(WSCheckFrameStart(0x81, 0x05, 0, 0, &opcode));
  EXPECT_EQ(opcode, 1);
  EXPECT_FALSE(WSCheckFrameStart(0x00, 0x05, 2, 1, &opcode)); // continuation takes the message's opcode
  EXPECT_EQ(opcode, 1);
  EXPECT_FALSE(WSCheckFrameStart(0x89, 0x00, 3, 2, &opcode)); // ping inside a message
  EXPECT_EQ(opcode, 9);
  EXPECT_FALSE(WSCheckFrameStart(0x8B, 0x00, 0, 0, &opcode)); // 11 is a reserved data opcode, read as data
  EXPECT_EQ(opcode, 11);
  EXPECT_EQ(WSCheckFrameStart(0x8B, 0x00, 1, 1, &opcode),
            "all data frames after the initial data frame must have opcode 0");
  for (int op = 0; op < 16; ++op)
    EXPECT_EQ(WSOpcodeIsControl(static_cast<std::uint8_t>(op)), op >= 8 && op <= 10);
}

TEST(WSFrameRulesTest, ControlFrameLimits) {
  EXPECT_EQ(WSCheckControlFrame(WSOpcodePing, false, 0), "Fragmented control frames not allowed");
  EXPECT_EQ(WSCheckControlFrame(WSOpcodeClose, false, 500), "Fragmented control frames not allowed");
  EXPECT_EQ(WSCheckControlFrame(WSOpcodePing, true, 126),
            "Control frames cannot have payloads larger than 126 bytes");
  EXPECT_EQ(WSCheckControlFrame(WSOpcodePong, true, 1ull << 63),
            "Control frames cannot have payloads larger than 126 bytes");
  EXPECT_FALSE(WSCheckControlFrame(WSOpcodePing, true, 125));
  EXPECT_FALSE(WSCheckControlFrame(WSOpcodeBinary, false, 1ull << 40)); // data frames are not limited here
  EXPECT_EQ(WSUnknownOpcodeMessage(3), "Unknown opcode 3");
  EXPECT_EQ(WSUnknownOpcodeMessage(15), "Unknown opcode 15");
}

// RFC 6455 section 7.4: every code against the table.
TEST(WSFrameRulesTest, CloseCodeTable) {
  for (std::uint32_t code = 0; code <= 65535; ++code) {
    const bool expected =
        (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
    ASSERT_EQ(WSCloseCodeIsValid(code), expected) << code;
  }
  for (std::uint32_t code : {999u, 1004u, 1005u, 1006u, 1012u, 2999u, 5000u})
    EXPECT_FALSE(WSCloseCodeIsValid(code));
  for (std::uint32_t code : {1000u, 1003u, 1007u, 1011u, 3000u, 4999u}) EXPECT_TRUE(WSCloseCodeIsValid(code));
}

TEST(WSFrameRulesTest, ClosePayloads) {
  auto r = WSParseClosePayload({});
  EXPECT_EQ(r.code, 1005);
  EXPECT_FALSE(r.reason);
  EXPECT_FALSE(r.error);

  r = WSParseClosePayload(Bytes{0x03});
  EXPECT_EQ(r.error, "Payload for close must be larger than 2 bytes");

  r = WSParseClosePayload(Bytes{0x03, 0xE8});
  EXPECT_EQ(r.code, 1000);
  EXPECT_FALSE(r.reason);
  EXPECT_FALSE(r.error);

  r = WSParseClosePayload(Bytes{0x03, 0xEA, 'a', 'b', 'c'});
  EXPECT_EQ(r.code, 1002);
  EXPECT_EQ(r.reason, "abc");

  r = WSParseClosePayload(Bytes{0x03, 0xED}); // 1005 may not be sent
  EXPECT_EQ(r.code, 1005);
  EXPECT_EQ(r.error, "Cannot have close code of 1005");

  r = WSParseClosePayload(Bytes{0x13, 0x88, 'x'}); // 5000: the code is kept although refused
  EXPECT_EQ(r.code, 5000);
  EXPECT_EQ(r.error, "Cannot have close code of 5000");

  r = WSParseClosePayload(Bytes{0x03, 0xE8, 0xC3});
  EXPECT_EQ(r.code, 1000);
  EXPECT_EQ(r.error, "Close reason MUST be valid UTF-8");
}

// Section 5.5.1: the code big-endian, then the reason.
TEST(WSFrameRulesTest, ClosePayloadsWeSend) {
  EXPECT_EQ(WSClosePayloadCreate(1000, std::nullopt), (Bytes{0x03, 0xE8}));
  EXPECT_EQ(WSClosePayloadCreate(1002, std::string("abc")), (Bytes{0x03, 0xEA, 0x61, 0x62, 0x63}));
  EXPECT_EQ(WSClosePayloadCreate(1009, std::string("")), (Bytes{0x03, 0xF1}));
  EXPECT_EQ(WSClosePayloadCreate(0x12345, std::nullopt), (Bytes{0x23, 0x45})); // low 16 bits
  // A reason too long for a control frame is cut at a character boundary.
  std::string longReason(122, 'a');
  longReason += "\xC3\xA9\xC3\xA9";
  const Bytes payload = WSClosePayloadCreate(1000, longReason);
  EXPECT_EQ(payload.size(), 2u + 122u);
  EXPECT_EQ(WSClosePayloadCreate(1000, std::string(123, 'b')).size(), 125u);
  EXPECT_EQ(WSClosePayloadCreate(1000, std::string(300, 'b')).size(), 125u);
}
