#include "archive/offset_marker.h"

#include <vector>

#include "archive/format.h"
#include "platform/errors.h"

namespace lumora {

std::string OffsetMarkerTag() {
  std::string tag = "LUMORA-ARCHIVE-";
  tag += "START-OFFSET:";
  return tag;
}

int64_t FindOffsetMarker(const std::string& data, int* count) {
  const std::string tag = OffsetMarkerTag();
  int64_t first = -1;
  int n = 0;
  for (size_t at = data.find(tag); at != std::string::npos; at = data.find(tag, at + 1)) {
    if (first < 0) first = static_cast<int64_t>(at);
    ++n;
  }
  if (count) *count = n;
  return first;
}

uint64_t DecodeOffsetField(const unsigned char* field) {
  uint64_t v = 0;
  for (int i = static_cast<int>(format::kOffsetFieldLength) - 1; i >= 0; --i) v = v << 8 | field[i];
  return v;
}

void EncodeOffsetField(uint64_t offset, unsigned char* field) {
  for (size_t i = 0; i < format::kOffsetFieldLength; ++i) field[i] = (offset >> (8 * i)) & 0xFF;
}

int64_t ReadStartOffset(FileSystem& files, const std::string& path) {
  std::unique_ptr<File> file;
  try {
    file = files.Open(path, OpenMode::kRead);
  } catch (const IoError&) {
    throw RuntimeError(CannotOpenFileText(path));
  }
  // The marker lies in the image, before the archive: read forwards in pieces that
  // overlap by the marker's length until it is found.
  const size_t kPiece = 1 << 20;
  const size_t kMarker = format::kOffsetMarkerTagLength + format::kOffsetFieldLength;
  std::string window;
  std::vector<char> piece(kPiece);
  for (;;) {
    IoResult r = file->Read(piece.data(), piece.size());
    if (r.count == 0) break;
    window.append(piece.data(), r.count);
    int count = 0;
    int64_t at = FindOffsetMarker(window, &count);
    if (at >= 0 && window.size() >= static_cast<size_t>(at) + kMarker) {
      uint64_t offset = DecodeOffsetField(reinterpret_cast<const unsigned char*>(
          window.data() + at + format::kOffsetMarkerTagLength));
      return offset == 0 ? format::kDefaultArchiveStartOffset : static_cast<int64_t>(offset);
    }
    if (at < 0 && window.size() > kMarker) window.erase(0, window.size() - kMarker);
  }
  return format::kDefaultArchiveStartOffset;
}

}  // namespace lumora
