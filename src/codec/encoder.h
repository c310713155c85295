// The packer's LZW encoder: turns a file's bytes into a member's framed code stream, the
// length-prefixed blocks that the decoder reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace lumora {

// When the encoder starts the dictionary afresh with a clear code.
enum class ClearPolicy {
  // Only when it is full: the next free code has reached 4095.
  kBaseline,
  // Also earlier, when the data stops paying for wider codes (random bytes, say): before a
  // code would grow past 9, 10 or 11 bits, and when the ratio of the current stretch falls
  // clearly behind its best. The codes are chosen with a look ahead (see Encoder).
  kAdaptive,
};

// Under the baseline policy every code is the longest dictionary string at the current
// position (greedy parsing). Under the adaptive policy the encoder looks one code ahead: of
// the longest match and the two prefixes just short of it (every prefix of a dictionary
// string is one too), it sends the one after which the next code reaches furthest, with a
// margin in favour of the longest (see EncodeAhead in encoder.cc). The decoder
// needs no help for this: whatever code comes, it defines the previous code's string plus
// the first byte of this one, and the encoder mirrors that, duplicate entries included.
//
// The dictionary maps (prefix code, byte) to a code: directly for a root's pairs, through an
// open-addressing table of 16-bit codes for longer strings; a new dictionary empties only
// the slots the old one filled. The coding
// loops keep their state in registers and write codes without a branch. After a
// dictionary whose codes stood for 12 bytes or more each (flat runs), a match that starts
// where the longest run of its byte lies ahead in full goes straight to that run's code
// instead of through every shorter one. None of this changes a single code: the member is
// the one plain greedy parsing, or the look ahead, makes.
class Encoder {
 public:
  // Receives the framed bytes: blocks of 255 bytes each preceded by its length byte, the
  // last block (1..255 bytes), and the 0x00 terminator, in pieces as they are ready.
  using Output = std::function<void(const uint8_t* data, size_t n)>;

  Encoder(ClearPolicy policy, Output output);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Compresses the next n bytes of the file.
  void Feed(const uint8_t* data, size_t n);
  // Ends the member: the last code, the end code, the last blocks and the terminator.
  // Nothing may be fed after it.
  void Finish();

  uint64_t input_bytes() const { return input_bytes_; }
  uint64_t output_bytes() const { return output_bytes_; }  // framed bytes handed out

 private:
  struct Matched;
  struct Coder;
  Coder Load();
  void Save(const Coder& c);
  void Encode(const uint8_t* data, size_t n);
  template <bool kRuns>
  size_t EncodeGreedy(const uint8_t* data, size_t n, size_t i);
  template <bool kLast, bool kRuns>
  bool EncodeAhead();
  bool AtEvent(Coder& c, uint64_t codedBytes);
  void NewDictionary(Coder& c, uint64_t codedBytes);
  void ResetRuns();
  void Drain(size_t keep);
  void EmitBlock(const uint8_t* data, size_t n);

  ClearPolicy policy_;
  Output output_;

  // The dictionary: per slot a code times 4, 0 when free. The first 32768 slots are a hash
  // table of the strings of three bytes or more, one past them is never filled, and then
  // every pair of bytes (root << 8 | byte) has a slot of its own, so a code's first step
  // needs no probe. keys_ holds each code's prefix << 8 | byte (kNoKey for code 0, which no key
  // matches): a probe reads the key after the code, off the path from one probe to the
  // next as long as it matches, and the table's hot part stays in the nearest cache.
  std::vector<uint16_t> codes_;
  std::vector<uint32_t> keys_;
  uint32_t slotOf_[4096] = {};      // per code since the last clear code: its slot
  std::vector<uint16_t> prefixes_;  // per code: the code of its string but the last byte
  // Flat runs: per byte, the code and the length of the longest run of it in the
  // dictionary (see EncodeGreedy).
  bool runMode_ = false;
  uint64_t dictionaryStart_ = 0;  // the input offset where the dictionary began
  uint16_t runs_[256] = {};
  uint16_t runLengths_[256] = {};
  uint16_t rootLongest_[256] = {};  // per byte: the longest string that starts with it

  // The coder's running state; the loops copy it into locals and store it back.
  uint32_t prefix_ = 0;     // the code of the string matched so far (greedy parsing)
  bool hasPrefix_ = false;  // whether prefix_ holds one
  uint32_t decNext_ = 0;    // the decoder's next free code once the last code is read
  uint32_t width_ = 0;      // bits of the next code
  uint32_t limit_ = 0;      // 1 << width_
  uint32_t event_ = 0;      // decNext_ at which AtEvent runs next
  uint64_t acc_ = 0;        // bits not yet stored as whole bytes: fewer than 8
  uint32_t accBits_ = 0;

  // The look ahead of the adaptive policy: input not yet coded starts at ahead_[aheadPos_].
  std::vector<uint8_t> ahead_;
  size_t aheadPos_ = 0;
  uint64_t aheadBase_ = 0;  // the input offset of ahead_[0]
  // A dictionary string matched at a position of the look ahead.
  struct Matched {
    uint32_t code = 0;
    uint32_t length = 0;  // 0 for none
    uint32_t free = 0;    // the free slot where the probe for one byte more ended
  };
  Matched next_;  // the longest match at ahead_[aheadPos_] when known

  // Code stream bytes not yet framed: the first pendingSize_, with room for a whole-word
  // store past them.
  std::vector<uint8_t> pending_;
  size_t pendingSize_ = 0;
  uint64_t drainedBytes_ = 0;    // code stream bytes framed so far
  std::vector<uint8_t> framed_;  // scratch for one batch of blocks

  // What the current stretch has cost, for the adaptive policy: the stream's bits and the
  // input offset where it began, and the same where the current window began.
  uint64_t stretchStartBits_ = 0;
  uint64_t stretchStartBytes_ = 0;
  uint64_t windowStartBits_ = 0;
  uint64_t windowStartBytes_ = 0;
  double bestWindowRatio_ = 0;  // bits per byte of the best window of this stretch

  uint64_t input_bytes_ = 0;
  uint64_t output_bytes_ = 0;
  bool finished_ = false;
};

// Compresses a whole buffer into one member's framed bytes.
std::vector<uint8_t> EncodeMember(const uint8_t* data, size_t n,
                                  ClearPolicy policy = ClearPolicy::kAdaptive);

}  // namespace lumora
