// Writes archives in the layout of format.h: the packer's side of the format.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/crc32.h"
#include "codec/byte_io.h"
#include "codec/encoder.h"

namespace lumora {

class ArchiveWriter {
 public:
  // Reads up to n bytes of a member's data into buf; returns 0 at its end.
  using Reader = std::function<size_t(uint8_t* buf, size_t n)>;

  ArchiveWriter(ByteSink& out, ClearPolicy policy);

  // The magic "QRX1.00".
  void Begin();
  // ',' name 0x00 0x00. The name must end in '\'.
  void AddDirectory(const std::string& name);
  // ',' name 0x00, then the member's code stream in blocks and the 0x00 terminator.
  // Returns the member's compressed size in bytes (blocks, length bytes and terminator).
  int64_t AddFile(const std::string& name, const Reader& data);
  int64_t AddFile(const std::string& name, const std::string& data);
  // The same in steps, for a member encoded elsewhere: ',' name 0x00, then the framed code
  // stream exactly as an Encoder hands it out, in as many pieces as it comes.
  void BeginFile(const std::string& name);
  void PutFramed(const uint8_t* data, size_t n) { Put(data, n); }
  // The end byte ';' and, when with_trailer, the integrity trailer over everything from
  // the magic to the ';'.
  void Finish(bool with_trailer);

  int64_t BytesWritten() const { return written_; }
  // Told after every piece of input is encoded, with the bytes taken so far.
  std::function<void(int64_t input_bytes)> on_input;

 private:
  void Put(const uint8_t* data, size_t n);
  void Put(const std::string& s);

  ByteSink& out_;
  ClearPolicy policy_;
  Crc32 crc_;
  int64_t written_ = 0;
  int64_t input_ = 0;
};

}  // namespace lumora
