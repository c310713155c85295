// Decoding speed of the member decoder next to giflib's DGifGetLine on the same code
// streams, and the encoder's compressed sizes with both clear policies.
//
// The payload is 64 MiB of mixed data made from a fixed seed: image-like rows, flat runs,
// text and random bytes. A member's framed code stream is also the image data of a GIF
// whose minimum code size is 8 (clear 256, end 257, 9 to 12 bits, the same width steps),
// so giflib decodes the very same bytes, memory to memory, in one DGifGetLine call.
#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/byte_io.h"
#include "codec/decoder.h"
#include "codec/encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kSide = 8192;                         // the GIF is kSide x kSide pixels
constexpr size_t kPayload = size_t{kSide} * kSide;  // 64 MiB

Bytes MakePayload() {
  std::mt19937 rng(20240611);
  Bytes data(kPayload);
  static const char* const kWords[] = {"the ",   "part ",   "base ",      "record ", "tattoo ",
                                       "fp001 ", "psd\r\n", "Addition\\", "0.75 ",   "layer "};
  size_t i = 0;
  while (i < kPayload) {
    const size_t len = std::min(kPayload - i, size_t{16384} + rng() % (1u << 20));
    const int kind = static_cast<int>(rng() % 4);
    uint8_t* p = data.data() + i;
    if (kind == 0) {  // image rows: gradients with light noise
      const int width = 256 + static_cast<int>(rng() % 1024);
      for (size_t k = 0; k < len; ++k) {
        const size_t x = k % width, y = k / width;
        p[k] = static_cast<uint8_t>((x * 3 + y * 2) / 8 + (rng() % 3));
      }
    } else if (kind == 1) {  // flat runs
      size_t k = 0;
      while (k < len) {
        const size_t run = std::min(len - k, size_t{1} + rng() % 4096);
        std::memset(p + k, static_cast<int>(rng() % 256), run);
        k += run;
      }
    } else if (kind == 2) {  // text
      size_t k = 0;
      while (k < len) {
        for (const char* w = kWords[rng() % 10]; *w != 0 && k < len; ++w) p[k++] = *w;
      }
    } else {  // random bytes
      for (size_t k = 0; k < len; ++k) p[k] = static_cast<uint8_t>(rng());
    }
    i += len;
  }
  return data;
}

class MemorySource : public lumora::ByteSource {
 public:
  explicit MemorySource(const Bytes& data) : data_(data) {}
  void ReadExact(uint8_t* out, size_t n) override {
    if (data_.size() - pos_ < n) throw std::runtime_error("Stream read error");
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
  }
  int64_t Position() const override { return static_cast<int64_t>(pos_); }

 private:
  const Bytes& data_;
  size_t pos_ = 0;
};

class MemorySink : public lumora::ByteSink {
 public:
  explicit MemorySink(uint8_t* out) : out_(out) {}
  bool Write(const uint8_t* data, size_t n) override {
    std::memcpy(out_ + size_, data, n);
    size_ += n;
    return true;
  }
  size_t size() const { return size_; }

 private:
  uint8_t* out_;
  size_t size_ = 0;
};

class Reports : public lumora::ProgressListener {
 public:
  void OnProgress() override { ++count; }
  int count = 0;
};

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Decodes with our decoder; returns seconds.
double DecodeOurs(lumora::Decoder& decoder, const Bytes& framed, Bytes& out, int* reports) {
  const auto start = Clock::now();
  MemorySource src(framed);
  lumora::BlockReader in;
  lumora::OutputBuffer buffer;
  MemorySink sink(out.data());
  Reports log;
  in.Prime(in.readByte(src));
  decoder.makeExtract(src, in, buffer, sink, &log);
  buffer.WriteRest(sink);
  const double t = Seconds(start);
  if (sink.size() != out.size()) throw std::runtime_error("our decoder: wrong size");
  *reports = log.count;
  return t;
}

