// What a whole-file-or-nothing extraction and a durable success cost, for an update of
// many small files: the extraction into a fresh folder (each new file written under its
// working name and then given its name), the one syncfs that puts it all on the disk, and
// as a baseline in the same run the same files written with bare open/write/close, then
// the same syncfs. Prints the times (best of 5) and the ratios.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/self_extractor.h"
#include "archive/writer.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class StringSink : public lumora::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    bytes.append(reinterpret_cast<const char*>(data), n);
    return true;
  }
  std::string bytes;
};

void Run(int files, size_t file_bytes) {
  const std::string folder =
      fs::temp_directory_path() / ("lumora-bench-" + std::to_string(getpid()));
  const std::string archive = folder + "/archive", target = folder + "/out";
  fs::create_directories(folder);
  std::vector<std::string> names;
  StringSink sink;
  {
    lumora::ArchiveWriter writer(sink, lumora::ClearPolicy::kAdaptive);
    writer.Begin();
    writer.AddDirectory("Pics\\");
    std::string data(file_bytes, 'x');
    for (int i = 0; i < files; ++i) {
      names.push_back("Pics\\f" + std::to_string(i) + ".psd");
      for (size_t j = 0; j < data.size(); j += 7) data[j] = static_cast<char>('a' + (i + j) % 26);
      writer.AddFile(names.back(), data);
    }
    writer.Finish(true);
  }
  FILE* f = std::fopen(archive.c_str(), "wb");
  std::fwrite(sink.bytes.data(), 1, sink.bytes.size(), f);
  std::fclose(f);

  lumora::Platform platform = lumora::CreateNativePlatform();
  const std::string data(file_bytes, 'y');
  double floor = 1e9, floor_sync = 1e9, extract = 1e9, extract_sync = 1e9;
  for (int round = 0; round < 5; ++round) {
    fs::remove_all(target);
    fs::create_directories(target + "/Pics");
    auto start = Clock::now();
    for (const std::string& name : names) {
      const std::string path = target + "/Pics/" + name.substr(5);
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
          close(fd) != 0) {
        throw std::runtime_error("floor: cannot write " + path);
      }
    }
    floor = std::min(floor, Seconds(start));
    start = Clock::now();
    if (!platform.files->Sync(target + "\\")) throw std::runtime_error("syncfs failed");
    floor_sync = std::min(floor_sync, Seconds(start));

    fs::remove_all(target);
    fs::create_directories(target);
    lumora::SelfExtractor extractor(*platform.files, nullptr);
    extractor.extractDir = target + "\\";
    extractor.SetArchive(archive, 1);
    start = Clock::now();
    extractor.Selfextract();
    extract = std::min(extract, Seconds(start));
    start = Clock::now();
    if (!platform.files->Sync(target + "\\")) throw std::runtime_error("syncfs failed");
    extract_sync = std::min(extract_sync, Seconds(start));
  }
  fs::remove_all(folder);
  std::printf(
      "%5d files of %zu bytes: extraction %.3f s, then syncfs %.3f s (%.0f%% of the run); "
      "bare writes %.3f s, then syncfs %.3f s; extraction / bare writes %.2fx\n",
      files, file_bytes, extract, extract_sync, 100.0 * extract_sync / (extract + extract_sync),
      floor, floor_sync, extract / floor);
}

}  // namespace

int main() {
  for (int files : {1000, 4000}) Run(files, 2048);
  return 0;
}
