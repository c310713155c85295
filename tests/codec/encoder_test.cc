#include "codec/encoder.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "codec/codec_test_util.h"

namespace lumora::testing {
namespace {

enum class Kind { kRandom, kZeros, kText, kImage, kMixed };

Bytes MakeData(Kind kind, size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  static const char* const kWords[] = {"update ",   "part ",   "base ", "tattoo ",
                                       "image\r\n", "record ", "0042 ", "Lumora "};
  size_t i = 0;
  switch (kind) {
    case Kind::kRandom:
      for (auto& b : data) b = static_cast<uint8_t>(rng());
      break;
    case Kind::kZeros:
      break;
    case Kind::kText:
      while (i < size) {
        for (const char* w = kWords[rng() % 8]; *w != 0 && i < size; ++w) data[i++] = *w;
      }
      break;
    case Kind::kImage:  // a smooth gradient with a little noise
      for (; i < size; ++i) data[i] = static_cast<uint8_t>((i % 512) / 3 + rng() % 4);
      break;
    case Kind::kMixed:
      while (i < size) {
        const size_t run = std::min<size_t>(size - i, 1 + rng() % 5000);
        const Kind part = static_cast<Kind>(rng() % 4);
        const Bytes piece = MakeData(part, run, static_cast<unsigned>(rng()));
        std::copy(piece.begin(), piece.end(), data.begin() + static_cast<std::ptrdiff_t>(i));
        i += run;
      }
      break;
  }
  return data;
}

// Every block holds 255 bytes but the last (1..255); only when the extra byte after an end
// code on a byte boundary would stand alone are the last two 254 and 2.
void ExpectWellCut(const Bytes& framed) {
  const std::vector<Bytes> blocks = Blocks(framed);
  ASSERT_FALSE(blocks.empty());
  size_t total = 1;
  for (const Bytes& b : blocks) total += b.size() + 1;
  ASSERT_EQ(total, framed.size());
  ASSERT_EQ(framed.back(), 0x00);
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (i + 2 == blocks.size() && blocks[i].size() == 254) {
      EXPECT_EQ(blocks.back().size(), 2u);
      EXPECT_EQ(blocks.back().back(), 0x00);
    } else {
      EXPECT_EQ(blocks[i].size(), 255u) << "block " << i << " of " << blocks.size();
    }
  }
  EXPECT_GE(blocks.back().size(), 1u);
}

TEST(EncoderTest, EmptyInputIsClearAndEndCode) {
  EXPECT_EQ(EncodeMember(nullptr, 0, ClearPolicy::kBaseline), (Bytes{3, 0x00, 0x03, 0x02, 0}));
  EXPECT_EQ(EncodeMember(nullptr, 0, ClearPolicy::kAdaptive), (Bytes{3, 0x00, 0x03, 0x02, 0}));
}

TEST(EncoderTest, WorkedExample) {
  const Bytes text = ToBytes("ABABABA");
  EXPECT_EQ(EncodeMember(text.data(), text.size(), ClearPolicy::kBaseline),
            (Bytes{0x07, 0x00, 0x83, 0x08, 0x11, 0x48, 0x30, 0x20, 0x00}));
}

TEST(EncoderTest, EndCodeOnAByteBoundaryGetsTheExtraByte) {
  // Six distinct bytes: clear, six roots and the end code are 72 bits.
  const Bytes text = ToBytes("ABCDEF");
  const Bytes framed = EncodeMember(text.data(), text.size(), ClearPolicy::kBaseline);
  EXPECT_EQ(framed.size(), 12u);
  EXPECT_EQ(framed[0], 10);
  EXPECT_EQ(framed[10], 0x00);
  EXPECT_EQ(ToString(DecodeFast(framed).output), "ABCDEF");
}

TEST(EncoderTest, ExtraByteNeverStandsAloneInTheLastBlock) {
  // Look for inputs whose stream ends with the extra byte right after a whole block.
  int found = 0;
  for (size_t n = 5400; n < 5600 && found < 1; ++n) {  // 5497 is one
    const Bytes data = MakeData(Kind::kRandom, n, 99);
    const Bytes framed = EncodeMember(data.data(), data.size(), ClearPolicy::kBaseline);
    const std::vector<Bytes> blocks = Blocks(framed);
    if (blocks.size() < 2 || blocks[blocks.size() - 2].size() != 254) continue;
    ++found;
    ExpectWellCut(framed);
    const DecodeResult r = DecodeFast(framed, {0xAA});
    EXPECT_EQ(r.output, data);
    EXPECT_EQ(r.position, static_cast<int64_t>(framed.size()));
  }
  EXPECT_GT(found, 0);
}

TEST(EncoderTest, RoundTripsAgainstBothDecoders) {
  const std::vector<size_t> sizes = {1, 2, 3, 255, 256, 257, 511, 512, 4095, 4096, 70007, 300000};
  for (ClearPolicy policy : {ClearPolicy::kBaseline, ClearPolicy::kAdaptive}) {
    for (Kind kind : {Kind::kRandom, Kind::kZeros, Kind::kText, Kind::kImage, Kind::kMixed}) {
      for (size_t size : sizes) {
        SCOPED_TRACE(::testing::Message() << "policy " << static_cast<int>(policy) << " kind "
                                          << static_cast<int>(kind) << " size " << size);
        const Bytes data = MakeData(kind, size, static_cast<unsigned>(size));
        const Bytes framed = EncodeMember(data.data(), data.size(), policy);
        ExpectWellCut(framed);
        const DecodeResult fast = DecodeFast(framed, {0x2C});
        ASSERT_EQ(fast.output, data);
        EXPECT_EQ(fast.position, static_cast<int64_t>(framed.size()));
        if (size <= 70007) {
          const DecodeResult ref = DecodeReference(framed, {0x2C});
          ASSERT_EQ(ref.output, data);
          EXPECT_EQ(ref.position, fast.position);
          EXPECT_EQ(ref.progress, fast.progress);
          EXPECT_EQ(ref.writes.back(), fast.writes.back());
        }
      }
    }
  }
}

// Greedy parsing by the book: a map from (prefix, byte) to code, a clear code when the
// next entry would be 4095.
std::vector<uint32_t> PlainGreedyCodes(const Bytes& data) {
  std::map<uint32_t, uint32_t> entries;
  std::vector<uint32_t> codes = {256};
  uint32_t next = 258;
  if (!data.empty()) {
    uint32_t prefix = data[0];
    for (size_t i = 1; i < data.size(); ++i) {
      const uint32_t key = prefix << 8 | data[i];
      const auto found = entries.find(key);
      if (found != entries.end()) {
        prefix = found->second;
        continue;
      }
      codes.push_back(prefix);
      if (next == 4095) {
        codes.push_back(256);
        entries.clear();
        next = 258;
      } else {
        entries[key] = next++;
      }
      prefix = data[i];
    }
    codes.push_back(prefix);
  }
  codes.push_back(257);
  return codes;
}

// Flat runs switch greedy parsing to going straight to the longest run of a byte, after a
// dictionary of long codes, and back after one of short codes; the codes stay those of
// plain greedy parsing, whole or fed in pieces that cut runs.
TEST(EncoderTest, GreedyParsingThroughFlatRunsIsPlainGreedyParsing) {
  std::mt19937 rng(31);
  auto runs = [&rng](size_t size) {
    Bytes out;
    while (out.size() < size) out.insert(out.end(), 1 + rng() % 3000, static_cast<uint8_t>(rng()));
    return out;
  };
  const Bytes text = MakeData(Kind::kText, 100000, 4);
  struct Case {
    const char* name;
    Bytes data;
  };
  std::vector<Case> cases;
  cases.push_back({"runs", runs(500000)});
  cases.push_back({"zeros", MakeData(Kind::kZeros, 2000000, 1)});
  Bytes mixed = runs(300000);
  mixed.insert(mixed.end(), text.begin(), text.end());
  const Bytes more = runs(300000);
  mixed.insert(mixed.end(), more.begin(), more.end());
  cases.push_back({"runs, text, runs", mixed});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes framed = EncodeMember(c.data.data(), c.data.size(), ClearPolicy::kBaseline);
    EXPECT_EQ(framed, Frame(CodeStream().AddAll(PlainGreedyCodes(c.data)).Packed(true)));
    Bytes pieces;
    Encoder encoder(ClearPolicy::kBaseline, [&](const uint8_t* bytes, size_t n) {
      pieces.insert(pieces.end(), bytes, bytes + n);
    });
    for (size_t pos = 0; pos < c.data.size();) {
      const size_t n = std::min<size_t>(c.data.size() - pos, 1 + rng() % 5000);
      encoder.Feed(c.data.data() + pos, n);
      pos += n;
    }
    encoder.Finish();
    EXPECT_EQ(pieces, framed);
    ASSERT_EQ(DecodeFast(framed).output, c.data);
  }
}

