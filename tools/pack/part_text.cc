#include "pack/part_text.h"

#include <algorithm>

#include "update/text_file.h"

namespace lumora::pack {

std::vector<std::string> UpdaterLines(const std::string& text) { return TextLines(text); }

std::string AppendedText(std::string installed, const std::vector<std::string>& lines) {
  const size_t tail = installed.size() - std::min(installed.size(), kAppendEofScan);
  const size_t cut = installed.find(kTextEof, tail);
  if (cut != std::string::npos) installed.resize(cut);
  if (lines.empty()) return installed;
  const size_t n = installed.size();
  const bool ends_in_line_end = n == 0 || installed[n - 1] == '\r' ||
                                (installed[n - 1] == '\n' && n >= 2 && installed[n - 2] == '\r');
  if (!ends_in_line_end) installed += "\r\n";
  for (const std::string& line : lines) installed += line + "\r\n";
  return installed;
}

std::vector<EditorLine> EditorLines(const std::string& text, int64_t* eof_at) {
  const size_t eof = text.find(kTextEof);
  *eof_at = eof == std::string::npos ? -1 : static_cast<int64_t>(eof);
  const size_t end = std::min(eof, text.size());
  std::vector<EditorLine> lines;
  for (size_t start = 0; start < end;) {
    EditorLine line;
    line.number = static_cast<int64_t>(lines.size()) + 1;
    size_t stop = start;
    while (stop < end && text[stop] != '\r' && text[stop] != '\n') ++stop;
    line.text = text.substr(start, stop - start);
    if (stop == end) {
      line.end = EditorLine::kNone;
      start = end;
    } else if (text[stop] == '\n') {
      line.end = EditorLine::kLf;
      start = stop + 1;
    } else if (stop + 1 < end && text[stop + 1] == '\n') {
      line.end = EditorLine::kCrLf;
      start = stop + 2;
    } else {
      line.end = EditorLine::kCr;
      start = stop + 1;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace lumora::pack
