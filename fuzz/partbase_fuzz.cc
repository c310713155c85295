// Fuzzes the part base reader and the record tests on any installed Partbase.txt: lines read
// as the update reads them, each record's basic index tested and its duplicate key found in
// the file's other lines, never a crash. A key the file holds in a record line is found.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/key_set.h"
#include "update/part_base.h"
#include "update/text_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = [] {
    char tmpl[] = "/tmp/lumora-fuzz-partbase-XXXXXX";
    return std::string(mkdtemp(tmpl)) + "/Partbase.txt";
  }();
  static lumora::Platform platform = lumora::CreateNativePlatform();
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  std::vector<std::string> lines;
  {
    lumora::TextReader reader(*platform.files, file);
    std::string line;
    while (!reader.Eof()) {
      reader.ReadLine(&line);
      lines.push_back(line);
    }
  }
  lumora::KeySet keys;
  std::vector<std::string> added;
  for (const std::string& line : lines) {
    if (lumora::IsCommentLine(line)) continue;
    lumora::IsValidBasicIndex(lumora::BasicIndexText(line));
    const std::string key = lumora::DuplicateKey(line);
    keys.Add(key);
    if (!key.empty()) added.push_back(key);
  }
  if (keys.size() == 0) return 0;
  keys.Build();
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] == '#') continue;
    keys.Scan(line);
  }
  // Every key came from a line that was scanned: each must be found.
  for (const std::string& key : added) {
    if (!keys.Found(key)) std::abort();
  }
  return 0;
}
