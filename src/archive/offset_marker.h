// The archive start offset that the packer writes into a stub.
#pragma once

#include <cstdint>
#include <string>

#include "platform/filesystem.h"

namespace lumora {

// The marker's tag, put together at run time so that it occurs once in a stub.
std::string OffsetMarkerTag();

// Position of the first byte of the tag in data, or -1; *count gets how many times it
// occurs.
int64_t FindOffsetMarker(const std::string& data, int* count);

// The offset field after the tag, little-endian.
uint64_t DecodeOffsetField(const unsigned char* field);
void EncodeOffsetField(uint64_t offset, unsigned char* field);

// The start offset that the marker in an updater file holds: image length + 1, or
// format::kDefaultArchiveStartOffset when the marker is missing or unpatched.
int64_t ReadStartOffset(FileSystem& files, const std::string& path);

}  // namespace lumora
