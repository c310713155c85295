// Encoding speed and compressed size of the member encoder, with both clear policies, next
// to `compress -b 12` (ncompress) on the same data in the same run: the same kind of code
// stream (9 to 12 bits over 8-bit roots), but its dictionary freezes when full, which the
// archive format cannot express.
//
// Payloads: 64 MiB of mixed data, then each kind alone (16 MiB each), all from a fixed
// seed. Every round runs the three coders one after the other, in turns: adaptive, full,
// compress in even rounds and the reverse in odd ones, so that a slow spell of the shared
// machine falls on all of them. Each round's output is checked: our member is decoded with
// the product's decoder, compress's file is decompressed with `compress -d`, and both must
// give back the input exactly. compress runs as a real process reading a file in the page
// cache and writing one beside it; its start-up (about a millisecond) is counted. Speeds are
// of CPU time (the encoding thread's; compress's user and system time), which other work on
// a shared machine disturbs less than the clock on the wall. Each speed is the median of the
// rounds; each ratio to compress is the median of the rounds' own ratios.
//
// Beside the library, each policy is also run as the packer's own process, `lumora-pack
// create --raw -j 1` on the same file, timed like compress (user and system time, start-up
// counted) and on the wall; its archive must hold the library's member byte for byte. The
// second table sets the process against the library: what packing costs beyond encoding.
//
// The output is a Markdown table, headed by the machine and the date.
//
// Usage: lumora_bench_encoder [ROUNDS [PACKER [BASELINE]]]
//   (default 5 rounds, the packer built beside; BASELINE, another build of the packer, is
//   run in the same rounds and shown beside it)
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
#include <fstream>
#include <iterator>
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

double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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
void CheckDecodes(const Bytes& member, const Bytes& data, const std::string& what) {
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
    throw std::runtime_error("our member does not decode back: " + what);
  }
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size() ||
      std::fclose(f) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct ProcessTimes {
  double cpu = -1;  // user and system seconds; negative when it could not run or failed
  double wall = 0;
};

// Runs PROGRAM ARGS... (found on PATH) with stdin from `in` and stdout to `out`, or to
// /dev/null with no `in`. Exit statuses in `ok` count as success.
ProcessTimes RunProcess(const char* program, std::vector<const char*> args, const std::string& in,
                        const std::string& out, std::vector<int> ok = {0}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  ProcessTimes times;
  const double start = WallSeconds();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return times;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return times;
  times.wall = WallSeconds() - start;
  auto seconds = [](const timeval& v) { return v.tv_sec + v.tv_usec * 1e-6; };
  if (WIFEXITED(status) && std::count(ok.begin(), ok.end(), WEXITSTATUS(status)) > 0) {
    times.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  return times;
}

// compress exits 2 when the output is larger than the input; it is still written.
double RunCompress(std::vector<const char*> args, const std::string& in, const std::string& out) {
  return RunProcess("compress", std::move(args), in, out, {0, 2}).cpu;
}

struct Timed {
  double seconds = 0;
  size_t size = 0;
  double wall = 0;  // the packer's process only
};

// One member made with `policy`, timed with its output gathered in memory, then decoded
// and compared. The memory is one buffer for every round, touched before the first: the
// packer hands its members to files piece by piece, so the first touch of fresh pages by a
// buffer that only the bench keeps is no cost of encoding (and varied from run to run).
Timed Ours(const Bytes& data, lumora::ClearPolicy policy, const std::string& what,
           Bytes* copy = nullptr) {
  static Bytes buffer;
  Bytes& member = buffer;
  const size_t most = data.size() + data.size() / 2 + 1024;
  if (member.capacity() < most) {
    member.clear();
    member.shrink_to_fit();
    member.resize(most);
  }
  member.clear();
  const double start = ThreadSeconds();
  lumora::Encoder encoder(policy, [&member](const uint8_t* bytes, size_t n) {
    member.insert(member.end(), bytes, bytes + n);
  });
  encoder.Feed(data.data(), data.size());
  encoder.Finish();
  const double seconds = ThreadSeconds() - start;
  CheckDecodes(member, data, what);
  if (copy != nullptr) *copy = member;
  return {seconds, member.size()};
}

// The packer's process on the file `in`, one job: its archive is the magic, the entry
// ",in\0", the member and the end byte, then the trailer, and the member must be
// `member`, the library's own for the same policy.
Timed Packer(const std::string& packer, const std::string& folder, const char* policy,
             const Bytes& member, const std::string& what) {
  const std::string out = folder + "/out.lz";
  // A new file each time, as for compress: ext4 writes a file renamed over another at once.
  std::remove(out.c_str());
  const ProcessTimes t = RunProcess(packer.c_str(),
                                    {"create", "--raw", "-j", "1", "--clear-policy", policy, "-q",
                                     "-o", out.c_str(), "-C", folder.c_str(), "in"},
                                    "", "");
  if (t.cpu < 0) throw std::runtime_error("the packer failed: " + what);
  const Bytes archive = ReadFile(out);
  const size_t head = 7 + 4;
  if (archive.size() < head + member.size() ||
      !std::equal(member.begin(), member.end(), archive.begin() + head)) {
    throw std::runtime_error("the packer's member is not the library's: " + what);
  }
  return {t.cpu, member.size(), t.wall};
}

// One run of `compress -b 12` on the file `in` (holding `data`), then `compress -d` on its
// output, which must give back `data`. A size of 0 when compress is not installed.
Timed Compress(const Bytes& data, const std::string& folder, const std::string& what) {
  const std::string in = folder + "/in", out = folder + "/out.Z", back = folder + "/back";
  std::remove(out.c_str());
  std::remove(back.c_str());
  const double seconds = RunCompress({"-b", "12", "-c"}, in, out);
  if (seconds < 0) return {};
  if (RunCompress({"-d", "-c"}, out, back) < 0 || ReadFile(back) != data) {
    throw std::runtime_error("compress's output does not decompress back: " + what);
  }
  struct stat st {};
  stat(out.c_str(), &st);
  return {seconds, static_cast<size_t>(st.st_size)};
}

std::string MachineName() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown processor";
}

