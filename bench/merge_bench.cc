// The part base merge at scale: 10,000 new records into an installed part base of 200,000
// lines. Compares the one-pass duplicate check with a search of the working copy per
// record (on a smaller case, since that one grows with the product of the sizes) and with
// grep's fixed-string matcher given all keys at once; then the peak memory of merges into
// part bases of different sizes, each in a process of its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "shell/application.h"
#include "ui/null/null_backend.h"
#include "update/part_base.h"
#include "update/text_file.h"

namespace fs = std::filesystem;
using lumora::FileSystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Record(int category, int image) {
  return std::to_string(category) + "; -129; -120;addition\\Cat" + std::to_string(category) +
         "\\img" + std::to_string(image) + ".psd;part " + std::to_string(image) + ";";
}

// An installation folder after extraction: the installed part base (as "HairBase1.txt" and
// its working copy) with `installed` lines, and a new part base with `fresh` records, one in
// ten of which names an image the installation already has.
std::string LayOut(const fs::path& dir, int installed, int fresh, const fs::path& keys_file) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    std::ofstream out(dir / "HairBase1.txt", std::ios::binary);
    for (int i = 0; i < installed; ++i) {
      if (i % 50 == 0) out << "# category " << i / 50 << "\r\n";
      out << Record(i % 100 + 1, i) << "\r\n";
    }
  }
  fs::copy_file(dir / "HairBase1.txt", dir / "HairBase4Check.txt");
  std::ofstream out(dir / "Partbase.txt", std::ios::binary);
  std::ofstream keys;
  if (!keys_file.empty()) keys.open(keys_file, std::ios::binary);
  out << "# new parts\r\n";
  for (int i = 0; i < fresh; ++i) {
    const int image = i % 10 == 0 ? (i * 7919) % installed : installed + i;
    out << Record(image % 100 + 1, image) << "\r\n";
    if (keys) {
      keys << "addition\\Cat" << image % 100 + 1 << "\\img" << image << ".psd\n";
    }
  }
  return dir.string() + "\\";
}

// The merge as a search of the whole working copy per record.
void NaiveMerge(FileSystem& files, const std::string& dir) {
  files.Rename(dir + "Partbase.txt", dir + "HairBase2.txt");
  files.Rename(dir + "HairBase1.txt", dir + "Partbase.txt");
  lumora::TextWriter out = lumora::TextWriter::Append(files, dir + "Partbase.txt");
  lumora::TextReader fresh(files, dir + "HairBase2.txt");
  bool keep = true;
  std::string line, w;
  while (fresh.ReadLine(&line)) {
    if (!lumora::IsCommentLine(line)) {
      const std::string key = lumora::DuplicateKey(line);
      keep = true;
      lumora::TextReader copy(files, dir + "HairBase4Check.txt");
      while (keep && copy.ReadLine(&w)) {
        if (!w.empty() && w[0] == '#') continue;
        if (!key.empty() && lumora::UpperCase(w).find(key) != std::string::npos) keep = false;
      }
    }
    if (keep) out.WriteLine(line);
  }
  out.Close();
}

double TimeMerge(lumora::Platform& platform, const std::string& dir) {
  lumora::NullBackend backend;
  lumora::Application app(backend, "LumoraUpdate.exe");
  lumora::PartBaseFiles base(*platform.files, app, dir);
  auto start = std::chrono::steady_clock::now();
  if (!base.MergePartBase()) std::abort();
  return Seconds(start);
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a merge of `fresh` records into `installed` lines in a child process and returns
// the child's peak resident size.
long ChildPeakKiB(const fs::path& dir, int installed, int fresh) {
  const std::string core = LayOut(dir, installed, fresh, {});
  // A fresh program image, so that nothing of this process counts in the child's peak.
  pid_t pid = fork();
  if (pid == 0) {
    execl("/proc/self/exe", "lumora_bench_merge", "--merge-only", core.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--merge-only") {
    lumora::Platform platform = lumora::CreateNativePlatform();
    TimeMerge(platform, argv[2]);
    return 0;
  }
  const fs::path root =
      fs::temp_directory_path() / ("lumora-merge-bench-" + std::to_string(getpid()));
  lumora::Platform platform = lumora::CreateNativePlatform();

  // Small case: one pass against a search of the working copy per record.
  const double fast_small = TimeMerge(platform, LayOut(root / "small", 20000, 1000, {}));
  const std::string fast_result = Slurp(root / "small" / "Partbase.txt");
  const std::string naive_dir = LayOut(root / "small", 20000, 1000, {});
  auto start = std::chrono::steady_clock::now();
  NaiveMerge(*platform.files, naive_dir);
  const double naive_small = Seconds(start);
  const bool same = Slurp(root / "small" / "Partbase.txt") == fast_result;
  std::printf("1,000 new records into 20,000 lines:\n");
  std::printf("  one-pass merge          %8.3f s\n", fast_small);
  std::printf("  search per record       %8.3f s   (%.0fx slower; results %s)\n", naive_small,
              naive_small / fast_small, same ? "identical" : "DIFFER");

  // Large case: against grep given every key at once.
  const fs::path keys = root / "keys.txt";
  const double fast_large = TimeMerge(platform, LayOut(root / "large", 200000, 10000, keys));
  const std::string command = "grep -F -i -f '" + keys.string() + "' '" +
                              (root / "large" / "HairBase4Check.txt").string() + "' > /dev/null";
  start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double grep_large = Seconds(start);
  std::printf("10,000 new records into 200,000 lines:\n");
  std::printf("  one-pass merge          %8.3f s   (%.0f MB/s of part base read)\n", fast_large,
              fs::file_size(root / "large" / "HairBase4Check.txt") / 1e6 / fast_large);
  std::printf("  grep -F -i -f keys      %8.3f s   (match only; ratio merge/grep %.2f; rc %d)\n",
              grep_large, fast_large / grep_large, rc);

  // Peak memory: the same new part base into installed part bases of growing size.
  std::printf("Peak resident size of a merge of 10,000 records (own process):\n");
  std::printf("  nothing (start-up only) %8ld KiB\n", ChildPeakKiB(root / "mem", 10, 1));
  for (int installed : {20000, 200000, 2000000}) {
    std::printf("  into %9d lines     %8ld KiB\n", installed,
                ChildPeakKiB(root / "mem", installed, 10000));
  }
  std::printf("  (this process: %ld KiB)\n", PeakKiB());
  fs::remove_all(root);
  return 0;
}
