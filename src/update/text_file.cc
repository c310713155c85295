#include "update/text_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/errors.h"

namespace lumora {

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  const size_t end = std::min(text.find(kTextEof), text.size());
  for (size_t start = 0; start < end;) {
    size_t cr = text.find('\r', start);
    if (cr == std::string::npos || cr > end) cr = end;
    lines.push_back(text.substr(start, cr - start));
    start = cr + 1;
    if (start < end && text[start] == '\n') ++start;
  }
  return lines;
}
namespace {

// A write that stopped short without a reason of its own is a full disk.
int WriteErrorCode(const IoResult& r) { return r.error != 0 ? r.error : errc::kDiskFullIo; }

void ReadExactly(File& file, char* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    IoResult r = file.Read(data + done, n - done);
    if (r.error != 0) throw IoError(r.error);
    if (r.count == 0) throw IoError(errc::kReadBeyondEnd);
    done += r.count;
  }
}

}  // namespace

TextReader::TextReader(FileSystem& files, const std::string& path)
    : file_(files.Open(path, OpenMode::kRead)), buffer_(kTextBufferSize) {}

bool TextReader::Fill() {
  if (pos_ < size_) return true;
  if (at_end_ || !file_) return false;
  pos_ = size_ = 0;
  IoResult r = file_->Read(buffer_.data(), buffer_.size());
  if (r.error != 0) throw IoError(r.error);
  size_ = r.count;
  if (size_ == 0) at_end_ = true;
  return size_ > 0;
}

bool TextReader::Eof() {
  if (!Fill()) return true;
  if (skip_lf_) {
    skip_lf_ = false;
    if (buffer_[pos_] == '\n') {
      ++pos_;
      if (!Fill()) return true;
    }
  }
  return buffer_[pos_] == kTextEof;
}

bool TextReader::ReadLine(std::string* line) {
  line->clear();
  if (Eof()) return false;
  for (;;) {
    const char* begin = buffer_.data() + pos_;
    const char* end = buffer_.data() + size_;
    const char* stop = std::find_if(begin, end, [](char c) { return c == '\r' || c == kTextEof; });
    line->append(begin, stop);
    pos_ = static_cast<size_t>(stop - buffer_.data());
    if (stop != end) {
      if (*stop == '\r') {
        ++pos_;
        if (pos_ < size_) {
          if (buffer_[pos_] == '\n') ++pos_;
        } else {
          skip_lf_ = true;  // the LF, if any, opens the next buffer
        }
      }
      // A 0x1A stays where it is: it ends the file for every later read as well.
      return true;
    }
    if (!Fill()) return true;  // a last line without a line end
  }
}

void TextReader::Close() {
  file_.reset();
  pos_ = size_ = 0;
  at_end_ = true;
}

TextWriter::TextWriter(std::unique_ptr<File> file) : file_(std::move(file)) {
  buffer_.reserve(kTextBufferSize);
}

TextWriter TextWriter::Create(FileSystem& files, const std::string& path) {
  return TextWriter(files.Open(path, OpenMode::kCreate));
}

TextWriter TextWriter::Append(FileSystem& files, const std::string& path) {
  std::unique_ptr<File> file = files.Open(path, OpenMode::kReadWrite);
  int64_t size = file->Size();
  if (size < 0) throw IoError(errc::kGeneralFailure);
  if (size > 0) {
    const int64_t tail_length = std::min<int64_t>(size, kAppendEofScan);
    const int64_t tail_start = size - tail_length;
    std::string tail(static_cast<size_t>(tail_length), '\0');
    if (file->Seek(tail_start) != tail_start) throw IoError(errc::kGeneralFailure);
    ReadExactly(*file, tail.data(), tail.size());
    size_t cut = tail.find(kTextEof);
    if (cut != std::string::npos) {
      size = tail_start + static_cast<int64_t>(cut);
      if (!file->Truncate(size)) throw IoError(errc::kAccessDenied);
      tail.resize(cut);
    }
    // What now ends the file: the last bytes of the tail, or, when the cut took the whole
    // tail, the byte just before it.
    char last = 0;
    if (!tail.empty()) {
      last = tail.back();
    } else if (size > 0) {
      if (file->Seek(size - 1) != size - 1) throw IoError(errc::kGeneralFailure);
      ReadExactly(*file, &last, 1);
    }
    if (file->Seek(size) != size) throw IoError(errc::kGeneralFailure);
    TextWriter writer(std::move(file));
    // A lone LF is an ordinary character of the last line, so only CR ends it; CR LF ends
    // in LF, which then has a CR before it.
    bool ends_in_line_end = size == 0 || last == '\r';
    if (size > 0 && last == '\n') {
      char before = 0;
      if (!tail.empty() && tail.size() >= 2) {
        before = tail[tail.size() - 2];
      } else if (size >= 2) {
        if (writer.file_->Seek(size - 2) != size - 2) throw IoError(errc::kGeneralFailure);
        ReadExactly(*writer.file_, &before, 1);
        if (writer.file_->Seek(size) != size) throw IoError(errc::kGeneralFailure);
      }
      ends_in_line_end = before == '\r';
    }
    writer.pending_line_end_ = !ends_in_line_end;
    writer.start_ = size;
    return writer;
  }
  return TextWriter(std::move(file));
}

TextWriter::~TextWriter() {
  if (!file_ || buffer_.empty()) return;
  file_->Write(buffer_.data(), buffer_.size());
}

void TextWriter::Put(const char* data, size_t n) {
  if (buffer_.size() + n > kTextBufferSize) Flush();
  if (n >= kTextBufferSize) {
    IoResult r = file_->Write(data, n);
    if (r.count != n) throw IoError(WriteErrorCode(r));
    return;
  }
  buffer_.insert(buffer_.end(), data, data + n);
}

void TextWriter::Flush() {
  if (buffer_.empty()) return;
  IoResult r = file_->Write(buffer_.data(), buffer_.size());
  const size_t n = buffer_.size();
  buffer_.clear();  // reported once; the destructor does not try again
  if (r.count != n) throw IoError(WriteErrorCode(r));
}

void TextWriter::WriteLine(const std::string& line) {
  if (!file_) throw IoError(errc::kAccessDenied);
  if (pending_line_end_) {
    pending_line_end_ = false;
    Put("\r\n", 2);
  }
  // A line goes out with its line end in one write, so a run cut short never leaves a
  // line without its end.
  if (buffer_.size() + line.size() + 2 > kTextBufferSize) Flush();
  Put(line.data(), line.size());
  Put("\r\n", 2);
}

void TextWriter::Close() {
  if (!file_) return;
  Flush();
  if (!file_->Flush()) throw IoError(errc::kGeneralFailure);
  file_.reset();
}

bool RewrittenSize::Write(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n && !ended_; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == kTextEof) {
      ended_ = true;
    } else if (c == '\n' && after_cr_) {
      after_cr_ = false;
    } else if (c == '\r') {
      bytes_ += 2;
      in_line_ = false;
      after_cr_ = true;
    } else {
      ++bytes_;
      in_line_ = true;
      after_cr_ = false;
    }
  }
  return true;
}

}  // namespace lumora
