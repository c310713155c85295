#include "codec/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codec/codec_test_util.h"
#include "codec/encoder.h"
#include "platform/errors.h"

namespace lumora::testing {
namespace {

const Bytes kSentinel = {0xEE, 0xEF, 0xF0};  // bytes of the next entry: never to be read

// Roots 'a', 'b', ... cycling over 26 letters, as `count` data codes.
std::vector<uint32_t> Letters(size_t count) {
  std::vector<uint32_t> codes;
  for (size_t i = 0; i < count; ++i) codes.push_back('a' + static_cast<uint32_t>(i % 26));
  return codes;
}

std::string LettersText(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text.push_back(static_cast<char>('a' + i % 26));
  return text;
}

void ExpectCorrupt(const Bytes& framed) {
  try {
    DecodeFast(framed, kSentinel);
    FAIL() << "accepted a corrupt member";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Corrupt compressed data");
  }
}

TEST(GetCurrentMaskTest, LowBits) {
  const std::vector<std::pair<int32_t, uint8_t>> cases = {
      {0, 0x00}, {1, 0x01}, {2, 0x03}, {5, 0x1F}, {7, 0x7F}, {8, 0xFF}, {9, 0xFF}, {16, 0xFF}};
  for (const auto& [bits, mask] : cases) EXPECT_EQ(getCurrentMask(bits), mask) << bits;
}

TEST(DecoderTest, WorkedExample) {
  const Bytes stream = CodeStream().AddAll({256, 65, 66, 258, 260, 257}).Packed();
  EXPECT_EQ(stream, (Bytes{0x00, 0x83, 0x08, 0x11, 0x48, 0x30, 0x20}));
  const Bytes framed = Frame(stream);
  EXPECT_EQ(framed, (Bytes{0x07, 0x00, 0x83, 0x08, 0x11, 0x48, 0x30, 0x20, 0x00}));
  for (const DecodeResult& r :
       {DecodeFast(framed, kSentinel), DecodeReference(framed, kSentinel)}) {
    EXPECT_EQ(ToString(r.output), "ABABABA");
    EXPECT_EQ(r.position, 9);  // just after the terminator
    EXPECT_TRUE(r.progress.empty());
  }
}

TEST(DecoderTest, ClearAndEndOnlyGiveAnEmptyOutput) {
  const Bytes framed = {0x03, 0x00, 0x03, 0x02, 0x00};
  EXPECT_EQ(Frame(CodeStream().AddAll({256, 257}).Packed()), framed);
  const DecodeResult r = DecodeFast(framed, kSentinel);
  EXPECT_TRUE(r.output.empty());
  EXPECT_TRUE(r.writes.empty());
  EXPECT_EQ(r.position, 5);
}

TEST(DecoderTest, CodeEqualToNextCodeRepeatsThePreviousStringAndItsFirstByte) {
  // 258 = AA, 259 = AAA, 260 = AAAA: each code is the next free one when it comes.
  const Bytes framed = Frame(CodeStream().AddAll({256, 'A', 258, 259, 260, 'B', 257}).Packed());
  EXPECT_EQ(ToString(DecodeFast(framed).output), std::string(1 + 2 + 3 + 4, 'A') + "B");
}

TEST(DecoderTest, CodeAboveNextCodeIsDecodedLikeNextCode) {
  const Bytes framed = Frame(CodeStream().AddAll({256, 'a', 'b', 300, 257}).Packed());
  EXPECT_EQ(ToString(DecodeFast(framed).output), "abbb");
  EXPECT_EQ(ToString(DecodeReference(framed).output), "abbb");
}

TEST(DecoderTest, WidthGrowsAtTheCodeThatMakesNextCode512) {
  // 254 definitions take nextCode from 258 to 512. Ahead of them, nothing (the growing
  // code ends on a byte boundary) or a short stretch of four codes (it ends inside a byte,
  // and the 10-bit code is read at once).
  for (bool shifted : {false, true}) {
    CodeStream codes;
    codes.Add(256);
    if (shifted) codes.AddAll({'x', 'y', 256});
    codes.Add('a').AddAll(Letters(254));
    EXPECT_EQ(codes.width(), 10);
    EXPECT_EQ(codes.bits() % 8 == 0, !shifted);
    codes.AddAll({300, 511, 512, 'z', 257});
    const Bytes framed = Frame(codes.Packed());
    const DecodeResult fast = DecodeFast(framed, kSentinel);
    const DecodeResult ref = DecodeReference(framed, kSentinel);
    EXPECT_EQ(fast.output, ref.output);
    EXPECT_EQ(fast.progress, ref.progress);
    EXPECT_EQ(fast.progress.size(), shifted ? 2u : 1u);
    EXPECT_EQ(fast.position, static_cast<int64_t>(framed.size()));
    const std::string text = ToString(fast.output);
    EXPECT_EQ(text.substr(0, (shifted ? 2 : 0) + 255),
              (shifted ? "xy" : "") + ("a" + LettersText(254)));
  }
}

TEST(DecoderTest, ClearAtTwelveBitsWhenNextCodeIs4095) {
  CodeStream codes;
  codes.AddAll({256, 'a'}).AddAll(Letters(3837));
  ASSERT_EQ(codes.next_code(), 4095u);
  ASSERT_EQ(codes.width(), 12);
  codes.Add(256);
  EXPECT_EQ(codes.width(), 9);
  // The root after the clear defines nothing; the next code defines 258 = "qr".
  codes.AddAll({'q', 'r', 258, 257});
  const Bytes framed = Frame(codes.Packed());
  const DecodeResult fast = DecodeFast(framed, kSentinel);
  const DecodeResult ref = DecodeReference(framed, kSentinel);
  EXPECT_EQ(fast.output, ref.output);
  const std::string text = ToString(fast.output);
  EXPECT_EQ(text, "a" + LettersText(3837) + "qrqr");
  // Growth to 10, 11 and 12 bits, then the clear code.
  EXPECT_EQ(fast.progress.size(), 4u);
  EXPECT_EQ(fast.progress, ref.progress);
  EXPECT_EQ(fast.position, static_cast<int64_t>(framed.size()));
}

TEST(DecoderTest, ExtraByteAfterAnEndCodeOnAByteBoundaryIsSkipped) {
  CodeStream codes;
  codes.AddAll({256, 'A', 'B', 'C', 'D', 'E', 'F', 257});
  ASSERT_EQ(codes.bits() % 8, 0u);
  const Bytes stream = codes.Packed(/*pad_on_boundary=*/true);
  EXPECT_EQ(stream.size(), 10u);
  EXPECT_EQ(stream.back(), 0x00);
  const Bytes framed = Frame(stream);
  const DecodeResult r = DecodeFast(framed, kSentinel);
  EXPECT_EQ(ToString(r.output), "ABCDEF");
  EXPECT_EQ(r.position, 12);
}

TEST(DecoderTest, EndCodeBeforeTheLastBlockLeavesTheArchiveInsideTheMember) {
  // The extra byte alone in a block of its own: the decoder stops at the end code and the
  // last block is never read. This is why the encoder never cuts a member like this.
  const Bytes stream = CodeStream().AddAll({256, 'A', 'B', 'C', 'D', 'E', 'F', 257}).Packed(true);
  const Bytes framed = Frame(stream, 9);
  ASSERT_EQ(Blocks(framed).back(), Bytes{0x00});
  const DecodeResult r = DecodeFast(framed, kSentinel);
  EXPECT_EQ(ToString(r.output), "ABCDEF");
  EXPECT_EQ(r.position, 11);  // the first block and the next length byte
}

TEST(DecoderTest, DecodedSizeDecidesHowOutputIsSplitWithTheFinalWrite) {
  struct Case {
    size_t size;
    size_t final_write;
  };
  for (const Case& c : {Case{1, 1}, Case{255, 255}, Case{256, 256}, Case{257, 1}, Case{512, 256},
                        Case{513, 1}, Case{100000, 100000 - 390 * 256}}) {
    std::mt19937 rng(static_cast<unsigned>(c.size));
    Bytes data(c.size);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    CodeStream codes;
    codes.Add(256);
    for (size_t i = 0; i < data.size(); ++i) {
      // Roots only, with a clear code before the dictionary fills.
      if (codes.next_code() == 4095) codes.Add(256);
      codes.Add(data[i]);
    }
    codes.Add(257);
    const DecodeResult r = DecodeFast(Frame(codes.Packed()));
    EXPECT_EQ(r.output, data);
    ASSERT_FALSE(r.writes.empty());
    EXPECT_EQ(r.writes.back(), c.final_write) << c.size;
    for (size_t i = 0; i + 1 < r.writes.size(); ++i) EXPECT_EQ(r.writes[i] % 256, 0u);
  }
}

TEST(DecoderTest, EveryBlockSizeMatchesTheByteWiseDecoder) {
  // The fast decoder reads block tails and stops its groups of codes at block ends; both
  // must leave the output, the archive position and the progress reports as they are with
  // the byte-wise reader, for any cut of the same code stream.
  std::mt19937 rng(11);
  Bytes data;
  while (data.size() < 40000) {  // random bytes, runs and words: short and long strings
    const size_t run = 1 + rng() % 3000;
    const unsigned kind = rng() % 3;
    for (size_t i = 0; i < run; ++i) {
      data.push_back(kind == 0   ? static_cast<uint8_t>(rng())
                     : kind == 1 ? static_cast<uint8_t>(run)
                                 : static_cast<uint8_t>("the base part "[i % 14]));
    }
  }
  Bytes stream;
  for (const Bytes& block : Blocks(EncodeMember(data.data(), data.size()))) {
    stream.insert(stream.end(), block.begin(), block.end());
  }
  // Each cut: one block size throughout, or (0) sizes that change from block to block.
  for (size_t block_size : {0, 1, 2, 3, 7, 8, 9, 15, 64, 200, 254, 255}) {
    SCOPED_TRACE(block_size);
    Bytes framed = Frame(stream, block_size == 0 ? 255 : block_size);
    if (block_size == 0) {
      framed.clear();
      for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min(stream.size() - at, size_t{1} + rng() % 255);
        framed.push_back(static_cast<uint8_t>(n));
        framed.insert(framed.end(), stream.begin() + at, stream.begin() + at + n);
        at += n;
      }
      framed.push_back(0);
    }
    const DecodeResult fast = DecodeFast(framed, kSentinel);
    const DecodeResult ref = DecodeReference(framed, kSentinel);
    EXPECT_EQ(fast.output, data);
    EXPECT_EQ(fast.output, ref.output);
    EXPECT_EQ(fast.position, ref.position);
    EXPECT_EQ(fast.progress, ref.progress);
  }
}

TEST(DecoderTest, MemberWithoutEndCodeStopsAtItsLastByte) {
  struct Case {
    const char* name;
    std::vector<uint32_t> codes;
    std::string text;
    size_t reports;
  };
  std::vector<uint32_t> growth_inside = {256, 'x', 'y', 256, 'a'};
  const auto letters = Letters(254);
  growth_inside.insert(growth_inside.end(), letters.begin(), letters.end());
  std::vector<uint32_t> growth_on_boundary = {256, 'a'};
  growth_on_boundary.insert(growth_on_boundary.end(), letters.begin(), letters.end());
  const std::vector<Case> cases = {
      {"after a data code", {256, 'a', 'b', 'c'}, "abc", 0},
      {"spare bits that make no code", {256, 'a', 'b'}, "ab", 0},
      {"after a clear code", {256, 'a', 256}, "a", 1},
      {"after growth inside a byte", growth_inside, "xya" + LettersText(254), 2},
      {"after growth on a byte boundary", growth_on_boundary, "a" + LettersText(254), 1},
  };
  for (const Case& c : cases) {
    const Bytes framed = Frame(CodeStream().AddAll(c.codes).Packed());
    const DecodeResult r = DecodeFast(framed, kSentinel);
    EXPECT_EQ(ToString(r.output), c.text) << c.name;
    EXPECT_EQ(r.position, static_cast<int64_t>(framed.size())) << c.name;
    EXPECT_EQ(r.progress.size(), c.reports) << c.name;
  }
}

TEST(DecoderTest, CorruptStreamsFailCleanly) {
  std::vector<uint32_t> full = {256, 'a'};
  const auto letters = Letters(3838);  // the last one defines slot 4095
  full.insert(full.end(), letters.begin(), letters.end());
  std::vector<uint32_t> past_table = full;
  past_table.push_back('b');  // would define slot 4096

  const std::vector<std::pair<const char*, std::vector<uint32_t>>> cases = {
      {"first code not the clear code", {65, 66, 257}},
      {"unwritten code as the second code", {256, 300, 257}},
      {"unwritten code after a clear code", {256, 'a', 'b', 'c', 256, 259, 257}},
      {"next code after an empty root", {256, 256, 258, 257}},
      {"string of a code above nextCode", {256, 'a', 'b', 300, 'c', 257}},
      {"slot 4096", past_table},
  };
  for (const auto& [name, codes] : cases) {
    SCOPED_TRACE(name);
    ExpectCorrupt(Frame(CodeStream().AddAll(codes).Packed()));
  }
  // A table filled to slot 4095 is still sound when no entry follows.
  full.push_back(257);
  const DecodeResult r = DecodeFast(Frame(CodeStream().AddAll(full).Packed()), kSentinel);
  EXPECT_EQ(ToString(r.output), "a" + LettersText(3838));
  EXPECT_EQ(r.progress.size(), 4u);  // 10, 11, 12 and 13 bits
}

TEST(DecoderTest, EmptyRootAfterClearStandsForNothing) {
  // 256 and 257 right after a clear code emit nothing; the next code then defines a
  // one-byte entry.
  const Bytes framed =
      Frame(CodeStream().AddAll({256, 257, 'a', 258, 256, 256, 'b', 257}).Packed());
  EXPECT_EQ(ToString(DecodeFast(framed).output), "aab");
  EXPECT_EQ(ToString(DecodeReference(framed).output), "aab");
}

TEST(DecoderTest, RandomMembersNeverReadPastTheirTerminator) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    Bytes stream(1 + rng() % 700);
    for (auto& b : stream) b = static_cast<uint8_t>(rng());
    if (round % 2 == 0) {  // most of them open with a clear code
      stream[0] = 0x00;
      stream[1 % stream.size()] |= 0x01;
    }
    const Bytes framed = Frame(stream, 1 + rng() % 255);
    try {
      const DecodeResult r = DecodeFast(framed, kSentinel);
      EXPECT_LE(r.position, static_cast<int64_t>(framed.size()));
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Corrupt compressed data");
    }
  }
}

