// Fuzzes the archive reader: the input is an archive read from offset 1 of a file (the
// layout a raw archive has). Checking and unpacking it must either succeed or fail with a
// run-time error, and nothing may be written outside the extraction folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/self_extractor.h"
#include "platform/errors.h"
#include "platform/platform.h"

namespace {

struct Scratch {
  Scratch() {
    char tmpl[] = "/tmp/lumora-fuzz-XXXXXX";
    dir = mkdtemp(tmpl);
    archive = dir + "/archive";
    out = dir + "/out";
  }
  std::string dir, archive, out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  static lumora::Platform platform = lumora::CreateNativePlatform();
  {
    FILE* f = std::fopen(scratch.archive.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::filesystem::remove_all(scratch.out);
  std::filesystem::create_directory(scratch.out);

  lumora::SelfExtractor extractor(*platform.files, nullptr);
  extractor.SetArchive(scratch.archive, 1);
  extractor.extractDir = scratch.out + "\\";
  try {
    extractor.Verify();
  } catch (const lumora::RuntimeError&) {
  }
  try {
    extractor.Selfextract();
  } catch (const lumora::RuntimeError&) {
  }
  // Only the archive and the extraction folder may exist in the scratch folder.
  for (const auto& e : std::filesystem::directory_iterator(scratch.dir)) {
    std::string name = e.path().filename().string();
    if (name != "archive" && name != "out") std::abort();
  }
  return 0;
}
