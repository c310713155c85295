#include "codec/byte_io.h"

#include <gtest/gtest.h>

#include <cstring>

#include "codec/codec_test_util.h"
#include "platform/errors.h"

namespace lumora::testing {
namespace {

// Reads a member's bytes through readByteExtr until moreData falls.
Bytes ReadMember(MemorySource& src, BlockReader& in) {
  in.Prime(in.readByte(src));
  Bytes got;
  while (in.moreData) got.push_back(in.readByteExtr(src));
  return got;
}

TEST(BlockReaderTest, SingleBlockEndsAtItsLastByte) {
  MemorySource src({3, 'a', 'b', 'c', 0, ';'});
  BlockReader in;
  in.Prime(in.readByte(src));
  EXPECT_EQ(in.readByteExtr(src), 'a');
  EXPECT_TRUE(in.lastBlock);  // the terminator came with the block
  EXPECT_EQ(src.Position(), 5);
  EXPECT_TRUE(in.moreData);
  in.readByteExtr(src);
  EXPECT_TRUE(in.moreData);
  EXPECT_EQ(in.readByteExtr(src), 'c');
  EXPECT_FALSE(in.moreData);
  EXPECT_EQ(src.reads(), 2u);  // the length byte, then block and terminator in one read
  EXPECT_EQ(in.readByte(src), ';');
}

TEST(BlockReaderTest, SeveralBlocksKeepMoreDataUntilTheLastByte) {
  MemorySource src({2, 'a', 'b', 1, 'c', 3, 'd', 'e', 'f', 0, ','});
  BlockReader in;
  in.Prime(in.readByte(src));
  Bytes got;
  std::vector<int64_t> positions;
  while (in.moreData) {
    got.push_back(in.readByteExtr(src));
    positions.push_back(src.Position());
  }
  EXPECT_EQ(ToString(got), "abcdef");
  // Each block is read with the length byte that follows it.
  EXPECT_EQ(positions, (std::vector<int64_t>{4, 4, 6, 10, 10, 10}));
  EXPECT_EQ(in.readByte(src), ',');
}

TEST(BlockReaderTest, FirstLengthZeroReadsNoBlock) {
  MemorySource src({0, ','});
  BlockReader in;
  in.Prime(in.readByte(src));
  EXPECT_TRUE(in.Exhausted());
  EXPECT_EQ(src.Position(), 1);
  // Nothing past the terminator is taken for a block.
  EXPECT_THROW(in.readByteExtr(src), RuntimeError);
  EXPECT_EQ(src.Position(), 1);
}

TEST(BlockReaderTest, ReadingPastTheMemberFailsWithoutConsuming) {
  MemorySource src({1, 'x', 0, 5, 1, 2, 3, 4, 5, 0});
  BlockReader in;
  EXPECT_EQ(ToString(ReadMember(src, in)), "x");
  EXPECT_THROW(in.readByteExtr(src), RuntimeError);
  EXPECT_EQ(src.Position(), 3);
}

TEST(BlockReaderTest, TruncatedArchiveFailsWithStreamReadError) {
  for (const Bytes& archive : {Bytes{}, Bytes{4, 'a', 'b'}, Bytes{1, 'a'}, Bytes{1, 'a', 2, 'b'}}) {
    MemorySource src(archive);
    BlockReader in;
    try {
      ReadMember(src, in);
      FAIL() << "no error for " << archive.size() << " bytes";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Stream read error");
    }
  }
}

TEST(OutputBufferTest, FullBufferIsWrittenOnlyWhenAFurtherByteArrives) {
  struct Case {
    size_t bytes;
    std::vector<size_t> writes;  // by writeByteComp
    int32_t rest;                // left for the final write
  };
  for (const Case& c : {Case{1, {}, 1}, Case{256, {}, 256}, Case{257, {256}, 1},
                        Case{512, {256}, 256}, Case{513, {256, 256}, 1}}) {
    OutputBuffer out;
    MemorySink sink;
    for (size_t i = 0; i < c.bytes; ++i) out.writeByteComp(static_cast<uint8_t>(i), sink);
    EXPECT_EQ(sink.writes, c.writes) << c.bytes;
    EXPECT_EQ(out.outCount, c.rest) << c.bytes;
    EXPECT_TRUE(out.WriteRest(sink));
    ASSERT_EQ(sink.data.size(), c.bytes);
    for (size_t i = 0; i < c.bytes; ++i) ASSERT_EQ(sink.data[i], static_cast<uint8_t>(i));
  }
}

TEST(OutputBufferTest, BulkWriteMatchesByteWiseWrites) {
  // Pieces of assorted sizes; the bytes written and the bytes held back must be those of
  // byte-wise calls, and every write but the final one a whole number of 256-byte pieces.
  const std::vector<std::vector<size_t>> plans = {
      {1}, {256}, {257}, {512}, {100, 156}, {100, 157}, {255, 1, 1}, {3, 1000, 5000, 1}, {0, 7}};
  for (const auto& plan : plans) {
    OutputBuffer bulk, single;
    MemorySink bulk_sink, single_sink;
    uint8_t value = 0;
    for (size_t n : plan) {
      Bytes piece(n);
      for (auto& b : piece) b = value++;
      bulk.Write(piece.data(), piece.size(), bulk_sink);
      for (uint8_t b : piece) single.writeByteComp(b, single_sink);
    }
    EXPECT_EQ(bulk_sink.data, single_sink.data);
    EXPECT_EQ(bulk.outCount, single.outCount);
    EXPECT_EQ(0, std::memcmp(bulk.outBuffer, single.outBuffer, single.outCount));
    for (size_t w : bulk_sink.writes) EXPECT_EQ(w % 256, 0u);
  }
}

TEST(OutputBufferTest, ShortWriteThrowsAndEmptiesTheBuffer) {
  OutputBuffer out;
  MemorySink sink;
  sink.fail_at = 0;
  for (int i = 0; i < 256; ++i) out.writeByteComp(1, sink);
  EXPECT_THROW(out.writeByteComp(2, sink), OutputWriteFailed);
  EXPECT_EQ(out.outCount, 0);

  OutputBuffer bulk;
  Bytes data(1000, 7);
  EXPECT_THROW(bulk.Write(data.data(), data.size(), sink), OutputWriteFailed);
  EXPECT_EQ(bulk.outCount, 0);
  EXPECT_STREQ(OutputWriteFailed().what(), "Disk write error or disk is full.");
}

TEST(OutputBufferTest, FinalWriteReportsAShortWrite) {
  OutputBuffer out;
  MemorySink sink;
  EXPECT_TRUE(out.WriteRest(sink));  // nothing held: no write at all
  EXPECT_TRUE(sink.writes.empty());
  out.writeByteComp(9, sink);
  sink.fail_at = 0;
  EXPECT_FALSE(out.WriteRest(sink));
}

}  // namespace
}  // namespace lumora::testing