std::string Today() {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
  return text;
}

int Bench(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string packer = argc > 2 ? argv[2] : LUMORA_PACK_PATH;
  const std::string baseline = argc > 3 ? argv[3] : "";
  char folder_template[] = "/tmp/lumora-encbench-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string folder = folder_template;

  std::printf(
      "Encoder against `compress -b 12`: %s, %ld cores, %s; median of %d interleaved "
      "rounds, every output decoded and compared; speed in MB of input per CPU second, "
      "size in %% of the input.\n\n",
      MachineName().c_str(), sysconf(_SC_NPROCESSORS_ONLN), Today().c_str(), rounds);
  std::printf(
      "| payload | MiB | adaptive | full | compress -b 12 | adaptive / compress "
      "(speed, size) | full / compress (speed, size) |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  std::fflush(stdout);
  struct Payload {
    Kind kind;
    size_t size;
  };
  const Payload payloads[] = {{lumora::bench::kMixed, size_t{64} << 20},
                              {lumora::bench::kImage, size_t{16} << 20},
                              {lumora::bench::kRuns, size_t{16} << 20},
                              {lumora::bench::kText, size_t{16} << 20},
                              {lumora::bench::kRandom, size_t{16} << 20}};
  std::string process_rows;
  for (const Payload& p : payloads) {
    const Bytes data = lumora::bench::MakePayload(p.size, p.kind);
    const std::string name = lumora::bench::kKindNames[p.kind];
    WriteFile(folder + "/in", data);
    enum {
      kAdaptive,
      kFull,
      kCompress,
      kPackAdaptive,
      kPackFull,
      kBaseAdaptive,
      kBaseFull,
      kCoders
    };
    std::vector<double> seconds[kCoders], speedRatio[2];
    // For each policy, the library's CPU time over the process's CPU and wall time, and
    // compress's over the process's CPU time.
    std::vector<double> processVersusCompress[2];
    std::vector<double> walls[kCoders];  // the packers' time on the wall
    size_t sizes[kCoders] = {};
    Bytes members[2];
    // The library's members, made once beforehand, are what the packer's must hold.
    Ours(data, lumora::ClearPolicy::kAdaptive, name, &members[kAdaptive]);
    Ours(data, lumora::ClearPolicy::kBaseline, name, &members[kFull]);
    for (int r = 0; r < rounds; ++r) {
      Timed run[kCoders];
      for (int i = 0; i < kCoders; ++i) {
        const int coder = r % 2 == 0 ? i : kCoders - 1 - i;
        if (coder == kAdaptive) run[coder] = Ours(data, lumora::ClearPolicy::kAdaptive, name);
        if (coder == kFull) run[coder] = Ours(data, lumora::ClearPolicy::kBaseline, name);
        if (coder == kCompress) run[coder] = Compress(data, folder, name);
        if (coder == kPackAdaptive) {
          run[coder] = Packer(packer, folder, "adaptive", members[kAdaptive], name);
        }
        if (coder == kPackFull) run[coder] = Packer(packer, folder, "full", members[kFull], name);
        if (coder == kBaseAdaptive && !baseline.empty()) {
          run[coder] = Packer(baseline, folder, "adaptive", members[kAdaptive], name);
        }
        if (coder == kBaseFull && !baseline.empty()) {
          run[coder] = Packer(baseline, folder, "full", members[kFull], name);
        }
      }
      for (int coder = 0; coder < kCoders; ++coder) {
        if (r > 0 && run[coder].size != sizes[coder]) {
          throw std::runtime_error("a coder's size differs between rounds: " + name);
        }
        sizes[coder] = run[coder].size;
        seconds[coder].push_back(run[coder].seconds);
        walls[coder].push_back(run[coder].wall);
      }
      for (int policy : {kAdaptive, kFull}) {
        const Timed& process = run[policy == kAdaptive ? kPackAdaptive : kPackFull];
        if (sizes[kCompress] > 0) {
          speedRatio[policy].push_back(run[kCompress].seconds / run[policy].seconds);
          processVersusCompress[policy].push_back(run[kCompress].seconds / process.seconds);
        }
      }
    }
    const double mb = static_cast<double>(data.size()) / 1e6;
    auto cell = [&](int coder) {
      if (sizes[coder] == 0) return std::string("not installed");
      char text[64];
      std::snprintf(text, sizeof text, "%.1f MB/s, %.2f%%", mb / Median(seconds[coder]),
                    100.0 * static_cast<double>(sizes[coder]) / static_cast<double>(data.size()));
      return std::string(text);
    };
    auto versus = [&](int coder) {
      if (sizes[kCompress] == 0) return std::string("-");
      char text[64];
      std::snprintf(text, sizeof text, "%.2fx, %.3fx", Median(speedRatio[coder]),
                    static_cast<double>(sizes[coder]) / static_cast<double>(sizes[kCompress]));
      return std::string(text);
    };
    std::printf("| %s | %zu | %s | %s | %s | %s | %s |\n", name.c_str(), data.size() >> 20,
                cell(kAdaptive).c_str(), cell(kFull).c_str(), cell(kCompress).c_str(),
                versus(kAdaptive).c_str(), versus(kFull).c_str());
    std::fflush(stdout);
    for (int policy : {kAdaptive, kFull}) {
      const int process = policy == kAdaptive ? kPackAdaptive : kPackFull;
      char compared[32] = "-";
      if (sizes[kCompress] > 0) {
        std::snprintf(compared, sizeof compared, "%.2fx", Median(processVersusCompress[policy]));
      }
      char base[64] = "-";
      if (!baseline.empty()) {
        const int other = policy == kAdaptive ? kBaseAdaptive : kBaseFull;
        std::snprintf(base, sizeof base, "%.3fx, %.3fx",
                      Least(seconds[policy]) / Least(seconds[other]),
                      Least(seconds[policy]) / Least(walls[other]));
      }
      char row[320];
      std::snprintf(row, sizeof row,
                    "| %s | %s | %.1f MB/s | %.1f MB/s | %.3fx | %.3fx | %s | %s |\n", name.c_str(),
                    policy == kAdaptive ? "adaptive" : "full", mb / Median(seconds[policy]),
                    mb / Median(seconds[process]), Least(seconds[policy]) / Least(seconds[process]),
                    Least(seconds[policy]) / Least(walls[process]), compared, base);
      process_rows += row;
    }
  }
  std::printf(
      "\nThe packer's process (`lumora-pack create --raw -j 1`) against the library, same "
      "rounds: process speed in MB of input per CPU second of the whole process; process / "
      "library is the library's least CPU time over the process's least CPU time and least "
      "time on the wall (the fastest round of each: a shared machine only ever adds time); "
      "the baseline is the packer given third, in the same rounds.\n\n"
      "| payload | policy | library | process | process / library (CPU) | process / library "
      "(wall) | process / compress (CPU) | baseline / library (CPU, wall) |\n"
      "|---|---|---:|---:|---:|---:|---:|---:|\n%s",
      process_rows.c_str());
  for (const char* f : {"/in", "/out.Z", "/back", "/out.lz"}) std::remove((folder + f).c_str());
  rmdir(folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Bench(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumora_bench_encoder: %s\n", e.what());
    return 1;
  }
}
