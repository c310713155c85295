// Decoding speed of the member decoder next to giflib's DGifGetLine on the same code
// streams, and the encoder's compressed sizes with both clear policies.
//
// The payload is 64 MiB of mixed data made from a fixed seed: image-like rows, flat runs,
// text and random bytes. A member's framed code stream is also the image data of a GIF
// whose minimum code size is 8 (clear 256, end 257, 9 to 12 bits, the same width steps),
// so giflib decodes the very same bytes, memory to memory, in one DGifGetLine call. Each
// kind of data is also raced alone (16 MiB each), and so is the sample update; each row
// names the clear policy that encoded its stream. A race takes the median processor time
// of the decoding thread over its rounds, ours, giflib's and a memcpy of the decoded bytes
// (the ceiling: no decoder writes its output faster) in turn, the order rotating from
// round to round, so that the ratios hold on a machine busy with other work. Every
// decoder's output is compared with the data in every round.
//
// End to end: the payload cut into 8 MiB files, and the sample update, are packed into an
// archive file and extracted through the self-extractor to real files in a temporary
// folder. Their share of the decode-only speed of the same members tells what the archive
// reads and the file writes cost; the check pass (decoding from the file to nowhere)
// splits the two. The floor is what writing the same decoded files with bare system calls
// (create, write, close; folders made ahead) costs: for many small files it, not the
// decoder, bounds the extraction.
#include <fcntl.h>
#include <gif_lib.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "archive/self_extractor.h"
#include "archive/writer.h"
#include "bench/payload.h"
#include "codec/byte_io.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kSide = 8192;                         // the GIF is kSide x kSide pixels
constexpr size_t kPayload = size_t{kSide} * kSide;  // 64 MiB
constexpr size_t kKindBytes = size_t{16} << 20;     // each kind alone: 16 MiB, 4096 x 4096

using lumora::bench::kImage;
using lumora::bench::Kind;
using lumora::bench::kKindNames;
using lumora::bench::kKinds;
using lumora::bench::kMixed;
using lumora::bench::kRandom;
using lumora::bench::kRuns;
using lumora::bench::kText;
using lumora::bench::MakePayload;
using lumora::bench::MemorySource;

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

// The processor time of this thread: on a machine shared with other work, the decoders'
// own time, not the time they wait for a core.
double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Decodes with our decoder; returns processor seconds.
double DecodeOurs(lumora::Decoder& decoder, const Bytes& framed, Bytes& out, int* reports) {
  const double start = CpuSeconds();
  MemorySource src(framed);
  lumora::BlockReader in;
  lumora::OutputBuffer buffer;
  MemorySink sink(out.data());
  Reports log;
  in.Prime(in.readByte(src));
  decoder.makeExtract(src, in, buffer, sink, &log);
  buffer.WriteRest(sink);
  const double t = CpuSeconds() - start;
  if (sink.size() != out.size()) throw std::runtime_error("our decoder: wrong size");
  *reports = log.count;
  return t;
}

// The framed member as the image data of a width x height GIF with 8-bit roots.
Bytes WrapAsGif(const Bytes& framed, int width, int height) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  auto put16 = [&gif](int v) {
    gif.push_back(static_cast<uint8_t>(v & 0xFF));
    gif.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(width);
  put16(height);
  gif.push_back(0xF7);  // global colour table of 256 entries, 8 bits per colour
  gif.push_back(0);
  gif.push_back(0);
  for (int i = 0; i < 256; ++i) gif.insert(gif.end(), 3, static_cast<uint8_t>(i));
  gif.push_back(0x2C);  // image descriptor
  put16(0);
  put16(0);
  put16(width);
  put16(height);
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

// Decodes with giflib, the image data in one DGifGetLine call; returns processor seconds.
double DecodeGiflib(const Bytes& gif_bytes, Bytes& out) {
  const double start = CpuSeconds();
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
  return CpuSeconds() - start;
}

// Median seconds of our decoder, of giflib and of memcpy over `rounds` rounds on one
// member, taking turns so that all see the same load on a shared machine; every output is
// checked against data.
struct Race {
  double ours = 0;
  double giflib = 0;
  double copy = 0;
  int reports = 0;
};

// Copies data to out; returns processor seconds.
double Copy(const Bytes& data, Bytes& out) {
  const double start = CpuSeconds();
  std::memcpy(out.data(), data.data(), data.size());
  // Keeps the copy from being optimised away.
  asm volatile("" : : "r"(out.data()) : "memory");
  return CpuSeconds() - start;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Race DecodeBoth(lumora::Decoder& decoder, const Bytes& data, const Bytes& member, int width,
                int rounds) {
  const Bytes gif = WrapAsGif(member, width, static_cast<int>(data.size() / width));
  Bytes out(data.size());
  Race race;
  std::vector<double> ours, giflib, copy;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 3; ++turn) {
      std::fill(out.begin(), out.end(), 0);
      switch ((round + turn) % 3) {
        case 0:
          ours.push_back(DecodeOurs(decoder, member, out, &race.reports));
          if (out != data) throw std::runtime_error("our decoder: wrong output");
          break;
        case 1:
          giflib.push_back(DecodeGiflib(gif, out));
          if (out != data) throw std::runtime_error("giflib: wrong output");
          break;
        default:
          copy.push_back(Copy(data, out));
          if (out != data) throw std::runtime_error("memcpy: wrong output");
          break;
      }
    }
  }
  race.ours = Median(ours);
  race.giflib = Median(giflib);
  race.copy = Median(copy);
  return race;
}

