// The unattended log (--log FILE): one line per event, appended, UTF-8, each with its local
// time. It listens to what the window model and the update already report (stages,
// messages with their kind, the installation found, the check's figures, undos) and is
// written in this one place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "shell/application.h"
#include "update/update_run.h"

namespace lumora {

class RunLog : public ApplicationListener, public UpdateObserver {
 public:
  // The log in file, opened for appending, which it then owns; null when file is null.
  // to_utf8 turns text in the code page (paths, messages) into UTF-8.
  static std::unique_ptr<RunLog> Open(std::FILE* file, std::string (*to_utf8)(const std::string&));
  ~RunLog() override;
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // One event: text in the code page; each line of it becomes a line of the log.
  void Event(const std::string& text);

  void OnStage(const std::string& status) override;
  void OnMessage(MessageKind kind, const std::string& caption, const std::string& text) override;
  void OnInstallation(const std::string& hd_path, const std::string& version) override;
  void OnChecked(const UpdateFigures& figures) override;
  void OnNote(const std::string& text) override;

  // The figures as one line of text, as the log and --check's report write them.
  static std::string FiguresText(const UpdateFigures& figures);
  // What a run that succeeded made, as one line of text.
  static std::string MadeText(const UpdateFigures& figures);

 private:
  RunLog(std::FILE* file, std::string (*to_utf8)(const std::string&))
      : file_(file), to_utf8_(to_utf8) {}

  std::FILE* file_;
  std::string (*to_utf8_)(const std::string&);
};

}  // namespace lumora
