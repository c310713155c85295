// Builds updater files in tests with the packer's own writer and encoder, and damages
// them (FlipByte, Truncate) for the cases where the reader must fail cleanly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::testing {

struct ArchiveEntry {
  std::string name;  // '\' between components; a directory's name ends in '\'
  std::string data;  // a file's bytes; ignored for a directory
};

struct UpdaterFile {
  std::string bytes;         // the whole file: image, archive, trailer
  int64_t start_offset = 0;  // where the reader starts: image length + 1
};

// An image of image_length filler bytes, then "QRX1.00", the entries in order, ';' and,
// when with_trailer, the integrity trailer.
UpdaterFile BuildUpdater(const std::vector<ArchiveEntry>& entries, int64_t image_length = 1000,
                         bool with_trailer = true);

// Writes BuildUpdater's result to native_path and returns the start offset.
int64_t WriteUpdater(const std::string& native_path, const std::vector<ArchiveEntry>& entries,
                     int64_t image_length = 1000, bool with_trailer = true);

std::string FlipByte(std::string bytes, size_t offset);
std::string Truncate(std::string bytes, size_t length);

}  // namespace lumora::testing
