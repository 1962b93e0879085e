#include "tools/xp3/dropin_choices.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/xp3/tool_files.h"
#include "xp3patch_dropin_names.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

const char* const kLoaderNames[] = {XP3PATCH_DROPIN_FILE_NAMES};

std::string Utf8Name(const fs::path& path) {
  const auto u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool Read32(const std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t* v) {
  if (at > b.size() || b.size() - at < 4) return false;
  std::memcpy(v, &b[at], 4);
  return true;
}

bool Read16(const std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t* v) {
  if (at > b.size() || b.size() - at < 2) return false;
  std::memcpy(v, &b[at], 2);
  return true;
}

struct Section {
  std::uint32_t address, size, raw, raw_size;
};

// The file offset of an RVA, or false when no section holds it.
bool FileOffset(const std::vector<Section>& sections, std::uint32_t rva, std::size_t* at) {
  for (const Section& s : sections) {
    if (rva >= s.address && rva - s.address < std::max(s.size, s.raw_size)) {
      if (rva - s.address >= s.raw_size) return false;  // in the zero-filled tail
      *at = static_cast<std::size_t>(s.raw) + (rva - s.address);
      return true;
    }
  }
  return false;
}

}  // namespace

bool ImportedDllNames(const std::vector<std::uint8_t>& image, std::vector<std::string>* names,
                      std::string* error) {
  names->clear();
  std::uint32_t pe = 0, signature = 0;
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z' || !Read32(image, 0x3C, &pe) ||
      !Read32(image, pe, &signature) || signature != 0x00004550) {
    *error = "not a Windows program";
    return false;
  }
  std::uint16_t section_count = 0, optional_size = 0, magic = 0;
  if (!Read16(image, pe + 6, &section_count) || !Read16(image, pe + 20, &optional_size) ||
      !Read16(image, pe + 24, &magic) || (magic != 0x10B && magic != 0x20B)) {
    *error = "damaged PE header";
    return false;
  }
  // The import directory is data directory 1: at 104 (PE32) or 120 (PE32+).
  const std::size_t directories = pe + 24 + (magic == 0x10B ? 96 : 112);
  std::uint32_t import_rva = 0, import_size = 0;
  if (directories + 16 > pe + 24 + optional_size || !Read32(image, directories + 8, &import_rva) ||
      !Read32(image, directories + 12, &import_size)) {
    return true;  // no import directory: it imports nothing
  }
  std::vector<Section> sections;
  const std::size_t table = pe + 24 + optional_size;
  for (std::size_t k = 0; k < section_count; ++k) {
    Section s{};
    const std::size_t at = table + 40 * k;
    if (!Read32(image, at + 8, &s.size) || !Read32(image, at + 12, &s.address) ||
        !Read32(image, at + 16, &s.raw_size) || !Read32(image, at + 20, &s.raw)) {
      *error = "damaged section table";
      return false;
    }
    sections.push_back(s);
  }
  if (import_rva == 0) return true;
  std::size_t at = 0;
  if (!FileOffset(sections, import_rva, &at)) {
    *error = "the import table lies outside every section";
    return false;
  }
  // Descriptors of 20 bytes, ended by one of zeros; the name RVA at offset 12.
  for (std::size_t k = 0;; ++k, at += 20) {
    std::uint32_t lookup = 0, name_rva = 0, thunks = 0;
    if (k > 4096 || !Read32(image, at, &lookup) || !Read32(image, at + 12, &name_rva) ||
        !Read32(image, at + 16, &thunks)) {
      *error = "damaged import table";
      return false;
    }
    if (lookup == 0 && name_rva == 0 && thunks == 0) break;
    std::size_t name_at = 0;
    if (!FileOffset(sections, name_rva, &name_at)) {
      *error = "damaged import table";
      return false;
    }
    const auto end =
        std::find(image.begin() + static_cast<std::ptrdiff_t>(name_at), image.end(), 0);
    if (end == image.end()) {
      *error = "damaged import table";
      return false;
    }
    names->emplace_back(image.begin() + static_cast<std::ptrdiff_t>(name_at), end);
  }
  return true;
}

std::vector<std::string> KnownDllNames() {
  std::vector<std::string> known;
#ifdef _WIN32
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0,
                    KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return known;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_size = 256;
    wchar_t data[512] = {};
    DWORD data_size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG r = RegEnumValueW(key, i, name, &name_size, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &data_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    std::string narrow;
    for (const wchar_t* c = data; *c != 0; ++c) narrow += static_cast<char>(*c < 128 ? *c : '?');
    known.push_back(Lower(narrow));
  }
  RegCloseKey(key);
#endif
  return known;
}

DropinReport CheckDropin(const std::string& game_dir) {
  DropinReport report;
  const std::vector<std::string> known = KnownDllNames();
  std::vector<std::string> imported_anywhere;
  std::vector<fs::path> programs;
  std::error_code ec;
  for (fs::directory_iterator it(PathFromUtf8(game_dir), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = Lower(Utf8Name(it->path().filename()));
    if (name.size() < 4 || name.substr(name.size() - 4) != ".exe") continue;
    if (name == "launcher.exe" || name == "crash_handler.exe" || name == "xp3.exe") continue;
    programs.push_back(it->path());
  }
  std::sort(programs.begin(), programs.end());
  for (const fs::path& path : programs) {
    DropinProgram program;
    program.file = Utf8Name(path.filename());
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    std::vector<std::string> imports;
    if (!ImportedDllNames(bytes, &imports, &program.problem)) {
      report.programs.push_back(program);
      continue;
    }
    for (const char* loader : kLoaderNames) {
      const bool imported = std::any_of(imports.begin(), imports.end(),
                                        [&](const std::string& i) { return Lower(i) == loader; });
      if (!imported) continue;
      program.imports.push_back(loader);
      imported_anywhere.push_back(loader);
      if (std::find(known.begin(), known.end(), loader) == known.end()) {
        program.usable.push_back(loader);
      }
    }
    report.programs.push_back(program);
  }
  for (const char* loader : kLoaderNames) {
    if (!fs::exists(PathFromUtf8(game_dir) / loader, ec)) continue;
    if (std::find(imported_anywhere.begin(), imported_anywhere.end(), loader) ==
        imported_anywhere.end()) {
      report.warnings.push_back(std::string(loader) +
                                " lies in the game folder, but no program there imports it: it "
                                "is never loaded at the game's start (nothing is translated "
                                "through it)");
    }
  }
  return report;
}
