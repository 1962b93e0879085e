#include "tools/xp3/check_command.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/xp3/archive_check.h"
#include "tools/xp3/archive_open.h"
#include "tools/xp3/dropin_choices.h"
#include "tools/xp3/json_text.h"
#include "tools/xp3/loose_folder_files.h"
#include "tools/xp3/mount_set_check.h"
#include "tools/xp3/naming_warnings.h"
#include "tools/xp3/tool_files.h"

namespace fs = std::filesystem;

namespace {

const char kCheckUsage[] =
    "usage: xp3 check GAME_DIR [--dev-dir DIR] [ARCHIVE...] [--json]\n"
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
    "  --dev-dir DIR  also the loose folder DIR that XP3PATCH_DEV_DIR lays over\n"
    "                 the archives: its files win over every archive, named by\n"
    "                 their paths below DIR; a link that leads out of DIR (or to\n"
    "                 another name in it) is unreachable, as the patch refuses it\n"
    "                 (with DIR, no archive needs to be given)\n"
    "  --json         one JSON document instead of lines\n"
    "\n"
    "The patch mounts PATCH.xp3 (named after its DLL, beside it), then\n"
    "images.xp3 from the game directory, then, when CHS_TW is 1, PATCH_tw.xp3.\n"
    "A warning on standard error (and under \"warnings\" in JSON) names each way\n"
    "the archives given differ from that set: images.xp3 neither given nor in\n"
    "GAME_DIR, or given but not in GAME_DIR (the game stops at start-up without\n"
    "it), a _tw variant on disk but not given, an archive the game never mounts,\n"
    "another order. Names that look like packing mistakes are warned about as\n"
    "well: an entry that replaces no game file while the game has a file of\n"
    "nearly its name (1-2 letters apart, another extension, one top folder more\n"
    "or less), and an archive whose every entry lies under one top folder that\n"
    "GAME_DIR does not have (the folder above the translation was packed).\n"
    "\n"
    "Drop-in install: for each program in GAME_DIR, which drop-in loaders\n"
    "(version.dll, winmm.dll) it imports and which of those the system takes\n"
    "from the game folder (a \"dropin:\" line each, \"dropin\" in JSON); a\n"
    "warning names a loader in GAME_DIR that no program there imports. With\n"
    "GAME_DIR alone, only this is shown.\n"
    "\n"
    "Exit code: 0 every name can be reached, 1 an archive could not be read or\n"
    "a name can never be reached, 2 bad usage. Warnings leave it unchanged.\n";

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

std::string FoldAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The file directly in `dir` named `name` in any ASCII letter case, as the
// game's file system finds it; empty when there is none.
fs::path FindFolded(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  const std::string wanted = FoldAscii(name);
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string utf8;
    std::error_code status_error;
    if (Utf8FromPath(it->path().filename(), &utf8) && FoldAscii(utf8) == wanted &&
        it->is_regular_file(status_error)) {
      return it->path();
    }
  }
  return fs::path();
}

