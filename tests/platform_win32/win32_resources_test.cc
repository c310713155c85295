// The resources of the built LumoraUpdate.exe, read from the file as Explorer and the
// loader read them: one icon group with the 16, 32 and 48 pixel pictures, the version
// information with the project's version, and one manifest that runs it as the invoker.
#include "platform/win32/win32_windows.h"
// (windows.h first)
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ui/win32/resource_ids.h"

namespace lumora {
namespace {

// LumoraUpdate.exe, found from this program's own place in the build tree.
std::string UpdaterPath() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, n);
  path.erase(path.find_last_of("\\/") + 1);
  return path + LUMORA_UPDATER_FROM_TESTS;
}

std::string Bytes(HMODULE module, LPCSTR type, LPCSTR name) {
  HRSRC found = FindResourceA(module, name, type);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  return data ? std::string(data, SizeofResource(module, found)) : std::string();
}

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

std::string VersionString(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      length == 0) {
    return "(missing)";
  }
  return std::string(value);
}

TEST(Win32ResourcesTest, UpdaterCarriesItsIconVersionAndManifest) {
  const std::string path = UpdaterPath();
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << path;

  // One resource of each kind, under the id the system looks for (the loader takes the
  // manifest with id 1 only, and a second one would mean a toolchain's default beside ours).
  const struct {
    const char* what;
    LPCSTR type;
    LPCSTR name;
  } kResources[] = {
      {"icon group", RT_GROUP_ICON, MAKEINTRESOURCEA(LUMORA_ICON_PROGRAM)},
      {"version information", RT_VERSION, MAKEINTRESOURCEA(1)},
      {"manifest", RT_MANIFEST, MAKEINTRESOURCEA(1)},
  };
  for (const auto& r : kResources) {
    SCOPED_TRACE(r.what);
    EXPECT_FALSE(Bytes(module, r.type, r.name).empty());
    int count = 0;
    EnumResourceNamesA(module, r.type, CountName, reinterpret_cast<LONG_PTR>(&count));
    EXPECT_EQ(count, 1);
  }

  // The icon group: its pictures' sizes, each picture present.
  const std::string group = Bytes(module, RT_GROUP_ICON, MAKEINTRESOURCEA(LUMORA_ICON_PROGRAM));
  std::set<int> sizes;
  for (size_t at = 6; at + 14 <= group.size(); at += 14) {
    const int width = static_cast<unsigned char>(group[at]);
    const int id = static_cast<unsigned char>(group[at + 12]) |
                   static_cast<unsigned char>(group[at + 13]) << 8;
    sizes.insert(width);
    EXPECT_FALSE(Bytes(module, RT_ICON, MAKEINTRESOURCEA(id)).empty()) << width << " pixels";
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));

  const std::string manifest = Bytes(module, RT_MANIFEST, MAKEINTRESOURCEA(1));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
  FreeLibrary(module);

  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  EXPECT_EQ(VersionString(info, "ProductName"), "LumoraUpdate");
  EXPECT_EQ(VersionString(info, "FileVersion"), LUMORA_VERSION);
  EXPECT_EQ(VersionString(info, "ProductVersion"), LUMORA_VERSION);
  EXPECT_EQ(VersionString(info, "OriginalFilename"), "LumoraUpdate.exe");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS,
            static_cast<DWORD>(LUMORA_VERSION_MAJOR << 16 | LUMORA_VERSION_MINOR));
}

}  // namespace
}  // namespace lumora
