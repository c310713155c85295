#include "codec/byte_io.h"

#include <cstring>

#include "platform/errors.h"

namespace lumora {

uint8_t BlockReader::readByte(ByteSource& archive) {
  uint8_t byte = 0;
  archive.ReadExact(&byte, 1);
  return byte;
}

void BlockReader::Prime(uint8_t first_length) {
  moreData = true;
  lastBlock = false;
  nextBlockLen = first_length;
  inPos = first_length;
  inSize = first_length;
}

bool BlockReader::Exhausted() const { return nextBlockLen == 0 && inPos == inSize; }

void BlockReader::LoadBlock(ByteSource& archive) {
  // Past the member's terminator there is no block to load: the bytes that follow belong
  // to the next entry, and taking them as a block would put the archive out of step.
  if (nextBlockLen == 0) throw RuntimeError(kCorruptDataError);
  inSize = nextBlockLen;
  // The length byte of the next block arrives with this one, so the stream always stands
  // on a block boundary.
  archive.ReadExact(inBuffer, static_cast<size_t>(inSize) + 1);
  nextBlockLen = inBuffer[inSize];
  inPos = 0;
  if (nextBlockLen == 0) lastBlock = true;
}

uint8_t BlockReader::readByteExtr(ByteSource& archive) {
  if (inPos == inSize) LoadBlock(archive);
  const uint8_t byte = inBuffer[inPos];
  ++inPos;
  if (lastBlock && inPos == inSize) moreData = false;
  return byte;
}

void OutputBuffer::writeByteComp(uint8_t byte, ByteSink& out) {
  if (outCount == kSize) {
    const bool written = out.Write(outBuffer, kSize);
    outCount = 0;
    if (!written) throw OutputWriteFailed();
  }
  outBuffer[outCount] = byte;
  ++outCount;
}

void OutputBuffer::Write(const uint8_t* data, size_t n, ByteSink& out) {
  if (n == 0) return;
  const size_t count = static_cast<size_t>(outCount);
  if (count + n <= kSize) {
    std::memcpy(outBuffer + count, data, n);
    outCount += static_cast<int32_t>(n);
    return;
  }
  // Everything but the last 1..256 bytes goes out now, as byte-wise calls would do it.
  const size_t total = count + n;
  const size_t keep = (total - 1) % kSize + 1;
  size_t direct = total - keep;  // bytes to write, the buffered ones first
  if (count > 0) {
    // Top the held bytes up to a whole piece; it goes out first.
    const size_t fill = kSize - count;
    std::memcpy(outBuffer + count, data, fill);
    data += fill;
    direct -= kSize;
    const bool written = out.Write(outBuffer, kSize);
    if (!written) {
      outCount = 0;
      throw OutputWriteFailed();
    }
  }
  if (direct > 0) {
    const bool written = out.Write(data, direct);
    if (!written) {
      outCount = 0;
      throw OutputWriteFailed();
    }
    data += direct;
  }
  std::memcpy(outBuffer, data, keep);
  outCount = static_cast<int32_t>(keep);
}

bool OutputBuffer::WriteRest(ByteSink& out) {
  if (outCount <= 0) return true;
  const bool written = out.Write(outBuffer, static_cast<size_t>(outCount));
  outCount = 0;
  return written;
}

}  // namespace lumora