// The look ahead goes straight to the longest run of a byte too, in its matches and in the
// shorter prefixes it tries: the member is the one it was before (its size is pinned),
// whole or fed in pieces, and decodes with both decoders after the mode changed twice.
TEST(EncoderTest, LookaheadThroughFlatRunsKeepsItsChoices) {
  std::mt19937 rng(31);
  auto runs = [&rng](size_t size) {
    Bytes out;
    while (out.size() < size) out.insert(out.end(), 1 + rng() % 3000, static_cast<uint8_t>(rng()));
    return out;
  };
  const Bytes flat = runs(500000);
  EXPECT_EQ(EncodeMember(flat.data(), flat.size(), ClearPolicy::kAdaptive).size(), 21970u);
  Bytes data = runs(300000);
  const Bytes text = MakeData(Kind::kText, 100000, 4);
  data.insert(data.end(), text.begin(), text.end());
  const Bytes more = runs(300000);
  data.insert(data.end(), more.begin(), more.end());
  const Bytes framed = EncodeMember(data.data(), data.size(), ClearPolicy::kAdaptive);
  Bytes pieces;
  Encoder encoder(ClearPolicy::kAdaptive, [&](const uint8_t* bytes, size_t n) {
    pieces.insert(pieces.end(), bytes, bytes + n);
  });
  for (size_t pos = 0; pos < data.size();) {
    const size_t n = std::min<size_t>(data.size() - pos, 1 + rng() % 100000);
    encoder.Feed(data.data() + pos, n);
    pos += n;
  }
  encoder.Finish();
  EXPECT_EQ(pieces, framed);
  ASSERT_EQ(DecodeFast(framed).output, data);
  ASSERT_EQ(DecodeReference(framed).output, data);
}

