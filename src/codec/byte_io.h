// The codec's byte input and output: the block reader that takes a member's compressed
// bytes out of their length-prefixed blocks, and the 256-byte output buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace lumora {

// The text of a member whose code stream cannot be decoded (a code that needs a string from
// a slot not written since the last clear code, a dictionary that would pass 4096 slots).
inline constexpr const char kCorruptDataError[] = "Corrupt compressed data";

// The archive stream as the codec reads it.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads exactly n bytes; throws RuntimeError(kStreamReadError) when fewer remain.
  virtual void ReadExact(uint8_t* data, size_t n) = 0;
  // Absolute position in the file, for the progress report.
  virtual int64_t Position() const = 0;
};

// Where a member's decoded bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes n bytes; false when fewer could be written.
  virtual bool Write(const uint8_t* data, size_t n) = 0;
};

// Thrown by the output buffer when a full buffer could not be written. The driver then
// releases the output, tells the user the disk is full and stops.
class OutputWriteFailed : public std::exception {
 public:
  const char* what() const noexcept override { return "Disk write error or disk is full."; }
};

// Reads the archive: single bytes (readByte) and a member's code stream (readByteExtr).
class BlockReader {
 public:
  // The current block's data bytes, followed by the length byte of the next block.
  uint8_t inBuffer[256] = {};
  int32_t inPos = 0;         // index of the next byte to deliver
  int32_t inSize = 0;        // data bytes in the current block
  int32_t nextBlockLen = 0;  // the length byte that followed the current block
  bool moreData = false;     // the member still has compressed bytes to deliver
  bool lastBlock = false;    // the terminating length 0 has been read

  // One byte of the archive, unbuffered. Throws "Stream read error" at the end.
  uint8_t readByte(ByteSource& archive);
  // Set-up for a member whose first length byte is first_length: moreData true,
  // lastBlock false, nextBlockLen = inPos = inSize = first_length.
  void Prime(uint8_t first_length);
  // The next byte of the member's code stream. Loads a block when the current one is used
  // up, reading its data and the next length byte in one read; clears moreData when it
  // hands out the member's last byte.
  uint8_t readByteExtr(ByteSource& archive);

  // Loads the next block and the length byte after it in one read. Throws
  // RuntimeError(kCorruptDataError) when the member's terminator has been read already.
  void LoadBlock(ByteSource& archive);
  // True when every byte of the member has been handed out (or it had none).
  bool Exhausted() const;
};

// Collects decoded bytes and writes them in 256-byte pieces.
class OutputBuffer {
 public:
  static constexpr int32_t kSize = 256;  // bytes
  uint8_t outBuffer[kSize] = {};
  int32_t outCount = 0;

  void Reset() { outCount = 0; }
  // Appends one byte, first writing the full buffer when it holds 256 bytes. Throws
  // OutputWriteFailed when that write falls short; the buffer is emptied all the same.
  void writeByteComp(uint8_t byte, ByteSink& out);
  // The same as n calls of writeByteComp, with the full pieces written together.
  void Write(const uint8_t* data, size_t n, ByteSink& out);
  // The driver's final write: the 1..256 bytes left at the end of a member. False when
  // the write fell short.
  bool WriteRest(ByteSink& out);
};

}  // namespace lumora
