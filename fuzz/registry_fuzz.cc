// Fuzzes the Linux registry file's reader: any bytes in HKEY_CURRENT_USER.reg give a value,
// none, or the wrong-type report, never a crash.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/errors.h"
#include "platform/posix/posix_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = [] {
    char tmpl[] = "/tmp/lumora-fuzz-registry-XXXXXX";
    return std::string(mkdtemp(tmpl)) + "/HKEY_CURRENT_USER.reg";
  }();
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
  lumora::PosixRegistry registry(file);
  for (const char* name : {"Version", "HDPath"}) {
    try {
      registry.ReadString("SOFTWARE\\Quandrix\\Lumora", name);
    } catch (const lumora::RuntimeError&) {
      // A value of another type than a string: the run's own report, as on Windows.
    }
  }
  return 0;
}
