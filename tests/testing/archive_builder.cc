#include "testing/archive_builder.h"

#include <algorithm>

#include "archive/writer.h"
#include "testing/test_util.h"

namespace lumora::testing {
namespace {

class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string& s) : s_(s) {}
  bool Write(const uint8_t* data, size_t n) override {
    s_.append(reinterpret_cast<const char*>(data), n);
    return true;
  }

 private:
  std::string& s_;
};

}  // namespace

UpdaterFile BuildUpdater(const std::vector<ArchiveEntry>& entries, int64_t image_length,
                         bool with_trailer) {
  UpdaterFile f;
  f.bytes.assign(static_cast<size_t>(image_length), 'I');
  f.start_offset = image_length + 1;
  StringSink sink(f.bytes);
  ArchiveWriter writer(sink, ClearPolicy::kAdaptive);
  writer.Begin();
  for (const auto& e : entries) {
    if (!e.name.empty() && e.name.back() == '\\') {
      writer.AddDirectory(e.name);
    } else {
      writer.AddFile(e.name, e.data);
    }
  }
  writer.Finish(with_trailer);
  return f;
}

int64_t WriteUpdater(const std::string& native_path, const std::vector<ArchiveEntry>& entries,
                     int64_t image_length, bool with_trailer) {
  UpdaterFile f = BuildUpdater(entries, image_length, with_trailer);
  WriteFile(native_path, f.bytes);
  return f.start_offset;
}

std::string FlipByte(std::string bytes, size_t offset) {
  bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ 0x5A);
  return bytes;
}

std::string Truncate(std::string bytes, size_t length) {
  bytes.resize(std::min(length, bytes.size()));
  return bytes;
}

}  // namespace lumora::testing