// The rows of the README's performance table, gathered as the races run.
std::string g_table;

void PrintRace(const char* what, size_t bytes, const Race& race) {
  const double mb = bytes / 1e6;
  std::printf(
      "decode %-40s ours %5.0f MB/s, giflib %4.0f MB/s, ratio %5.2fx; memcpy %6.0f MB/s, ours at "
      "%4.1f%% of it (%d reports)\n",
      what, mb / race.ours, mb / race.giflib, race.giflib / race.ours, mb / race.copy,
      100.0 * race.copy / race.ours, race.reports);
  char row[200];
  std::snprintf(row, sizeof row, "| %s | %.0f MB/s | %.0f MB/s | %.1fx | %.0f MB/s | %.1f%% |\n",
                what, mb / race.ours, mb / race.giflib, race.giflib / race.ours, mb / race.copy,
                100.0 * race.copy / race.ours);
  g_table += row;
}

// The processor's model name, as the kernel reports it.
std::string MachineName() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// One archive entry: a directory (name ends in '\') or a file with its bytes.
struct Entry {
  std::string name;
  Bytes data;
};

// The sample update's directories (parents first) and files, with '\' between components.
std::vector<Entry> SampleUpdate() {
  namespace fs = std::filesystem;
  std::vector<Entry> dirs, files;
  const fs::path root = LUMORA_SAMPLE_UPDATE_DIR;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    if (item.is_directory()) {
      dirs.push_back({name + "\\", {}});
    } else {
      std::ifstream in(item.path(), std::ios::binary);
      files.push_back({name, Bytes(std::istreambuf_iterator<char>(in), {})});
    }
  }
  auto by_name = [](const Entry& a, const Entry& b) { return a.name < b.name; };
  std::sort(dirs.begin(), dirs.end(), by_name);
  std::sort(files.begin(), files.end(), by_name);
  dirs.insert(dirs.end(), files.begin(), files.end());
  return dirs;
}

class StdioSink : public lumora::ByteSink {
 public:
  explicit StdioSink(FILE* file) : file_(file) {}
  bool Write(const uint8_t* data, size_t n) override { return std::fwrite(data, 1, n, file_) == n; }

 private:
  FILE* file_;
};

void WriteArchive(const std::string& path, const std::vector<Entry>& entries) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  StdioSink sink(file);
  lumora::ArchiveWriter writer(sink, lumora::ClearPolicy::kAdaptive);
  writer.Begin();
  for (const Entry& e : entries) {
    if (!e.name.empty() && e.name.back() == '\\') {
      writer.AddDirectory(e.name);
      continue;
    }
    size_t pos = 0;
    writer.AddFile(e.name, [&e, &pos](uint8_t* buf, size_t n) {
      const size_t take = std::min(n, e.data.size() - pos);
      std::memcpy(buf, e.data.data() + pos, take);
      pos += take;
      return take;
    });
  }
  writer.Finish(false);
  if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
}

