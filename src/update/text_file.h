// Text files as the part base operations read and write them: one byte is one character,
// a line ends at CR (an LF directly after that CR belongs to the line end, any other LF is
// an ordinary character), 0x1A ends the file for reading, and every line written is
// followed by CR LF. Reads and writes go through a large buffer; nothing is loaded whole.
//
// Every failure (open, create, read, write, close) throws IoError with the file's own
// code: "File not found", "File access denied", "I/O error %d", ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/byte_io.h"
#include "platform/filesystem.h"

namespace lumora {

constexpr size_t kTextBufferSize = 64 * 1024;  // bytes moved per read or write call
constexpr char kTextEof = 0x1A;                // ends a text file for reading
constexpr size_t kAppendEofScan = 128;         // bytes at a file's end searched for 0x1A

// The lines of a whole text held in memory, as TextReader reads them from a file.
std::vector<std::string> TextLines(const std::string& text);

class TextReader {
 public:
  // Opens path for reading. Throws IoError when it cannot.
  TextReader(FileSystem& files, const std::string& path);
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // True when no line is left: the physical end, or a 0x1A byte, comes next.
  bool Eof();
  // Reads the next line without its line end. Returns false (and empties line) at the end.
  bool ReadLine(std::string* line);
  // Releases the file; reading after it finds the end.
  void Close();

 private:
  // Makes at least one byte available; false at the physical end.
  bool Fill();

  std::unique_ptr<File> file_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool skip_lf_ = false;  // the last line ended at a CR that closed the buffer
  bool at_end_ = false;
};

// Counts the bytes that copying a text line by line writes: every line before the 0x1A
// that ends the text, each followed by CR LF. Fed with a file's bytes as they are decoded.
class RewrittenSize : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override;
  int64_t bytes() const { return bytes_ + (in_line_ ? 2 : 0); }

 private:
  int64_t bytes_ = 0;
  bool in_line_ = false;   // a line has begun and not ended yet
  bool after_cr_ = false;  // an LF next belongs to the line end
  bool ended_ = false;     // 0x1A seen
};

class TextWriter {
 public:
  // Creates path, or empties an existing file, for writing.
  static TextWriter Create(FileSystem& files, const std::string& path);
  // Opens an existing file for appending. A 0x1A byte among its last 128 bytes cuts the
  // file at the first such byte. When what remains is not empty and does not end in a
  // line end (CR, or CR LF), CR LF is written before the first appended line, so that the
  // file's last line is never joined to it; with nothing appended the file keeps its end.
  static TextWriter Append(FileSystem& files, const std::string& path);

  TextWriter(TextWriter&&) = default;
  TextWriter& operator=(TextWriter&&) = delete;
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;
  // Writes out what is buffered, without reporting a failure: an error on the way out has
  // already been reported, and Close is where a failure is seen.
  ~TextWriter();

  // Where the appended bytes start: the file's size once opened (after a 0x1A cut).
  int64_t start() const { return start_; }
  // Writes line followed by CR LF.
  void WriteLine(const std::string& line);
  // Writes out the buffer, hands it to the disk where the system asks for that per file,
  // and releases the file. Throws IoError on a failed write.
  void Close();

 private:
  explicit TextWriter(std::unique_ptr<File> file);
  void Put(const char* data, size_t n);
  void Flush();

  std::unique_ptr<File> file_;
  std::vector<char> buffer_;
  bool pending_line_end_ = false;  // the appended-to file's last line still needs its end
  int64_t start_ = 0;
};

}  // namespace lumora