// The members' sizes as the encoder made them before its loops were rewritten for speed:
// a faster encoder must not pay for it in size. Zeros put the entry (code 0, byte 0) in
// the dictionary, whose key must never be taken for a free slot.
TEST(EncoderTest, SizesDoNotGrow) {
  struct Row {
    Kind kind;
    size_t baseline;
    size_t adaptive;
  };
  const Row rows[] = {{Kind::kRandom, 412498, 339492},
                      {Kind::kZeros, 946, 946},
                      {Kind::kText, 47778, 43218},
                      {Kind::kImage, 228997, 228617},
                      {Kind::kMixed, 184053, 167879}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(row.kind));
    const Bytes data = MakeData(row.kind, 300000, 17);
    const Bytes baseline = EncodeMember(data.data(), data.size(), ClearPolicy::kBaseline);
    const Bytes adaptive = EncodeMember(data.data(), data.size(), ClearPolicy::kAdaptive);
    EXPECT_LE(baseline.size(), row.baseline);
    EXPECT_LE(adaptive.size(), row.adaptive);
    ASSERT_EQ(DecodeFast(baseline).output, data);
    ASSERT_EQ(DecodeFast(adaptive).output, data);
  }
}

// The coding loops hand out framed bytes as the code stream grows past 16 KB, from inside
// a run of codes; a member that holds many such batches, fed at once and in odd pieces,
// comes out the same and decodes.
TEST(EncoderTest, OutputLeavesFromInsideTheCodingLoops) {
  for (ClearPolicy policy : {ClearPolicy::kBaseline, ClearPolicy::kAdaptive}) {
    for (Kind kind : {Kind::kRandom, Kind::kMixed}) {
      SCOPED_TRACE(::testing::Message()
                   << "policy " << static_cast<int>(policy) << " kind " << static_cast<int>(kind));
      const Bytes data = MakeData(kind, 400000, 23);
      const Bytes whole = EncodeMember(data.data(), data.size(), policy);
      Bytes pieces;
      size_t largest = 0;
      Encoder encoder(policy, [&](const uint8_t* bytes, size_t n) {
        pieces.insert(pieces.end(), bytes, bytes + n);
        largest = std::max(largest, n);
      });
      for (size_t pos = 0; pos < data.size();) {
        const size_t n = std::min<size_t>(data.size() - pos, 65537);
        encoder.Feed(data.data() + pos, n);
        pos += n;
      }
      encoder.Finish();
      EXPECT_EQ(pieces, whole);
      EXPECT_LT(largest, size_t{20000});  // batches of about 16 KB, never the whole member
      ExpectWellCut(whole);
      ASSERT_EQ(DecodeFast(whole).output, data);
    }
  }
}

