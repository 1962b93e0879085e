#include "tools/xp3/check_command.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/xp3/archive_check.h"
#include "tools/xp3/archive_open.h"
#include "tools/xp3/tool_files.h"

namespace fs = std::filesystem;

namespace {

const char kCheckUsage[] =
    "usage: xp3 check GAME_DIR ARCHIVE... [--json]\n"
    "\n"
    "Shows what the archives, given in the order the patch mounts them (a later\n"
    "archive wins a name), do to the game in GAME_DIR:\n"
    "  replaces     an entry replaces a game file (both sizes shown)\n"
    "  adds         an entry adds a file the game does not have\n"
    "  hidden       an entry is hidden by the same name in a later archive\n"
    "  unreachable  the game can never ask for the name: an empty, '.' or '..'\n"
    "               component, a drive or root prefix, or a name that differs\n"
    "               only in letter case from one that shadows it\n"
    "  (case)       a replacing name spelled unlike the game file in letter case\n"
    "               only; the game still finds it\n"
    "\n"
    "  --json   one JSON document instead of lines\n"
    "\n"
    "Exit code: 0 every name can be reached, 1 an archive could not be read or\n"
    "a name can never be reached, 2 bad usage.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "xp3 check: %s\n%s", problem.c_str(), kCheckUsage);
  return 2;
}

// Every regular file below `root`, named relative to it with '/'.
bool ListGameFiles(const fs::path& root, std::vector<GameFile>* files, std::string* error) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code status_error;
    if (!it->is_regular_file(status_error)) continue;
    GameFile file;
    if (!GenericUtf8FromPath(it->path().lexically_relative(root), &file.name)) continue;
    file.size = it->file_size(status_error);
    files->push_back(std::move(file));
  }
  if (ec) {
    *error = "cannot list " + MessagePath(root) + ": " + ec.message();
    return false;
  }
  return true;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Number(uint64_t value) { return std::to_string(value); }

void PrintText(const std::vector<CheckedArchive>& archives, const CheckReport& report) {
  for (const CheckFinding& f : report.findings) {
    const std::string& archive = archives[f.archive].name;
    switch (f.kind) {
      case CheckKind::kReplaces:
        std::printf("replaces     %s: %s (game %s bytes, archive %s bytes)\n", archive.c_str(),
                    f.name.c_str(), Number(f.game_size).c_str(), Number(f.size).c_str());
        if (f.case_differs) {
          std::printf("  (case)     the game file is spelled %s\n", f.game_name.c_str());
        }
        break;
      case CheckKind::kAdds:
        std::printf("adds         %s: %s (%s bytes)\n", archive.c_str(), f.name.c_str(),
                    Number(f.size).c_str());
        break;
      case CheckKind::kHidden:
        std::printf("hidden       %s: %s (by %s)\n", archive.c_str(), f.name.c_str(),
                    archives[f.winner_archive].name.c_str());
        break;
      case CheckKind::kUnreachable:
        std::printf("unreachable  %s: %s: %s\n", archive.c_str(), f.name.c_str(), f.reason.c_str());
        break;
    }
  }
  const CheckSummary& s = report.summary;
  std::printf(
      "%zu entries in %zu archives: %zu replace game files, %zu add files, %zu hidden, "
      "%zu unreachable, %zu differ from the game file in letter case only\n",
      s.entries, archives.size(), s.replaces, s.adds, s.hidden, s.unreachable, s.case_differs);
}

void PrintJson(const std::string& game_dir, const std::vector<CheckedArchive>& archives,
               const CheckReport& report) {
  std::printf("{\n  \"game_directory\": %s,\n  \"archives\": [", Json(game_dir).c_str());
  for (size_t i = 0; i < archives.size(); ++i) {
    std::printf("%s%s", i == 0 ? "" : ", ", Json(archives[i].name).c_str());
  }
  std::printf("],\n  \"entries\": [");
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const CheckFinding& f = report.findings[i];
    std::string item = "{\"status\": " + Json(CheckKindName(f.kind)) +
                       ", \"archive\": " + Json(archives[f.archive].name) +
                       ", \"name\": " + Json(f.name) + ", \"size\": " + Number(f.size);
    if (f.kind == CheckKind::kReplaces) {
      item += ", \"game_name\": " + Json(f.game_name) + ", \"game_size\": " + Number(f.game_size) +
              ", \"case_differs\": " + (f.case_differs ? "true" : "false");
    }
    if (f.kind == CheckKind::kHidden || !f.winner_name.empty()) {
      item += ", \"shadowed_by\": {\"archive\": " + Json(archives[f.winner_archive].name) +
              ", \"name\": " + Json(f.winner_name) + "}";
    }
    if (!f.reason.empty()) item += ", \"reason\": " + Json(f.reason);
    std::printf("%s\n    %s}", i == 0 ? "" : ",", item.c_str());
  }
  const CheckSummary& s = report.summary;
  std::printf(
      "%s],\n  \"summary\": {\"entries\": %zu, \"replaces\": %zu, \"adds\": %zu, \"hidden\": %zu, "
      "\"unreachable\": %zu, \"case_differs\": %zu}\n}\n",
      report.findings.empty() ? "" : "\n  ", s.entries, s.replaces, s.adds, s.hidden, s.unreachable,
      s.case_differs);
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> positional;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") {
      std::fputs(kCheckUsage, stdout);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option: " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) return Usage("expected a game directory and at least one archive");

  const std::string& game_dir = positional[0];
  std::error_code ec;
  if (!fs::is_directory(PathFromUtf8(game_dir), ec)) {
    std::fprintf(stderr, "xp3 check: not a directory: %s\n", game_dir.c_str());
    return 1;
  }
  std::vector<GameFile> game_files;
  std::string error;
  if (!ListGameFiles(PathFromUtf8(game_dir), &game_files, &error)) {
    std::fprintf(stderr, "xp3 check: %s\n", error.c_str());
    return 1;
  }

  std::vector<CheckedArchive> archives;
  for (size_t i = 1; i < positional.size(); ++i) {
    std::unique_ptr<Xp3Archive> archive = OpenArchive("check", positional[i]);
    if (!archive) return 1;
    CheckedArchive checked{positional[i], {}};
    const Xp3Archive::EntryList& entries = archive->entries();
    checked.entries.reserve(entries.size());
    for (size_t e = 0; e < entries.size(); ++e) {
      checked.entries.push_back(
          CheckedEntry{std::string(entries.key(e)), entries.unpacked_size(e)});
    }
    archives.push_back(std::move(checked));
  }

  const CheckReport report = CheckArchives(archives, game_files);
  if (json) {
    PrintJson(game_dir, archives, report);
  } else {
    PrintText(archives, report);
  }
  return report.summary.unreachable == 0 ? 0 : 1;
}
