#include "tools/xp3/diff_command.h"

#include <cstdio>
#include <memory>

#include "tools/xp3/archive_diff.h"
#include "tools/xp3/archive_open.h"
#include "tools/xp3/json_text.h"
#include "tools/xp3/tool_files.h"

namespace {

const char kDiffUsage[] =
    "usage: xp3 diff OLD.xp3 NEW.xp3 [--json]\n"
    "\n"
    "Lists what changed from OLD to NEW, entry by entry, as the game sees it:\n"
    "  added    an entry NEW has and OLD has not\n"
    "  removed  an entry OLD has and NEW has not\n"
    "  changed  an entry both have whose size or Adler-32 differs (both shown),\n"
    "           or whose name is spelled otherwise in letter case or separators\n"
    "Names are matched as the game looks them up: '/' and '\\' alike, ASCII\n"
    "letter case folded. Sizes and checksums are those each index records;\n"
    "`xp3 verify` checks the data against them. A summary line ends the output.\n"
    "\n"
    "  --json   one JSON document instead of lines\n"
    "\n"
    "Exit code: 0 the archives hold the same entries, 1 they differ, 2 bad usage\n"
    "or an archive that cannot be read.\n";

constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

int Usage(const std::string& problem) {
  std::fprintf(stderr, "xp3 diff: %s\n%s", problem.c_str(), kDiffUsage);
  return kTrouble;
}

bool ReadEntries(const std::string& path, std::vector<DiffEntry>* entries) {
  std::unique_ptr<Xp3Archive> archive = OpenArchive("diff", path);
  if (!archive) return false;
  for (const Xp3Entry& entry : archive->entries()) {
    entries->push_back(DiffEntry{entry.key, entry.unpacked_size, entry.checksum});
  }
  return true;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// "120 -> 130 bytes, Adler-32 0a0b0c0d -> 01020304", or what else differs.
std::string ChangeText(const DiffItem& item) {
  const DiffEntry& before = item.old_entry;
  const DiffEntry& after = item.new_entry;
  std::string text;
  if (item.SpellingChanged()) text = "spelled " + before.name + " before, ";
  if (item.SizeChanged()) {
    text += std::to_string(before.size) + " -> " + std::to_string(after.size) + " bytes";
  } else if (item.ChecksumChanged()) {
    text += "same size (" + Counted(after.size, "byte", "bytes") + ")";
  } else {
    return text + "same size and Adler-32";
  }
  if (item.ChecksumChanged()) {
    text += ", Adler-32 " + Hex(before.checksum) + " -> " + Hex(after.checksum);
  }
  return text;
}

void PrintText(const std::string& old_path, const std::string& new_path, const DiffReport& report) {
  for (const DiffItem& item : report.items) {
    switch (item.kind) {
      case DiffKind::kAdded:
        std::printf("added    %s (%s, Adler-32 %s)\n", item.name().c_str(),
                    Counted(item.new_entry.size, "byte", "bytes").c_str(),
                    Hex(item.new_entry.checksum).c_str());
        break;
      case DiffKind::kRemoved:
        std::printf("removed  %s (%s)\n", item.name().c_str(),
                    Counted(item.old_entry.size, "byte", "bytes").c_str());
        break;
      case DiffKind::kChanged:
        std::printf("changed  %s: %s\n", item.name().c_str(), ChangeText(item).c_str());
        break;
    }
  }
  std::printf("%s -> %s: %zu added, %zu removed, %zu changed, %zu unchanged\n", old_path.c_str(),
              new_path.c_str(), report.added, report.removed, report.changed, report.unchanged);
}

void PrintJson(const std::string& old_path, const std::string& new_path, const DiffReport& report) {
  std::printf("{\n  \"old\": %s,\n  \"new\": %s,\n  \"entries\": [", JsonString(old_path).c_str(),
              JsonString(new_path).c_str());
  for (size_t i = 0; i < report.items.size(); ++i) {
    const DiffItem& item = report.items[i];
    // Added and changed entries carry their new values under the plain
    // keys; a removed one its old values.
    const DiffEntry& shown = item.kind == DiffKind::kRemoved ? item.old_entry : item.new_entry;
    std::string text = "{\"status\": " + JsonString(DiffKindName(item.kind)) +
                       ", \"name\": " + JsonString(shown.name) +
                       ", \"size\": " + std::to_string(shown.size) +
                       ", \"adler32\": " + JsonHex32(shown.checksum);
    if (item.kind == DiffKind::kChanged) {
      text += ", \"old_name\": " + JsonString(item.old_entry.name) +
              ", \"old_size\": " + std::to_string(item.old_entry.size) +
              ", \"old_adler32\": " + JsonHex32(item.old_entry.checksum);
    }
    std::printf("%s\n    %s}", i == 0 ? "" : ",", text.c_str());
  }
  std::printf(
      "%s],\n  \"summary\": {\"added\": %zu, \"removed\": %zu, \"changed\": %zu, "
      "\"unchanged\": %zu}\n}\n",
      report.items.empty() ? "" : "\n  ", report.added, report.removed, report.changed,
      report.unchanged);
}

}  // namespace

int RunDiff(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> positional;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") {
      std::fputs(kDiffUsage, stdout);
      return kSame;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option: " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return Usage("expected two archives, the old and the new");

  std::vector<DiffEntry> old_entries;
  std::vector<DiffEntry> new_entries;
  if (!ReadEntries(positional[0], &old_entries) || !ReadEntries(positional[1], &new_entries)) {
    return kTrouble;
  }
  const DiffReport report = DiffArchives(old_entries, new_entries);
  if (json) {
    PrintJson(positional[0], positional[1], report);
  } else {
    PrintText(positional[0], positional[1], report);
  }
  return report.Same() ? kSame : kDifferent;
}
