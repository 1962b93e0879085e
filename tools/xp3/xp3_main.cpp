// The `xp3` tool: packs, lists, extracts, verifies, checks and compares the
// archives the patch mounts. Dispatches to one subcommand; see `xp3 --help`.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/xp3/check_command.h"
#include "tools/xp3/diff_command.h"
#include "tools/xp3/pack_command.h"
#include "tools/xp3/read_commands.h"
#include "tools/xp3/tool_files.h"
#include "xp3patch_version.h"

namespace {

const char kUsage[] =
    "usage: xp3 COMMAND [ARGS]\n"
    "\n"
    "  pack DIR -o OUT.xp3 [--compress none|zlib|zstd] [--level N]\n"
    "       [--segment-size BYTES] [--allow-empty] [--force] [--quiet|--progress]\n"
    "      pack every file under DIR into a new archive (--force: replace OUT.xp3)\n"
    "  list ARCHIVE... [--json]\n"
    "      show the entries with sizes, segments and compression\n"
    "  extract ARCHIVE DIR [--force] [--quiet|--progress]\n"
    "      write every entry below DIR\n"
    "  verify ARCHIVE...\n"
    "      read every entry and check sizes and Adler-32\n"
    "  check GAME_DIR [--dev-dir DIR] ARCHIVE... [--json]\n"
    "      what the archives, in mount order, and a loose folder over them do\n"
    "      to the game; warns when they are not the set the game mounts\n"
    "  diff OLD.xp3 NEW.xp3 [--json]\n"
    "      the entries added, removed and changed between two releases\n"
    "  --version\n"
    "      the tool's version\n"
    "  --help\n"
    "      this text; `xp3 COMMAND --help` describes one command\n"
    "\n"
    "Short forms: -o for --output, -q for --quiet, -f for --force, -h for --help.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage, 130 interrupted. diff:\n"
    "0 the same, 1 different, 2 bad usage or an archive that cannot be read.\n";

}  // namespace

int main(int argc, char** argv) {
  PrepareConsole();
  std::vector<std::string> args = Utf8Arguments(argc, argv);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  int result = 2;
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    result = 0;
  } else if (command == "--version" || command == "version") {
    std::printf("xp3 %s\n", XP3PATCH_VERSION);
    result = 0;
  } else if (command == "pack") {
    result = RunPack(args);
  } else if (command == "list") {
    result = RunList(args);
  } else if (command == "extract") {
    result = RunExtract(args);
  } else if (command == "verify") {
    result = RunVerify(args);
  } else if (command == "check") {
    result = RunCheck(args);
  } else if (command == "diff") {
    result = RunDiff(args);
  } else {
    std::fprintf(stderr, "xp3: unknown command: %s\n%s", command.c_str(), kUsage);
  }
  std::fflush(stdout);
  return result;
}
