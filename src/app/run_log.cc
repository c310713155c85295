#include "app/run_log.h"

#include <ctime>

namespace lumora {
namespace {

// A message's text on one line: its line breaks written as \n and \r, and a backslash as
// \\, so that the exact text can be read back.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Count(const char* what, int64_t n) {
  return std::string(what) + " " + (n < 0 ? std::string("-") : std::to_string(n));
}

}  // namespace

std::unique_ptr<RunLog> RunLog::Open(std::FILE* file, std::string (*to_utf8)(const std::string&)) {
  if (!file) return nullptr;
  return std::unique_ptr<RunLog>(new RunLog(file, to_utf8));
}

RunLog::~RunLog() { std::fclose(file_); }

void RunLog::Event(const std::string& text) {
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
  }
  const std::string utf8 = to_utf8_(text);
  for (size_t start = 0; start < utf8.size() || start == 0;) {
    size_t end = utf8.find('\n', start);
    if (end == std::string::npos) end = utf8.size();
    // Written as it is, not through fprintf: that would link the C library's whole
    // formatter, floating point included, into the Windows stub.
    const std::string line = std::string(stamp) + " " + utf8.substr(start, end - start) + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    start = end + 1;
    if (start >= utf8.size()) break;
  }
  // Every line reaches the file at once: a run that dies leaves its log up to there.
  std::fflush(file_);
}

void RunLog::OnStage(const std::string& status) {
  // Blanks pad the captions to their width on the window.
  std::string text = status;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (!text.empty()) Event("stage: " + text);
}

void RunLog::OnMessage(MessageKind kind, const std::string& caption, const std::string& text) {
  const char* what = kind == MessageKind::Error     ? "error"
                     : kind == MessageKind::Warning ? "warning"
                                                    : "information";
  Event(std::string("message ") + what + " (" + caption + "): " + OneLine(text));
}

void RunLog::OnInstallation(const std::string& hd_path, const std::string& version) {
  Event("installation: HDPath " + hd_path + ", Version " + version);
}

std::string RunLog::FiguresText(const UpdateFigures& f) { return lumora::FiguresText(f); }

std::string RunLog::MadeText(const UpdateFigures& f) {
  return Count("new files", f.files) + ", " + Count("new folders", f.folders) + ", " +
         Count("part base records appended", f.records) + ", " +
         Count("duplicates dropped", f.duplicates) + ", " +
         Count("data lines appended", f.data_lines);
}

void RunLog::OnChecked(const UpdateFigures& figures) { Event("check: " + FiguresText(figures)); }

void RunLog::OnNote(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  Event(trimmed);
}

}  // namespace lumora