Bytes WrapAsGif(const Bytes& framed) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  auto put16 = [&gif](int v) {
    gif.push_back(static_cast<uint8_t>(v & 0xFF));
    gif.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(kSide);
  put16(kSide);
  gif.push_back(0xF7);  // global colour table of 256 entries, 8 bits per colour
  gif.push_back(0);
  gif.push_back(0);
  for (int i = 0; i < 256; ++i) gif.insert(gif.end(), 3, static_cast<uint8_t>(i));
  gif.push_back(0x2C);  // image descriptor
  put16(0);
  put16(0);
  put16(kSide);
  put16(kSide);
  gif.push_back(0);
  gif.push_back(8);  // minimum code size: 8-bit roots
  gif.insert(gif.end(), framed.begin(), framed.end());
  gif.push_back(0x3B);
  return gif;
}

struct GifInput {
  const Bytes* data;
  size_t pos;
};

int ReadGif(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<GifInput*>(gif->UserData);
  const size_t take = std::min(static_cast<size_t>(n), in->data->size() - in->pos);
  std::memcpy(out, in->data->data() + in->pos, take);
  in->pos += take;
  return static_cast<int>(take);
}

// Decodes with giflib, the image data in one DGifGetLine call; returns seconds.
double DecodeGiflib(const Bytes& gif_bytes, Bytes& out) {
  const auto start = Clock::now();
  GifInput input{&gif_bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&input, ReadGif, &error);
  if (gif == nullptr) throw std::runtime_error("DGifOpen failed");
  GifRecordType type;
  if (DGifGetRecordType(gif, &type) != GIF_OK || type != IMAGE_DESC_RECORD_TYPE ||
      DGifGetImageDesc(gif) != GIF_OK ||
      DGifGetLine(gif, out.data(), static_cast<int>(out.size())) != GIF_OK) {
    DGifCloseFile(gif, &error);
    throw std::runtime_error("giflib could not decode the stream");
  }
  DGifCloseFile(gif, &error);
  return Seconds(start);
}

}  // namespace

int main() {
  const Bytes payload = MakePayload();
  std::printf("payload: %zu bytes (image rows, flat runs, text, random bytes)\n", payload.size());

  Bytes members[2];
  const char* names[2] = {"baseline", "adaptive"};
  const lumora::ClearPolicy policies[2] = {lumora::ClearPolicy::kBaseline,
                                           lumora::ClearPolicy::kAdaptive};
  for (int p = 0; p < 2; ++p) {
    const auto start = Clock::now();
    members[p] = lumora::EncodeMember(payload.data(), payload.size(), policies[p]);
    const double t = Seconds(start);
    std::printf("encoder %-8s: %zu bytes framed (%.2f%% of the input), %.1f MB/s\n", names[p],
                members[p].size(), 100.0 * members[p].size() / payload.size(),
                payload.size() / t / 1e6);
  }
  std::printf("adaptive vs baseline: %.2f%% smaller\n",
              100.0 * (1.0 - static_cast<double>(members[1].size()) / members[0].size()));

  lumora::Decoder decoder;
  Bytes out(payload.size());
  for (int p = 0; p < 2; ++p) {
    const Bytes gif = WrapAsGif(members[p]);
    double ours = 1e9, theirs = 1e9;
    int reports = 0;
    for (int round = 0; round < 3; ++round) {
      std::fill(out.begin(), out.end(), 0);
      ours = std::min(ours, DecodeOurs(decoder, members[p], out, &reports));
      if (out != payload) throw std::runtime_error("our decoder: wrong output");
      std::fill(out.begin(), out.end(), 0);
      theirs = std::min(theirs, DecodeGiflib(gif, out));
      if (out != payload) throw std::runtime_error("giflib: wrong output");
    }
    const double mb = payload.size() / 1e6;
    std::printf(
        "decode %-8s stream: ours %.0f MB/s, giflib DGifGetLine %.0f MB/s, ratio %.2fx"
        " (%d progress reports)\n",
        names[p], mb / ours, mb / theirs, theirs / ours, reports);
  }
  return 0;
}
