// An updater file is the stub image followed directly by the archive:
//   stub image        (image length bytes)
//   "QRX1.00"         (7 bytes, never checked; its first byte is never even read)
//   ',' entry         (name, 0x00, then 0x00 for a directory, or blocks)
//   ... more entries, optionally preceded by 0x00 padding
//   ';'               (end of the archive; nothing after it is read)
//   "QRXCRC32" crc    (optional integrity trailer: CRC-32 of magic..';', 4 bytes LE)
//
// An entry record, after its ',':
//   name              (1 or more bytes, '\' between components, never 0x00; a
//                      directory's name ends in '\')
//   0x00              (name terminator)
//   directory:  0x00
//   file:       L1, L1 bytes, L2, L2 bytes, ..., Ln, Ln bytes, 0x00
//               (every Li in 1..255; the payloads, concatenated, are one LZW code stream
//                whose end code lies in the last block)
//
// The reader starts one byte past the image, skips bytes up to and including the first
// ',', and after each entry skips 0x00 bytes: ',' starts the next entry, any other byte
// ends the archive. The stub carries a marker into which the packer writes that start
// offset; an unpatched stub reads from kDefaultArchiveStartOffset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora::format {

constexpr int64_t kDefaultImageLength = 214528;  // bytes of the delivered executable image
constexpr int64_t kDefaultArchiveStartOffset = kDefaultImageLength + 1;
constexpr char kMagic[] = "QRX1.00";  // 7 bytes, no terminator in the file
constexpr size_t kMagicLength = 7;    // bytes
constexpr uint8_t kEntryMark = ',';   // introduces every entry
constexpr uint8_t kEndMark = ';';     // ends the archive
constexpr uint8_t kPadding = 0x00;    // allowed before ',' and ';'
constexpr uint8_t kNameEnd = 0x00;    // ends an entry's name
constexpr int kMaxBlockLength = 255;  // bytes of payload after a length byte
constexpr char kSeparator = '\\';     // between path components

// The integrity trailer that the packer writes after ';'.
constexpr char kTrailerTag[] = "QRXCRC32";  // 8 bytes, then the CRC-32, little-endian
constexpr size_t kTrailerTagLength = 8;     // bytes
constexpr size_t kTrailerLength = 12;       // bytes: tag and CRC

// The marker in the stub image that holds the archive start offset: a 28-byte tag, then
// the offset as 8 bytes little-endian (0 in an unpatched stub). The tag is never spelled
// out whole in the sources except in the stub's marker itself (see offset_marker.h), so
// that it occurs exactly once in a stub.
constexpr size_t kOffsetMarkerTagLength = 28;  // bytes
constexpr size_t kOffsetFieldLength = 8;       // bytes

// The scratch file that a member is decoded into when its own file exists already.
constexpr char kScratchName[] = "TempFile.tmp";

// The working names a new file is written under, in its own folder, until its data is on
// the disk: kWorkingPrefix, the number of the run's new file (from 0), kWorkingSuffix, as
// in "~LumoraUpdate.12.tmp". Updaters before them wrote every new file as kPartialName.
constexpr char kWorkingPrefix[] = "~LumoraUpdate.";
constexpr char kWorkingSuffix[] = ".tmp";
constexpr char kPartialName[] = "~LumoraUpdate.tmp";

// New files written under working names are given their own names this many at a time,
// after one sync that puts all of their data on the disk. Two batches wait at once (one
// synced while the next is written), as many files as one batch of 1,000 did.
constexpr int kNamingBatch = 500;

// Longest entry name read (bytes): no system creates a longer path.
constexpr size_t kMaxNameLength = 32 * 1024;

}  // namespace lumora::format
