#include "app/stub_marker.h"

#include "archive/format.h"
#include "archive/offset_marker.h"

namespace lumora {
namespace {

// The only place where the marker's tag is spelled out whole, so it occurs once in the
// image. lumora-pack finds it in the stub's file and writes the offset into the eight
// bytes after it; the loaded image then holds the patched value.
volatile const unsigned char
    kArchiveOffsetMarker[format::kOffsetMarkerTagLength + format::kOffsetFieldLength + 1] =
        "LUMORA-ARCHIVE-START-OFFSET:\0\0\0\0\0\0\0";

}  // namespace

int64_t PatchedArchiveStartOffset() {
  unsigned char field[format::kOffsetFieldLength];
  for (size_t i = 0; i < format::kOffsetFieldLength; ++i) {
    field[i] = kArchiveOffsetMarker[format::kOffsetMarkerTagLength + i];
  }
  uint64_t offset = DecodeOffsetField(field);
  return offset == 0 ? format::kDefaultArchiveStartOffset : static_cast<int64_t>(offset);
}

}  // namespace lumora