TEST(DecoderTest, EveryTruncationFailsWithStreamReadError) {
  CodeStream codes;
  codes.Add(256);
  for (uint32_t c : Letters(700)) codes.Add(c);
  codes.Add(257);
  const Bytes framed = Frame(codes.Packed());
  for (size_t length = 0; length < framed.size(); ++length) {
    MemorySource src(Bytes(framed.begin(), framed.begin() + static_cast<std::ptrdiff_t>(length)));
    BlockReader in;
    OutputBuffer out;
    MemorySink sink;
    Decoder decoder;
    try {
      in.Prime(in.readByte(src));
      decoder.makeExtract(src, in, out, sink, nullptr);
      FAIL() << "no error at length " << length;
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Stream read error");
    }
  }
}

TEST(DecoderTest, FailedWriteThrowsOutputWriteFailed) {
  CodeStream codes;
  codes.Add(256);
  for (uint32_t c : Letters(2000)) codes.Add(c);
  codes.Add(257);
  MemorySource src(Frame(codes.Packed()));
  BlockReader in;
  OutputBuffer out;
  MemorySink sink;
  sink.fail_at = 0;
  Decoder decoder;
  in.Prime(in.readByte(src));
  EXPECT_THROW(decoder.makeExtract(src, in, out, sink, nullptr), OutputWriteFailed);
  EXPECT_EQ(out.outCount, 0);
}

TEST(DecoderTest, OneDecoderServesManyMembers) {
  // The chain table is reused; a member must not see the strings of the one before.
  Decoder decoder;
  const Bytes first = Frame(CodeStream().AddAll({256, 'a', 'b', 258, 259, 257}).Packed());
  const Bytes second = Frame(CodeStream().AddAll({256, 'c', 258, 257}).Packed());
  Bytes archive = first;
  archive.insert(archive.end(), second.begin(), second.end());
  MemorySource src(archive);
  BlockReader in;
  OutputBuffer out;
  for (const char* expected : {"ababba", "ccc"}) {
    MemorySink sink;
    out.Reset();
    in.Prime(in.readByte(src));
    decoder.makeExtract(src, in, out, sink, nullptr);
    ASSERT_TRUE(out.WriteRest(sink));
    EXPECT_EQ(ToString(sink.data), expected);
  }
  EXPECT_EQ(src.Position(), static_cast<int64_t>(archive.size()));
}

}  // namespace
}  // namespace lumora::testing
