// The packer on Linux: names in the locale's encoding, converted through the CodePage
// tables that the updater's POSIX platform uses too.
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "pack/host.h"
#include "platform/posix/codepage.h"

namespace fs = std::filesystem;

namespace lumora::pack {

namespace {

class PosixNames : public NameCodec {
 public:
  explicit PosixNames(const CodePage& page) : page_(page) {}
  const std::string& name() const override { return page_.name(); }
  bool FromText(std::string_view text, std::string* name) const override {
    return page_.FromNative(text, name);
  }
  bool ToText(std::string_view name, std::string* text) const override {
    return page_.ToNative(name, text);
  }
  bool FromPath(const fs::path& component, std::string* text, std::string* name) const override {
    *text = component.string();
    return page_.FromNative(*text, name);
  }
  std::string Folded(std::string_view name) const override { return page_.Folded(name); }
  std::string ExtractProblem() const override { return ""; }

 private:
  const CodePage& page_;
};

}  // namespace

std::unique_ptr<NameCodec> OpenNames(const std::string& codepage, std::string* error) {
  if (codepage.empty()) return std::make_unique<PosixNames>(CodePage::System());
  const CodePage* page = CodePage::Named(codepage);
  if (!page) {
    *error = "--codepage " + codepage +
             ": not an 8-bit code page that iconv knows (e.g. CP1252, CP1250)";
    return nullptr;
  }
  // The platform layer, which list and extract go through, names files the same way.
  setenv("LUMORA_CODEPAGE", codepage.c_str(), 1);
  return std::make_unique<PosixNames>(*page);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

fs::path PathOf(const std::string& text) { return fs::path(text); }

std::string TextOf(const fs::path& path) { return path.string(); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void MoveOnto(const fs::path& from, const fs::path& to) { fs::rename(from, to); }

void MakeExecutable(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
}

}  // namespace lumora::pack
