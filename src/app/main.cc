// LumoraUpdate: the self-extracting database updater. Started without options, it runs one
// update of the Lumora installation named in the per-user registry, showing its progress
// window, and ends. --repair undoes an interrupted update instead, --check only checks;
// --quiet runs without a window and --log FILE writes what happens; --help tells all.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/run_log.h"
#include "app/stub_marker.h"
#include "archive/self_extractor.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "ui/null/null_backend.h"
#include "update/repair.h"
#include "update/update_run.h"

namespace {

constexpr char kHelp[] =
    "LumoraUpdate: updates the Lumora database from the archive carried in this file.\n"
    "Without options it finds the installation through the registry values\n"
    "HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora\\HDPath and Version, unpacks the\n"
    "archive there and merges the new part base. A run that fails undoes itself before it\n"
    "shows its message, and a run that finds an interrupted update undoes that first.\n"
    "LumoraUpdate --repair: after an update was interrupted (killed, a crash, a power\n"
    "loss), puts the installation back as it was before that update and reports what it\n"
    "did. It changes nothing where no update was interrupted.\n"
    "LumoraUpdate --check: finds the installation and checks the whole update against it,\n"
    "changing nothing, then reports what the update would do.\n"
    "On Windows /repair and /check are --repair and --check.\n"
    "--quiet (on Windows also /quiet, /S, /verysilent): no window and no message box; the\n"
    "outcome is the exit status and the log.\n"
    "--log FILE (on Windows also /log FILE, /log=FILE): appends what happens to FILE, one\n"
    "line per event, each with its time.\n"
    "Exit status: 0 the database was updated (--check: it would be; --repair: the\n"
    "installation is whole); 1 not updated, and the installation is as it was before the\n"
    "run; 2 wrong usage (an unknown option, a log that cannot be opened); 3 not updated, and\n"
    "an interrupted update remains, which the next run or --repair undoes.\n";

struct Options {
  bool help = false;
  bool repair = false;
  bool check = false;
  bool quiet = false;
  std::string log;
  std::string error;  // a usage error
};

// The option in lower case, for the forms Windows administrators type in any case.
std::string Lower(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

Options Parse(const std::vector<std::string>& args) {
  Options o;
  const size_t argc = args.size();
  for (size_t i = 0; i < argc && o.error.empty(); ++i) {
    const std::string& arg = args[i];
    std::string lower = Lower(arg.c_str());
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    if (arg == "--help" || arg == "-h" || (windows && lower == "/?")) {
      o.help = true;
    } else if (arg == "--repair" || (windows && lower == "/repair")) {
      o.repair = true;
    } else if (arg == "--check" || (windows && lower == "/check")) {
      o.check = true;
    } else if (arg == "--quiet" ||
               (windows && (lower == "/quiet" || lower == "/s" || lower == "/verysilent"))) {
      o.quiet = true;
    } else if (arg == "--log" || (windows && lower == "/log")) {
      if (i + 1 >= argc) {
        o.error = arg + " needs a file name";
      } else {
        o.log = args[++i];
      }
    } else if (arg.compare(0, 6, "--log=") == 0 || (windows && lower.compare(0, 5, "/log=") == 0)) {
      o.log = arg.substr(arg.find('=') + 1);
      if (o.log.empty()) o.error = arg + " needs a file name";
    } else {
      o.error = "unknown option " + arg;
    }
  }
  if (o.error.empty() && o.repair && o.check) o.error = "--repair and --check exclude each other";
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(lumora::CommandArguments(argc, argv));
  if (!o.error.empty()) {
    if (!o.quiet) {
      lumora::ShowUsageError("LumoraUpdate: " + o.error + ".\nSee LumoraUpdate --help.\n");
    }
    return 2;
  }
  if (o.help) {
    lumora::ShowHelp(kHelp);
    return 0;
  }
  // The log is opened before anything else is done: one that cannot be is a usage error.
  std::unique_ptr<lumora::RunLog> log;
  if (!o.log.empty()) {
    log = lumora::RunLog::Open(lumora::OpenForAppending(o.log), &lumora::TextToUtf8);
    if (!log) {
      if (!o.quiet) {
        lumora::ShowUsageError("LumoraUpdate: cannot open the log " + o.log + " for appending.\n");
      }
      return 2;
    }
  }
  lumora::Platform platform = lumora::CreateNativePlatform();
  const std::string self = platform.files->ModuleFileName();
  if (log) {
    int64_t size = -1;
    try {
      size = platform.files->Open(self, lumora::OpenMode::kRead)->Size();
    } catch (const std::exception&) {
    }
    log->Event("LumoraUpdate " + self + ", " + std::to_string(size) + " bytes" +
               (o.repair  ? ", --repair"
                : o.check ? ", --check"
                          : "") +
               (o.quiet ? ", quiet" : ""));
  }
  const auto ended = [&log](int status) {
    if (log) log->Event("exit status " + std::to_string(status));
    return status;
  };

  if (o.repair) {
    lumora::Repair repair(*platform.registry, *platform.files);
    const lumora::RepairOutcome outcome = repair.Run();
    if (log) log->Event(outcome.report);
    if (!o.quiet) lumora::ShowReport(outcome.report, outcome.whole);
    return ended(outcome.whole ? 0 : outcome.journal_left ? 3 : 1);
  }

  std::unique_ptr<lumora::UiBackend> backend;
  if (o.quiet) {
    backend = std::make_unique<lumora::NullBackend>();
  } else {
    backend = lumora::CreateFrontEnd();
  }
  lumora::Application app(*backend, self);
  app.listener = log.get();
  lumora::SelfExtractor extractor(*platform.files, &app);
  extractor.SetArchive(self, lumora::PatchedArchiveStartOffset());
  lumora::UpdateRun run(*platform.registry, *platform.files, app, extractor);
  run.observer = log.get();
  run.check_only = o.check;
  const int status = app.Run([&run] { run.BrelinUpdate1Click(); });
  if (o.check && status == 0) {
    const std::string report =
        "The update would run: " + lumora::RunLog::FiguresText(run.figures()) +
        ". Nothing was changed.\n";
    if (log) log->Event(report);
    if (!o.quiet) lumora::ShowReport(report, true, "LumoraUpdate --check");
  }
  if (log && status == 0 && !o.check)
    log->Event("made: " + lumora::RunLog::MadeText(run.figures()));
  return ended(status);
}