// How the archives given differ from the set the patch mounts over this game
// directory (mount_set_check.h), looked up on disk.
std::vector<std::string> MountSetProblems(const fs::path& game_root,
                                          const std::vector<std::string>& archives) {
  MountSetInput input;
  for (const std::string& archive : archives) {
    std::string name;
    Utf8FromPath(PathFromUtf8(archive).filename(), &name);
    input.archives.push_back(archive);
    input.file_names.push_back(name);
  }
  if (fs::path images = FindFolded(game_root, "images.xp3"); !images.empty()) {
    input.images_in_game_dir = MessagePath(images);
  }
  // The variant sits beside the DLL, which is beside its archive, and most
  // often in the game directory as well.
  if (const std::string variant = SecondLanguageFileName(input.file_names[0]); !variant.empty()) {
    fs::path found = FindFolded(game_root, variant);
    if (found.empty()) {
      fs::path beside = PathFromUtf8(archives[0]).parent_path();
      found = FindFolded(beside.empty() ? fs::path(".") : beside, variant);
    }
    if (!found.empty()) input.second_language_on_disk = MessagePath(found);
  }
  return MountSetWarnings(input);
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Bytes(uint64_t value) { return Counted(value, "byte", "bytes"); }

void PrintText(const std::vector<CheckedArchive>& archives, const CheckReport& report) {
  for (const CheckFinding& f : report.findings) {
    const std::string& archive = archives[f.archive].name;
    switch (f.kind) {
      case CheckKind::kReplaces:
        std::printf("replaces     %s: %s (game %s, %s %s)\n", archive.c_str(), f.name.c_str(),
                    Bytes(f.game_size).c_str(),
                    archives[f.archive].loose_folder ? "loose" : "archive", Bytes(f.size).c_str());
        if (f.case_differs) {
          std::printf("  (case)     the game file is spelled %s\n", f.game_name.c_str());
        }
        break;
      case CheckKind::kAdds:
        std::printf("adds         %s: %s (%s)\n", archive.c_str(), f.name.c_str(),
                    Bytes(f.size).c_str());
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
  const bool loose = !archives.empty() && archives.back().loose_folder;
  const std::string sources = Counted(archives.size() - (loose ? 1 : 0), "archive", "archives") +
                              (loose ? " and a loose folder" : "");
  std::printf(
      "%s in %s: %s, %s, %zu hidden, %zu unreachable, %s from the game file in letter "
      "case only\n",
      Counted(s.entries, "entry", "entries").c_str(), sources.c_str(),
      Counted(s.replaces, "replaces a game file", "replace game files").c_str(),
      Counted(s.adds, "adds a file", "add files").c_str(), s.hidden, s.unreachable,
      Counted(s.case_differs, "differs", "differ").c_str());
}

void PrintJson(const std::string& game_dir, const std::vector<CheckedArchive>& archives,
               const std::vector<std::string>& warnings, const CheckReport& report,
               const std::string& dropin_json) {
  std::printf("{\n  \"game_directory\": %s,\n  \"archives\": [", JsonString(game_dir).c_str());
  const bool loose = !archives.empty() && archives.back().loose_folder;
  const size_t packed = archives.size() - (loose ? 1 : 0);
  for (size_t i = 0; i < packed; ++i) {
    std::printf("%s%s", i == 0 ? "" : ", ", JsonString(archives[i].name).c_str());
  }
  std::printf("],\n  \"dev_dir\": %s,\n  \"dropin\": %s,\n  \"warnings\": [",
              loose ? JsonString(archives.back().name).c_str() : "null", dropin_json.c_str());
  for (size_t i = 0; i < warnings.size(); ++i) {
    std::printf("%s\n    %s", i == 0 ? "" : ",", JsonString(warnings[i]).c_str());
  }
  std::printf("%s],\n  \"entries\": [", warnings.empty() ? "" : "\n  ");
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const CheckFinding& f = report.findings[i];
    std::string item = "{\"status\": " + JsonString(CheckKindName(f.kind)) +
                       ", \"archive\": " + JsonString(archives[f.archive].name) +
                       ", \"name\": " + JsonString(f.name) + ", \"size\": " + Number(f.size);
    if (f.kind == CheckKind::kReplaces) {
      item += ", \"game_name\": " + JsonString(f.game_name) +
              ", \"game_size\": " + Number(f.game_size) +
              ", \"case_differs\": " + (f.case_differs ? "true" : "false");
    }
    if (f.kind == CheckKind::kHidden || !f.winner_name.empty()) {
      item += ", \"shadowed_by\": {\"archive\": " + JsonString(archives[f.winner_archive].name) +
              ", \"name\": " + JsonString(f.winner_name) + "}";
    }
    if (!f.reason.empty()) item += ", \"reason\": " + JsonString(f.reason);
    std::printf("%s\n    %s}", i == 0 ? "" : ",", item.c_str());
  }
  const CheckSummary& s = report.summary;
  std::printf(
      "%s],\n  \"summary\": {\"entries\": %zu, \"replaces\": %zu, \"adds\": %zu, \"hidden\": %zu, "
      "\"unreachable\": %zu, \"case_differs\": %zu}\n}\n",
      report.findings.empty() ? "" : "\n  ", s.entries, s.replaces, s.adds, s.hidden, s.unreachable,
      s.case_differs);
}

std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return list;
}

void PrintDropinText(const DropinReport& report) {
  if (report.programs.empty()) std::printf("dropin: no program in the game folder\n");
  for (const DropinProgram& p : report.programs) {
    if (!p.problem.empty()) {
      std::printf("dropin: %s: cannot read its imports: %s\n", p.file.c_str(), p.problem.c_str());
    } else if (p.usable.empty()) {
      std::printf("dropin: %s imports %s: no drop-in loader fits, start it with the launcher\n",
                  p.file.c_str(),
                  p.imports.empty() ? "none of the loader names"
                                    : (NameList(p.imports) + ", known DLLs only").c_str());
    } else {
      std::printf("dropin: %s imports %s; taken from the game folder: %s (copy one of them)\n",
                  p.file.c_str(), NameList(p.imports).c_str(), NameList(p.usable).c_str());
    }
  }
}

std::string DropinJson(const DropinReport& report) {
  auto list = [](const std::vector<std::string>& names) {
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + JsonString(names[i]);
    return out + "]";
  };
  std::string out = "[";
  for (size_t i = 0; i < report.programs.size(); ++i) {
    const DropinProgram& p = report.programs[i];
    out += std::string(i ? ",\n    " : "\n    ") + "{\"program\": " + JsonString(p.file) +
           ", \"imports\": " + list(p.imports) + ", \"from_game_folder\": " + list(p.usable) +
           (p.problem.empty() ? "" : ", \"problem\": " + JsonString(p.problem)) + "}";
  }
  return out + (report.programs.empty() ? "]" : "\n  ]");
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  bool json = false;
  std::string dev_dir;
  bool has_dev_dir = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kCheckUsage, stdout);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--dev-dir") {
      if (i + 1 == args.size()) return Usage("--dev-dir needs a directory");
      if (has_dev_dir) return Usage("--dev-dir given twice");
      dev_dir = args[++i];
      has_dev_dir = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option: " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) return Usage("expected a game directory");

  const std::string& game_dir = positional[0];
  std::error_code ec;
  if (!fs::is_directory(PathFromUtf8(game_dir), ec)) {
    std::fprintf(stderr, "xp3 check: not a directory: %s\n", game_dir.c_str());
    return 1;
  }
  const DropinReport dropin = CheckDropin(game_dir);
  if (positional.size() < 2 && !has_dev_dir) {
    for (const std::string& warning : dropin.warnings) {
      std::fprintf(stderr, "xp3 check: warning: %s\n", warning.c_str());
    }
    if (json) {
      std::printf("{\n  \"game_directory\": %s,\n  \"warnings\": [", JsonString(game_dir).c_str());
      for (size_t i = 0; i < dropin.warnings.size(); ++i) {
        std::printf("%s%s", i ? ", " : "", JsonString(dropin.warnings[i]).c_str());
      }
      std::printf("],\n  \"dropin\": %s\n}\n", DropinJson(dropin).c_str());
    } else {
      PrintDropinText(dropin);
    }
    return 0;
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

  if (has_dev_dir) {
    const fs::path root = PathFromUtf8(dev_dir);
    if (!fs::is_directory(root, ec)) {
      std::fprintf(stderr, "xp3 check: the loose folder is not a directory: %s\n", dev_dir.c_str());
      return 1;
    }
    CheckedArchive folder{dev_dir, {}, true};
    if (!ListLooseFolder(root, &folder.entries, &error)) {
      std::fprintf(stderr, "xp3 check: %s\n", error.c_str());
      return 1;
    }
    archives.push_back(std::move(folder));
  }

  // The set of archives is checked when archives are given; a loose folder
  // checked alone is a question about the folder only.
  std::vector<std::string> warnings =
      positional.size() < 2
          ? std::vector<std::string>()
          : MountSetProblems(PathFromUtf8(game_dir),
                             std::vector<std::string>(positional.begin() + 1, positional.end()));
  warnings.insert(warnings.end(), dropin.warnings.begin(), dropin.warnings.end());
  const CheckReport report = CheckArchives(archives, game_files);
  const std::vector<std::string> naming = NamingWarnings(archives, report, game_files);
  warnings.insert(warnings.end(), naming.begin(), naming.end());
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "xp3 check: warning: %s\n", warning.c_str());
  }

  if (json) {
    PrintJson(game_dir, archives, warnings, report, DropinJson(dropin));
  } else {
    PrintText(archives, report);
    PrintDropinText(dropin);
  }
  return report.summary.unreachable == 0 ? 0 : 1;
}
