// Random archives from a second writer, independent of the packer's encoder, that uses
// every freedom the format leaves: block sizes of 1..255, early clear codes, a 0x00 after
// the end code (with it in the last block, or alone in a 1-byte last block after the block
// that holds the end code), 0x00 padding between entries, any magic bytes, directory
// entries and files inside them. Each archive is read by the driver (Verify, then
// Selfextract into a folder) and by a byte-wise walk over the reference decoder: both must
// give the files' bytes and report progress at the same archive positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/self_extractor.h"
#include "codec/codec_test_util.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace lumora {
namespace {

using testing::Bytes;
using Rng = std::mt19937;

size_t Pick(Rng& rng, size_t lo, size_t hi) {
  return std::uniform_int_distribution<size_t>(lo, hi)(rng);
}

// LZW by a dictionary of (prefix code, byte) pairs; the dictionary numbers its entries as
// the reader does, one code later than they are made. clear_per_mille: the chance of an
// early clear code before each code that is not a root.
Bytes EncodeCodes(const Bytes& data, unsigned clear_per_mille, Rng& rng, bool* on_boundary) {
  testing::CodeStream codes;
  codes.Add(256);
  std::unordered_map<uint32_t, uint32_t> table;
  bool root = true;
  for (size_t i = 0; i < data.size();) {
    if (!root && (codes.next_code() >= 4095 || Pick(rng, 0, 999) < clear_per_mille)) {
      codes.Add(256);
      table.clear();
      root = true;
    }
    uint32_t code = data[i++];
    for (auto it = table.end();
         i < data.size() && (it = table.find(code << 8 | data[i])) != table.end(); ++i) {
      code = it->second;
    }
    codes.Add(code);
    root = false;
    if (i < data.size()) table[code << 8 | data[i]] = codes.next_code();
  }
  codes.Add(257);
  *on_boundary = codes.bits() % 8 == 0;
  return codes.Packed();
}

enum class Tail { kNone, kInLastBlock, kOwnBlock };

// The member framed in blocks of random sizes; with a zero tail, one 0x00 after the code
// stream, in the last block or alone in a block of its own.
Bytes Member(const Bytes& data, unsigned clear_per_mille, Tail* tail, Rng& rng) {
  bool on_boundary = false;
  const Bytes stream = EncodeCodes(data, clear_per_mille, rng, &on_boundary);
  std::vector<Bytes> blocks;
  for (size_t pos = 0; pos < stream.size();) {
    const size_t n = std::min(Pick(rng, 1, Pick(rng, 0, 3) == 0 ? 8 : 255), stream.size() - pos);
    blocks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                        stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
  }
  // The packer adds the 0x00 when the end code ends on a byte boundary; others add it
  // always or never. Never to an empty member: the code after the first clear code is
  // always a root, so its end code is only seen when nothing follows it.
  *tail = Tail::kNone;
  if (!data.empty() && Pick(rng, 0, 5) == 0) {
    *tail = Tail::kOwnBlock;
  } else if (!data.empty() && (on_boundary || Pick(rng, 0, 1))) {
    *tail = Tail::kInLastBlock;
  }
  if (*tail == Tail::kInLastBlock && blocks.back().size() == 255) *tail = Tail::kOwnBlock;
  if (*tail == Tail::kInLastBlock) blocks.back().push_back(0x00);
  if (*tail == Tail::kOwnBlock) blocks.push_back({0x00});
  Bytes framed;
  for (const Bytes& b : blocks) {
    framed.push_back(static_cast<uint8_t>(b.size()));
    framed.insert(framed.end(), b.begin(), b.end());
  }
  framed.push_back(0x00);
  return framed;
}

Bytes Content(Rng& rng) {
  const size_t size_class = Pick(rng, 0, 9);
  const size_t size = size_class == 0  ? 0
                      : size_class < 5 ? Pick(rng, 1, 60)
                      : size_class < 9 ? Pick(rng, 60, 3000)
                                       : Pick(rng, 5000, 9000);  // past 4096 codes
  const size_t alphabet = Pick(rng, 0, 1) ? 256 : Pick(rng, 1, 6);
  Bytes data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>('a' + Pick(rng, 0, alphabet - 1));
  return data;
}

uint32_t Crc32(const Bytes& bytes, size_t from, size_t to) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = from; i < to; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

struct RandomArchive {
  Bytes file;                          // image, then the archive
  int64_t start = 0;                   // offset the reader starts at: image length + 1
  std::map<std::string, Bytes> files;  // by entry name
  std::vector<std::string> directories;
  bool trailer = false;
  int own_block_tails = 0;  // members whose zero tail stands alone in the last block
};

RandomArchive MakeArchive(Rng& rng) {
  RandomArchive a;
  a.file.assign(Pick(rng, 1, 40), 'I');
  a.start = static_cast<int64_t>(a.file.size()) + 1;
  const size_t magic_at = a.file.size();
  for (int i = 0; i < 7; ++i) {  // any bytes but ',' (the reader skips to the first ',')
    uint8_t b = static_cast<uint8_t>(Pick(rng, 0, 255));
    a.file.push_back(b == ',' ? '.' : b);
  }
  const unsigned clear_per_mille = std::vector<unsigned>{0, 0, 5, 50, 300}[Pick(rng, 0, 4)];
  auto pad = [&] { a.file.insert(a.file.end(), Pick(rng, 0, 1) ? Pick(rng, 1, 3) : 0, 0x00); };
  std::vector<std::string> folders{""};
  const size_t entries = Pick(rng, 1, 7);
  for (size_t k = 0; k < entries; ++k) {
    pad();
    a.file.push_back(',');
    const std::string& in = folders[Pick(rng, 0, folders.size() - 1)];
    const bool directory = Pick(rng, 0, 3) == 0;
    const std::string name =
        in + (directory ? "d" : "f") + std::to_string(k) + (directory ? "\\" : ".dat");
    a.file.insert(a.file.end(), name.begin(), name.end());
    a.file.push_back(0x00);
    if (directory) {
      a.file.push_back(0x00);
      a.directories.push_back(name);
      folders.push_back(name);
      continue;
    }
    const Bytes data = Content(rng);
    Tail tail;
    const Bytes member = Member(data, clear_per_mille, &tail, rng);
    a.file.insert(a.file.end(), member.begin(), member.end());
    a.files[name] = data;
    a.own_block_tails += tail == Tail::kOwnBlock;
  }
  pad();
  a.file.push_back(';');
  a.trailer = Pick(rng, 0, 1);
  if (a.trailer) {
    const uint32_t crc = Crc32(a.file, magic_at, a.file.size());
    for (char c : std::string("QRXCRC32")) a.file.push_back(static_cast<uint8_t>(c));
    for (int i = 0; i < 4; ++i) a.file.push_back(static_cast<uint8_t>(crc >> 8 * i));
  }
  return a;
}

// The byte-wise walk: entries as the format lays them out, each member through the
// reference decoder. Returns the files and the progress positions in the file.
std::map<std::string, Bytes> ReferenceRead(const Bytes& file, int64_t start,
                                           std::vector<int64_t>* progress) {
  std::map<std::string, Bytes> files;
  size_t pos = static_cast<size_t>(start);
  while (file.at(pos) != ',') ++pos;
  while (file.at(pos) == ',') {
    std::string name;
    for (++pos; file.at(pos) != 0; ++pos) name += static_cast<char>(file[pos]);
    const size_t member_at = ++pos;
    while (file.at(pos) != 0) pos += file[pos] + 1u;
    ++pos;
    if (pos - member_at > 1) {
      const Bytes framed(file.begin() + static_cast<std::ptrdiff_t>(member_at),
                         file.begin() + static_cast<std::ptrdiff_t>(pos));
      testing::DecodeResult r = testing::DecodeReference(framed);
      files[name] = r.output;
      for (int64_t p : r.progress) progress->push_back(static_cast<int64_t>(member_at) + p);
    }
    while (file.at(pos) == 0) ++pos;
  }
  return files;
}

std::map<std::string, Bytes> ReadTree(const std::string& root, std::vector<std::string>* dirs) {
  std::map<std::string, Bytes> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = e.path().lexically_relative(root).string();
    for (char& c : rel) c = c == '/' ? '\\' : c;
    if (e.is_directory()) {
      dirs->push_back(rel + "\\");
    } else {
      files[rel] = testing::ToBytes(testing::ReadFile(e.path().string()));
    }
  }
  return files;
}

