// The LZW decoder of archive members.
#pragma once

#include <cstdint>
#include <memory>

#include "codec/byte_io.h"

namespace lumora {

// Told at every clear code after a member's first and at every growth of the code width.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  virtual void OnProgress() = 0;
};

// A byte mask of the low `bits` bits: 0 for 0, 2^bits - 1 for 1..7, 0xFF for 8 and more.
uint8_t getCurrentMask(int32_t bits);

class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Decodes one member. The block reader is primed with the member's first length byte
  // (BlockReader::Prime). Every decoded byte goes through out; the last 1..256 of them
  // are left in out.outBuffer for the caller's final write. On return the archive stands
  // just after the member's terminating zero length byte; nothing after it is read.
  // Throws RuntimeError("Stream read error") for a truncated member, RuntimeError with
  // a corrupt-data text for a code that needs an unwritten slot or a dictionary that
  // would pass 4096 slots, and OutputWriteFailed from out.
  void makeExtract(ByteSource& archive, BlockReader& in, OutputBuffer& out, ByteSink& sink,
                   ProgressListener* progress);

 private:
  struct State;
  std::unique_ptr<State> state_;  // the chain table and its storage, reused across members
};

}  // namespace lumora