TEST(EncoderTest, FeedingInPiecesGivesTheSameMember) {
  const Bytes data = MakeData(Kind::kMixed, 200000, 5);
  for (ClearPolicy policy : {ClearPolicy::kBaseline, ClearPolicy::kAdaptive}) {
    const Bytes whole = EncodeMember(data.data(), data.size(), policy);
    Bytes pieces;
    size_t calls = 0;
    Encoder encoder(policy, [&](const uint8_t* bytes, size_t n) {
      pieces.insert(pieces.end(), bytes, bytes + n);
      ++calls;
    });
    std::mt19937 rng(11);
    for (size_t pos = 0; pos < data.size();) {
      const size_t n = std::min<size_t>(data.size() - pos, rng() % 3000);
      encoder.Feed(data.data() + pos, n);
      pos += n;
    }
    encoder.Finish();
    EXPECT_EQ(pieces, whole);
    EXPECT_GT(calls, 1u);  // framed bytes leave while the input is still coming
    EXPECT_EQ(encoder.input_bytes(), data.size());
    EXPECT_EQ(encoder.output_bytes(), whole.size());
  }
}

TEST(EncoderTest, AdaptivePolicyIsNoWorseAndBeatsBaselineOnRandomBytes) {
  for (Kind kind : {Kind::kRandom, Kind::kText, Kind::kImage, Kind::kMixed}) {
    const Bytes data = MakeData(kind, 500000, 3);
    const size_t baseline = EncodeMember(data.data(), data.size(), ClearPolicy::kBaseline).size();
    const size_t adaptive = EncodeMember(data.data(), data.size(), ClearPolicy::kAdaptive).size();
    EXPECT_LE(adaptive, baseline + baseline / 100) << static_cast<int>(kind);
    if (kind == Kind::kRandom) {
      EXPECT_LT(adaptive, baseline * 9 / 10);
    }
  }
}

TEST(EncoderTest, LookaheadSendsAShorterCodeWhenTheNextOneReachesFurther) {
  // At "abbaa" the longest match is "abb" (260); taking "ab" (258) instead lets "baa" (261)
  // follow, one code fewer. The decoder spends slot 262 on "baa" again, then 263 on "abb".
  const Bytes text = ToBytes("ababbaabbaa");
  const Bytes greedy =
      Frame(CodeStream().AddAll({256, 97, 98, 258, 259, 260, 97, 97, 257}).Packed(true));
  const Bytes ahead =
      Frame(CodeStream().AddAll({256, 97, 98, 258, 259, 258, 261, 257}).Packed(true));
  EXPECT_EQ(EncodeMember(text.data(), text.size(), ClearPolicy::kBaseline), greedy);
  EXPECT_EQ(EncodeMember(text.data(), text.size(), ClearPolicy::kAdaptive), ahead);
  EXPECT_EQ(DecodeReference(ahead).output, text);
  EXPECT_EQ(DecodeFast(ahead).output, text);

  // The slots spent on doubled strings count: a string made of the code after them only
  // decodes when the encoder numbers entries as the decoder does.
  const Bytes longer = ToBytes("aaabaaabbaabbaabbaabb");
  const Bytes framed = EncodeMember(longer.data(), longer.size(), ClearPolicy::kAdaptive);
  EXPECT_EQ(DecodeReference(framed).output, longer);
  EXPECT_EQ(DecodeFast(framed).output, longer);
}

