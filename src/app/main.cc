// LumoraUpdate: the self-extracting database updater. It takes no command line: started,
// it runs one update of the Lumora installation named in the per-user registry, showing
// its progress window, and ends.
#include <cstring>
#include <memory>

#include "app/front_end.h"
#include "app/stub_marker.h"
#include "archive/self_extractor.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "update/update_run.h"

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    lumora::ShowHelp(
        "LumoraUpdate: updates the Lumora database from the archive carried in this file.\n"
        "It takes no options: it finds the installation through the registry values\n"
        "HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora\\HDPath and Version, unpacks the\n"
        "archive there and merges the new part base.\n"
        "Exit status: 0 when the database was updated, 1 otherwise.\n");
    return 0;
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