// An entry's path below folder, with '/' between its components.
std::string NativeName(const std::string& folder, const Entry& e) {
  std::string path = folder + "/" + e.name;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// Extraction of a packed archive to files on disk through the self-extractor, next to
// decoding the same members from memory to memory.
void EndToEnd(lumora::Decoder& decoder, const char* what, const std::vector<Entry>& entries,
              int rounds) {
  namespace fs = std::filesystem;
  char folder_template[] = "/tmp/lumora-bench-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string folder = folder_template;
  const std::string archive = folder + "/update.bin";
  const std::string target = folder + "/out";
  WriteArchive(archive, entries);

  size_t bytes = 0;
  double decode_only = 0;
  for (const Entry& e : entries) {
    if (!e.name.empty() && e.name.back() == '\\') continue;
    const Bytes member = lumora::EncodeMember(e.data.data(), e.data.size());
    Bytes out(e.data.size());
    double best = 1e9;
    int reports = 0;
    for (int round = 0; round < rounds; ++round) {
      best = std::min(best, DecodeOurs(decoder, member, out, &reports));
    }
    if (out != e.data) throw std::runtime_error("our decoder: wrong output");
    decode_only += best;
    bytes += e.data.size();
  }

  // The floor: the decoded files written straight from memory.
  double floor = 1e9;
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(target);
    fs::create_directory(target);
    for (const Entry& e : entries) {
      if (!e.name.empty() && e.name.back() == '\\') fs::create_directories(NativeName(target, e));
    }
    const auto start = Clock::now();
    for (const Entry& e : entries) {
      if (!e.name.empty() && e.name.back() == '\\') continue;
      const int fd = open(NativeName(target, e).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd < 0 ||
          write(fd, e.data.data(), e.data.size()) != static_cast<ssize_t>(e.data.size()) ||
          close(fd) != 0) {
        throw std::runtime_error("floor: cannot write " + e.name);
      }
    }
    floor = std::min(floor, Seconds(start));
  }

  lumora::Platform platform = lumora::CreateNativePlatform();
  double verify = 1e9, extract = 1e9;
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(target);
    fs::create_directory(target);
    lumora::SelfExtractor extractor(*platform.files, nullptr);
    extractor.extractDir = target + "\\";
    extractor.SetArchive(archive, 0);
    auto start = Clock::now();
    extractor.Verify();
    verify = std::min(verify, Seconds(start));
    start = Clock::now();
    extractor.Selfextract();
    extract = std::min(extract, Seconds(start));
  }
  for (const Entry& e : entries) {
    if (!e.name.empty() && e.name.back() == '\\') continue;
    std::ifstream in(NativeName(target, e), std::ios::binary);
    if (Bytes(std::istreambuf_iterator<char>(in), {}) != e.data) {
      throw std::runtime_error("extraction: wrong output for " + e.name);
    }
  }
  fs::remove_all(folder);

  const double mb = bytes / 1e6;
  std::printf(
      "end to end %-18s %zu bytes: decode only %.0f MB/s, verify from file %.0f MB/s (%.0f%%),"
      " extract to files %.0f MB/s (%.0f%%); floor %.0f MB/s, extraction at %.0f%% of it\n",
      what, bytes, mb / decode_only, mb / verify, 100.0 * decode_only / verify, mb / extract,
      100.0 * decode_only / extract, mb / floor, 100.0 * floor / extract);
}

}  // namespace

int main() {
  std::printf("machine: %s, %u hardware threads\n", MachineName().c_str(),
              std::thread::hardware_concurrency());
  const Bytes payload = MakePayload(kPayload, kMixed);
  std::printf("payload: %zu bytes (image rows, flat runs, text, random bytes)\n", payload.size());

  Bytes members[2];
  const char* names[2] = {"full", "adaptive"};
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
  std::printf("adaptive vs full: %.2f%% smaller\n",
              100.0 * (1.0 - static_cast<double>(members[1].size()) / members[0].size()));

  lumora::Decoder decoder;
  for (int p = 0; p < 2; ++p) {
    const std::string what = std::string("mixed 64 MiB, ") + names[p] + " policy";
    PrintRace(what.c_str(), payload.size(), DecodeBoth(decoder, payload, members[p], kSide, 7));
  }
  for (int k = 0; k < kKinds; ++k) {
    const Bytes data = MakePayload(kKindBytes, static_cast<Kind>(k));
    const Bytes member = lumora::EncodeMember(data.data(), data.size());
    const std::string what = std::string(kKindNames[k]) + " 16 MiB, adaptive policy";
    PrintRace(what.c_str(), data.size(), DecodeBoth(decoder, data, member, 4096, 7));
  }

  // The sample update's files one after another, zero-padded to whole 1024-byte rows.
  const std::vector<Entry> sample = SampleUpdate();
  Bytes joined;
  for (const Entry& e : sample) joined.insert(joined.end(), e.data.begin(), e.data.end());
  joined.resize((joined.size() + 1023) / 1024 * 1024, 0);
  const Bytes sample_member = lumora::EncodeMember(joined.data(), joined.size());
  PrintRace("the sample update, adaptive policy", joined.size(),
            DecodeBoth(decoder, joined, sample_member, 1024, 51));

  std::vector<Entry> parts;
  constexpr size_t kPart = size_t{8} << 20;
  for (size_t at = 0; at < payload.size(); at += kPart) {
    parts.push_back({"part" + std::to_string(at / kPart) + ".bin",
                     Bytes(payload.begin() + at, payload.begin() + at + kPart)});
  }
  EndToEnd(decoder, "mixed, 8 x 8 MiB:", parts, 3);
  EndToEnd(decoder, "sample update:", sample, 20);

  std::printf(
      "\ndecoding, processor time of the thread, median of 7 rounds (sample update: 51), ours, "
      "giflib and memcpy taking turns, on %s:\n"
      "| stream | ours | giflib | ours / giflib | memcpy | ours, share of memcpy's speed |\n"
      "|---|---|---|---|---|---|\n%s",
      MachineName().c_str(), g_table.c_str());
  return 0;
}
