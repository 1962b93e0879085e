#include "startup/patch_archives.h"

#include <memory>
#include <string>
#include <vector>

#include "overlay/loose_folder.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/path_key.h"
#include "platform/text_conversion.h"
#include "startup/startup_log.h"

bool ArchiveNameForModule(const std::wstring& module_path, std::wstring* archive_name) {
  const size_t dot = module_path.rfind(L'.');
  std::wstring name =
      (dot == std::wstring::npos ? module_path : module_path.substr(0, dot)) + L".xp3";
  // The name and its terminator must fit the MAX_PATH buffer the game's
  // file functions are given; a longer one would be cut into another name.
  if (name.size() + 1 > MAX_PATH) return false;
  *archive_name = std::move(name);
  return true;
}

std::string SecondLanguageName(const std::string& utf8_archive_name) {
  std::string name = utf8_archive_name;
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + "_tw";
  return name.insert(dot, "_tw");
}

namespace {

bool SecondLanguageRequested() {
  WCHAR value[4] = {};
  const DWORD length = GetEnvironmentVariableW(L"CHS_TW", value, 4);
  return length == 1 && value[0] == L'1' && value[1] == L'\0';
}

}  // namespace

void MountPatchArchives(HMODULE module, OverlayRegistry& registry) {
  WCHAR path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH + 1);
  std::wstring archive_wide;
  std::string archive;
  if (length == 0 || length > MAX_PATH ||
      !ArchiveNameForModule(std::wstring(path, length), &archive_wide)) {
    // A DLL path too long for its archive name: the same end as an archive
    // that cannot be opened, naming the archive the patch would have looked
    // for.
    std::wstring wanted;
    ArchiveNameForModule(std::wstring(path, length), &wanted);
    std::string utf8;
    ToUtf8(wanted.empty() ? std::wstring(path, length) : wanted, &utf8);
    ExitWithMountErrorLogged(utf8, "the DLL's path is too long for the name of its archive");
  }
  ToUtf8(archive_wide, &archive);  // an unconvertible name stays empty and fails to mount
  MountOrExitLogged(registry, archive);
  MountOrExitLogged(registry, "images.xp3");
  if (SecondLanguageRequested()) MountOrExitLogged(registry, SecondLanguageName(archive));

  const std::string digits = std::to_string(GetACP());
  registry.StoreMemoryFile("acp", std::vector<unsigned char>(digits.begin(), digits.end()));
  MountLooseFolder(registry);
}

namespace {

// Whether `directory` is `folder` or lies below it (full paths, ASCII letter
// case folded, as the file system compares them).
bool HoldsDirectory(const std::string& folder, const std::string& directory) {
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != '\\') prefix.push_back('\\');
  const std::string inside = directory + "\\";
  return inside.size() >= prefix.size() &&
         PathKeyEqual(std::string_view(inside).substr(0, prefix.size()), prefix);
}

}  // namespace

void MountLooseFolder(OverlayRegistry& registry) {
  const DWORD size = GetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", nullptr, 0);
  if (size <= 1) return;  // unset or empty
  WideString path(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"XP3PATCH_DEV_DIR", path.data(), size);
  if (length == 0 || length >= size) return;
  path.resize(length);
  std::string problem;
  std::unique_ptr<LooseFolder> folder = LooseFolder::Open(path, &RealFunctions(), &problem);
  if (!folder) {
    std::string shown;
    if (!ToUtf8(path, &shown)) shown = "(a name that is not valid UTF-16)";
    LogLooseFolderSkipped(shown, problem);
    return;
  }
  if (HoldsDirectory(folder->Path(), registry.BaseDirectory()) ||
      folder->HoldsDirectory(registry.BaseDirectory())) {
    // Laid over itself, the game directory would serve every game file
    // read-only: a save over an existing file would fail.
    LogLooseFolderSkipped(folder->Path(), "it is the game directory or holds it");
    return;
  }
  registry.MountLooseFolder(std::move(folder));
  LogLooseFolderMounted(registry);
}
