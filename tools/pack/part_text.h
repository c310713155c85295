// The database's two text files as the updater reads and appends them, and as the vendor's
// editor shows them: the packer's check and diff judge a part base or a data file by what
// the merge will make of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::pack {

// The lines of a text as the updater's text files read them: each ends at CR (an LF right
// after it belongs to the line end), at the end of the text, or at 0x1A, which ends the
// text. An LF alone is an ordinary character of its line.
std::vector<std::string> UpdaterLines(const std::string& text);

// What appending lines to an installed file leaves: the file cut at the first 0x1A among
// its last 128 bytes, then, when lines follow, CR LF if what remains is not empty and does
// not end in a line end (CR, or CR LF), and every line followed by CR LF.
std::string AppendedText(std::string installed, const std::vector<std::string>& lines);

// A line as an editor shows it: it ends at CR LF, at a CR alone, at an LF alone, or at the
// end of the text.
struct EditorLine {
  enum End { kCrLf, kCr, kLf, kNone };
  std::string text;
  int64_t number = 0;  // from 1
  End end = kNone;
};

// The text's lines up to its first 0x1A; *eof_at is that byte's offset, or -1.
std::vector<EditorLine> EditorLines(const std::string& text, int64_t* eof_at);

}  // namespace lumora::pack