TEST(EncoderTest, LookaheadRoundTripsAroundItsWindowAndPieces) {
  // The look ahead keeps 8 KB past the position it codes and takes input 64 KB at a time;
  // members that end just before, on and after those marks, and after many clear codes.
  const std::vector<size_t> sizes = {8192,          8193,   8194,   12288, 12289,
                                     12290,         65535,  65536,  65537, 65536 + 8193,
                                     65536 + 12289, 131073, 1000000};
  for (Kind kind : {Kind::kText, Kind::kImage, Kind::kMixed, Kind::kZeros}) {
    for (size_t size : sizes) {
      SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(kind) << " size " << size);
      const Bytes data = MakeData(kind, size, static_cast<unsigned>(size) + 7);
      const Bytes framed = EncodeMember(data.data(), data.size(), ClearPolicy::kAdaptive);
      ExpectWellCut(framed);
      ASSERT_EQ(DecodeFast(framed, {0x2C}).output, data);
      if (size <= 140000) {
        ASSERT_EQ(DecodeReference(framed, {0x2C}).output, data);
      }
    }
  }
}

TEST(EncoderTest, LookaheadChoicesDoNotDependOnHowTheInputIsCut) {
  const Bytes data = MakeData(Kind::kMixed, 90000, 21);
  const Bytes whole = EncodeMember(data.data(), data.size(), ClearPolicy::kAdaptive);
  Bytes pieces;
  Encoder encoder(ClearPolicy::kAdaptive, [&](const uint8_t* bytes, size_t n) {
    pieces.insert(pieces.end(), bytes, bytes + n);
  });
  for (size_t pos = 0; pos < data.size(); ++pos) encoder.Feed(data.data() + pos, 1);
  encoder.Finish();
  EXPECT_EQ(pieces, whole);
}

TEST(EncoderTest, LookaheadBeatsGreedyParsingOnTextAndKeepsUpOnImages) {
  // Text, and the small two-colour images that updates carry: long runs of one byte, where
  // shorter codes seldom pay.
  Bytes image;
  for (int plane = 0; plane < 3; ++plane) {
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 64; ++x) {
        const bool ink = (x - 32) * (x - 32) + (y - 30) * (y - 30) < 300 + plane * 40 ||
                         (x * 7 + y * 13 + plane) % 61 == 0;
        image.push_back(static_cast<uint8_t>(ink ? 0x4D + plane : 0xBA - plane));
      }
    }
  }
  const Bytes text = MakeData(Kind::kText, 300000, 8);
  for (const Bytes* data : std::vector<const Bytes*>{&text, &image}) {
    const size_t baseline = EncodeMember(data->data(), data->size(), ClearPolicy::kBaseline).size();
    const Bytes framed = EncodeMember(data->data(), data->size(), ClearPolicy::kAdaptive);
    EXPECT_LE(framed.size(), baseline + baseline / 100) << data->size();
    EXPECT_EQ(DecodeReference(framed).output, *data);
  }
  const size_t baseline = EncodeMember(text.data(), text.size(), ClearPolicy::kBaseline).size();
  EXPECT_LT(EncodeMember(text.data(), text.size(), ClearPolicy::kAdaptive).size(),
            baseline * 98 / 100);
}

}  // namespace
}  // namespace lumora::testing
