// LumoraUpdate: the self-extracting database updater. Started without options, it runs one
// update of the Lumora installation named in the per-user registry, showing its progress
// window, and ends. --repair undoes an interrupted update instead; --help tells both.
#include <cstring>
#include <memory>

#include "app/front_end.h"
#include "app/stub_marker.h"
#include "archive/self_extractor.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "update/repair.h"
#include "update/update_run.h"

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    lumora::ShowHelp(
        "LumoraUpdate: updates the Lumora database from the archive carried in this file.\n"
        "Without options it finds the installation through the registry values\n"
        "HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora\\HDPath and Version, unpacks the\n"
        "archive there and merges the new part base.\n"
        "LumoraUpdate --repair: after an update was interrupted (killed, a crash, a power\n"
        "loss), puts the installation back as it was before that update and reports what it\n"
        "did; then run the update again. It changes nothing where no update was interrupted.\n"
        "Exit status: 0 when the database was updated (--repair: the installation is whole),\n"
        "1 otherwise.\n");
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--repair") == 0) {
    lumora::Platform platform = lumora::CreateNativePlatform();
    lumora::Repair repair(*platform.registry, *platform.files);
    const lumora::RepairOutcome outcome = repair.Run();
    lumora::ShowReport(outcome.report, outcome.whole);
    return outcome.whole ? 0 : 1;
  }
  lumora::Platform platform = lumora::CreateNativePlatform();
  const std::string self = platform.files->ModuleFileName();
  std::unique_ptr<lumora::UiBackend> backend = lumora::CreateFrontEnd();
  lumora::Application app(*backend, self);
  lumora::SelfExtractor extractor(*platform.files, &app);
  extractor.SetArchive(self, lumora::PatchedArchiveStartOffset());
  lumora::UpdateRun run(*platform.registry, *platform.files, app, extractor);
  return app.Run([&run] { run.BrelinUpdate1Click(); });
}
