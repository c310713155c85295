// The rollback journal's reader on any bytes: it never crashes, and whatever it accepts names
// only what an update can have made, inside the installation; repair acts on nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const lumora::JournalContents read = lumora::ParseJournal(text);
    for (const std::string& folder : read.folders) {
      if (!lumora::IsJournalName(folder, true)) std::abort();
    }
    for (const lumora::JournalFile& file : read.files) {
      if (!lumora::IsJournalName(file.name, false) || file.size < 0) std::abort();
    }
    for (const lumora::JournalAppend& append : read.appends) {
      if (append.offset < 0 || (append.base != "Partbase.txt" && append.base != "PalData.txt")) {
        std::abort();
      }
    }
  } catch (const lumora::JournalDamaged&) {
  }
  return 0;
}