TEST(DifferentialTest, RandomArchivesReadAlikeByTheDriverAndTheReference) {
  Platform platform = CreateNativePlatform();
  int own_block_archives = 0;
  for (uint32_t seed = 1; seed <= 160; ++seed) {
    Rng rng(seed);
    const RandomArchive a = MakeArchive(rng);
    SCOPED_TRACE("seed " + std::to_string(seed) +
                 (a.own_block_tails ? " (a zero tail alone in its last block)" : ""));
    own_block_archives += a.own_block_tails > 0;

    std::vector<int64_t> expected_progress;
    EXPECT_EQ(ReferenceRead(a.file, a.start, &expected_progress), a.files);

    testing::TempDir dir;
    testing::WriteFile(dir.Native("upd"), testing::ToString(a.file));
    std::filesystem::create_directory(dir.Native("out"));
    SelfExtractor ex(*platform.files, nullptr);
    ex.SetArchive(dir.Native("upd"), a.start);
    ex.extractDir = dir.Core() + "out\\";
    std::vector<int64_t> progress;
    ex.on_progress = [&](int64_t position, int64_t) { progress.push_back(position); };

    try {
      const ArchiveSummary s = ex.Verify();
      EXPECT_EQ(s.files, static_cast<int>(a.files.size()));
      EXPECT_EQ(s.directories, static_cast<int>(a.directories.size()));
      EXPECT_EQ(s.has_trailer, a.trailer);
      EXPECT_EQ(progress, expected_progress) << "Verify";
    } catch (const RuntimeError& e) {
      ADD_FAILURE() << "Verify: " << e.what();
    }
    progress.clear();
    try {
      ex.Selfextract();
    } catch (const RuntimeError& e) {
      ADD_FAILURE() << "Selfextract: " << e.what();
    }
    EXPECT_EQ(progress, expected_progress) << "Selfextract";
    std::vector<std::string> dirs;
    EXPECT_EQ(ReadTree(dir.Native("out"), &dirs), a.files);
    for (const std::string& d : a.directories) {
      EXPECT_NE(std::find(dirs.begin(), dirs.end(), d), dirs.end()) << d;
    }
  }
  EXPECT_GT(own_block_archives, 10);  // the case the packer never writes is well covered
}

}  // namespace
}  // namespace lumora
