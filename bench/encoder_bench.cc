// Encoding speed and compressed size of the member encoder, with both clear policies, next
// to `compress -b 12` (ncompress) on the same data in the same run: the same kind of code
// stream (9 to 12 bits over 8-bit roots), but its dictionary freezes when full, which the
// archive format cannot express.
//
// Payloads: 64 MiB of mixed data, then each kind alone (16 MiB each), all from a fixed
// seed. Every member is decoded back with the product's decoder and compared. compress
// runs as a real process reading a file in the page cache and writing to /dev/null for
// its speed, and to a file for its size; its start-up (about a millisecond) is counted.
// Speeds are of CPU time (the encoding thread's, compress's user and system time), which
// other work on a shared machine disturbs less than the clock on the wall.
//
// Usage: lumora_bench_encoder [ROUNDS]   (default 3; the median of the rounds is shown)
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/payload.h"
#include "codec/byte_io.h"
#include "codec/decoder.h"
#include "codec/encoder.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using lumora::bench::Kind;
using lumora::bench::MemorySource;

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class MemorySink : public lumora::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    out.insert(out.end(), data, data + n);
    return true;
  }
  Bytes out;
};

// Throws unless the member decodes to exactly `data` and ends on its terminator.
void CheckDecodes(const Bytes& member, const Bytes& data, const char* what) {
  MemorySource src(member);
  lumora::BlockReader in;
  lumora::OutputBuffer buffer;
  MemorySink sink;
  sink.out.reserve(data.size());
  lumora::Decoder decoder;
  in.Prime(in.readByte(src));
  decoder.makeExtract(src, in, buffer, sink, nullptr);
  buffer.WriteRest(sink);
  if (sink.out != data || src.Position() != static_cast<int64_t>(member.size())) {
    throw std::runtime_error(std::string("member does not decode back: ") + what);
  }
}

// Runs `compress -b 12 -c` with stdin from `in` and stdout to `out`; returns seconds, or a
// negative number when compress cannot run.
double RunCompress(const std::string& in, const std::string& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  char* argv[] = {const_cast<char*>("compress"), const_cast<char*>("-b"), const_cast<char*>("12"),
                  const_cast<char*>("-c"), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "compress", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  auto seconds = [](const timeval& v) { return v.tv_sec + v.tv_usec * 1e-6; };
  const double t = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  // compress exits 2 when the output is larger than the input; it is still written.
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2)) return -1;
  return t;
}

struct Figures {
  double seconds = 0;
  size_t size = 0;
};

// Timed with the output counted and dropped, as compress's goes to /dev/null; the member
// is then made once more to be decoded and compared.
Figures Ours(const Bytes& data, lumora::ClearPolicy policy, int rounds, const char* what) {
  std::vector<double> times;
  size_t size = 0;
  for (int r = 0; r < rounds; ++r) {
    size = 0;
    const double start = ThreadSeconds();
    lumora::Encoder encoder(policy, [&size](const uint8_t*, size_t n) { size += n; });
    encoder.Feed(data.data(), data.size());
    encoder.Finish();
    times.push_back(ThreadSeconds() - start);
  }
  const Bytes member = lumora::EncodeMember(data.data(), data.size(), policy);
  if (member.size() != size) throw std::runtime_error(std::string("size differs: ") + what);
  CheckDecodes(member, data, what);
  return {Median(times), size};
}

Figures Compress(const Bytes& data, int rounds, const std::string& folder) {
  const std::string in = folder + "/in", out = folder + "/out";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size() ||
      std::fclose(f) != 0) {
    throw std::runtime_error("cannot write " + in);
  }
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    const double t = RunCompress(in, "/dev/null");
    if (t < 0) return {};
    times.push_back(t);
  }
  if (RunCompress(in, out) < 0) return {};
  struct stat st {};
  stat(out.c_str(), &st);
  return {Median(times), static_cast<size_t>(st.st_size)};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  char folder_template[] = "/tmp/lumora-encbench-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string folder = folder_template;

  std::printf("median of %d rounds; MB/s of input per CPU second; size in %% of the input\n",
              rounds);
  std::printf("%-13s %9s | %-16s | %-16s | %-16s | %s\n", "payload", "bytes", "full", "adaptive",
              "compress -b 12", "adaptive / compress: speed, size");
  struct Payload {
    Kind kind;
    size_t size;
  };
  const Payload payloads[] = {{lumora::bench::kMixed, size_t{64} << 20},
                              {lumora::bench::kImage, size_t{16} << 20},
                              {lumora::bench::kRuns, size_t{16} << 20},
                              {lumora::bench::kText, size_t{16} << 20},
                              {lumora::bench::kRandom, size_t{16} << 20}};
  for (const Payload& p : payloads) {
    const Bytes data = lumora::bench::MakePayload(p.size, p.kind);
    const char* name = lumora::bench::kKindNames[p.kind];
    const Figures full = Ours(data, lumora::ClearPolicy::kBaseline, rounds, name);
    const Figures adaptive = Ours(data, lumora::ClearPolicy::kAdaptive, rounds, name);
    const Figures peer = Compress(data, rounds, folder);
    const double mb = data.size() / 1e6;
    auto cell = [&](const Figures& f) {
      char text[64];
      if (f.size == 0) return std::string("not installed");
      std::snprintf(text, sizeof text, "%5.1f MB/s %5.2f%%", mb / f.seconds,
                    100.0 * f.size / data.size());
      return std::string(text);
    };
    std::printf("%-13s %9zu | %-16s | %-16s | %-16s |", name, data.size(), cell(full).c_str(),
                cell(adaptive).c_str(), cell(peer).c_str());
    if (peer.size > 0) {
      std::printf(" %.2fx, %.3fx", peer.seconds / adaptive.seconds,
                  static_cast<double>(adaptive.size) / peer.size);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  std::remove((folder + "/in").c_str());
  std::remove((folder + "/out").c_str());
  rmdir(folder.c_str());
  return 0;
}
