#include "tools/xp3/read_commands.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive/read_stream.h"
#include "platform/platform.h"
#include "archive/xp3_archive.h"
#include "tools/xp3/archive_open.h"
#include "tools/xp3/json_text.h"
#include "tools/xp3/progress.h"
#include "tools/xp3/tool_files.h"
#include "tools/xp3/xp3_writer.h"

namespace fs = std::filesystem;

namespace {

const char kListUsage[] =
    "usage: xp3 list ARCHIVE... [--json]\n"
    "\n"
    "Lists every entry: unpacked and packed size, segment count, compression\n"
    "(stored, zlib, zstd, or a mix such as zstd+stored) and name. Several\n"
    "archives are listed one after the other, each under its name.\n"
    "\n"
    "  --json   one JSON document instead: {\"archives\": [{\"archive\", \"entries\":\n"
    "           [{\"name\", \"size\", \"packed_size\", \"segments\", \"compression\",\n"
    "           \"adler32\"}], \"summary\"}]}\n"
    "\n"
    "Exit code 1 when an archive cannot be read (the others are still listed).\n";
const char kExtractUsage[] =
    "usage: xp3 extract ARCHIVE DIR [--force] [--quiet|--progress]\n"
    "\n"
    "Writes every entry to DIR/<entry name>, creating directories as needed,\n"
    "and checks each entry's size and Adler-32 on the way. Entry names that\n"
    "would leave DIR (absolute, drive letters, '..') are refused. When a file\n"
    "to be written exists already, nothing is written unless --force is given\n"
    "(which overwrites). Progress goes to standard error on a terminal\n"
    "(--quiet: never, --progress: always). -f and -q are short for --force\n"
    "and --quiet.\n";
const char kVerifyUsage[] =
    "usage: xp3 verify ARCHIVE...\n"
    "\n"
    "Reads every entry through the patch's own archive reader and checks its\n"
    "size and Adler-32 against the index. The index itself is checked more\n"
    "strictly than the patch reads it: a compressed index must carry a right\n"
    "checksum, and the sizes the index declares must agree with what it holds.\n"
    "One result line per archive; several archives end with a line for all.\n"
    "Exit code 1 on any mismatch in any archive.\n";

constexpr uint32_t kReadChunk = 1 << 20;

// Reads a whole entry through the reader, handing each block to `sink`
// (which may refuse it). Checks the size and the Adler-32 against the index;
// on a mismatch returns false with a message.
template <typename Sink>
bool ReadEntry(Xp3Archive* archive, const Xp3Entry& entry, std::vector<uint8_t>* buffer, Sink sink,
               std::string* problem) {
  std::unique_ptr<ReadStream> stream(archive->OpenEntry(entry));
  if (!stream) {
    *problem = "cannot open the entry";
    return false;
  }
  buffer->resize(kReadChunk);
  uint64_t size = 0;
  uint32_t adler = 1;
  for (;;) {
    uint32_t got = stream->Read(buffer->data(), kReadChunk);
    if (got == 0) break;
    size += got;
    adler = Adler32(buffer->data(), got, adler);
    if (!sink(buffer->data(), got, problem)) return false;
  }
  if (stream->HasError()) {
    *problem = "read error after " + Counted(size, "byte", "bytes") + " (damaged segment data)";
    return false;
  }
  if (size != entry.unpacked_size) {
    *problem = "size mismatch: the index says " + Counted(entry.unpacked_size, "byte", "bytes") +
               ", the data gives " + std::to_string(size);
    return false;
  }
  if (adler != entry.checksum) {
    char text[96];
    std::snprintf(text, sizeof(text), "checksum mismatch: the index says %08x, the data gives %08x",
                  entry.checksum, adler);
    *problem = text;
    return false;
  }
  return true;
}

// "zlib", "zstd", "stored" or a combination, from the first bytes of each
// compressed segment (the reader chooses its decoder the same way).
std::string CompressionOf(std::FILE* file, const Xp3Entry& entry) {
  bool zlib = false, zstd = false, stored = false;
  for (const Xp3Segment& segment : entry.segments) {
    if (!segment.IsCompressed()) {
      stored = stored || segment.unpacked_size != 0 || entry.segments.size() == 1;
      continue;
    }
    uint8_t magic[4] = {};
    bool read = file != nullptr &&
                _fseeki64(file, static_cast<int64_t>(segment.offset), SEEK_SET) == 0 &&
                std::fread(magic, 1, 4, file) == 4;
    if (read && magic[0] == 0x28 && magic[1] == 0xB5 && magic[2] == 0x2F && magic[3] == 0xFD) {
      zstd = true;
    } else {
      zlib = true;
    }
  }
  std::string text;
  for (auto [present, name] : {std::pair{zlib, "zlib"}, {zstd, "zstd"}, {stored, "stored"}}) {
    if (!present) continue;
    if (!text.empty()) text += "+";
    text += name;
  }
  return text.empty() ? "stored" : text;
}

// Windows opens a device, not a file, for these names with any extension.
bool IsDeviceName(const std::string& part) {
  std::string base = part.substr(0, part.find('.'));
  for (char& c : base) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
         base[3] >= '1' && base[3] <= '9';
}

// The entry name as a path below `root`, or false when the name could reach
// outside it or name a device. Both separators count, since Windows treats
// them alike.
bool SafeTarget(const fs::path& root, const std::string& key, fs::path* target) {
  if (key.empty() || key[0] == '/' || key[0] == '\\') return false;
  fs::path relative;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find_first_of("/\\", start);
    if (end == std::string::npos) end = key.size();
    std::string part = key.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find(':') != std::string::npos ||
        IsDeviceName(part)) {
      return false;
    }
    relative /= PathFromUtf8(part);
    start = end + 1;
  }
  *target = root / relative;
  return true;
}

int Usage(const char* command, const char* usage, const std::string& problem) {
  std::fprintf(stderr, "xp3 %s: %s\n%s", command, problem.c_str(), usage);
  return 2;
}

void ListText(const std::string& path, Xp3Archive& archive, bool several, bool first) {
  if (several) std::printf("%s%s:\n", first ? "" : "\n", path.c_str());
  std::FILE* file = OpenFile(PathFromUtf8(path), "rb");
  uint64_t unpacked = 0, packed = 0;
  std::printf("%14s %14s %6s  %-11s %s\n", "unpacked", "packed", "segs", "compression", "name");
  for (const Xp3Entry& entry : archive.entries()) {
    std::printf("%14llu %14llu %6zu  %-11s %s\n",
                static_cast<unsigned long long>(entry.unpacked_size),
                static_cast<unsigned long long>(entry.packed_size), entry.segments.size(),
                CompressionOf(file, entry).c_str(), entry.key.c_str());
    unpacked += entry.unpacked_size;
    packed += entry.packed_size;
  }
  if (file != nullptr) std::fclose(file);
  std::printf("%s, %s unpacked, %s packed\n",
              Counted(archive.entries().size(), "entry", "entries").c_str(),
              HumanSize(unpacked).c_str(), HumanSize(packed).c_str());
}

// One element of the "archives" array of `xp3 list --json`.
void ListJson(const std::string& path, Xp3Archive& archive) {
  std::FILE* file = OpenFile(PathFromUtf8(path), "rb");
  uint64_t unpacked = 0, packed = 0;
  std::printf("    {\n      \"archive\": %s,\n      \"entries\": [", JsonString(path).c_str());
  size_t index = 0;
  for (const Xp3Entry& entry : archive.entries()) {
    std::printf(
        "%s\n        {\"name\": %s, \"size\": %llu, \"packed_size\": %llu, \"segments\": %zu, "
        "\"compression\": %s, \"adler32\": %s}",
        index++ == 0 ? "" : ",", JsonString(entry.key).c_str(),
        static_cast<unsigned long long>(entry.unpacked_size),
        static_cast<unsigned long long>(entry.packed_size), entry.segments.size(),
        JsonString(CompressionOf(file, entry)).c_str(), JsonHex32(entry.checksum).c_str());
    unpacked += entry.unpacked_size;
    packed += entry.packed_size;
  }
  if (file != nullptr) std::fclose(file);
  std::printf(
      "%s],\n      \"summary\": {\"entries\": %zu, \"size\": %llu, \"packed_size\": %llu}\n"
      "    }",
      index == 0 ? "" : "\n      ", archive.entries().size(),
      static_cast<unsigned long long>(unpacked), static_cast<unsigned long long>(packed));
}

// Verifies one archive and prints its result line; false when anything
// failed (the archive could not be read, its index, an entry).
bool VerifyOne(const std::string& path) {
  IndexInspection inspection;
  std::unique_ptr<Xp3Archive> archive = OpenArchive("verify", path, &inspection);
  if (!archive) return false;
  for (const std::string& problem : inspection.problems) {
    std::fprintf(stderr, "xp3 verify: %s\n", problem.c_str());
  }
  std::vector<uint8_t> buffer;
  size_t failed = 0;
  uint64_t bytes = 0;
  auto ignore = [](const uint8_t*, uint32_t, std::string*) { return true; };
  for (const Xp3Entry& entry : archive->entries()) {
    std::string problem;
    if (!ReadEntry(archive.get(), entry, &buffer, ignore, &problem)) {
      std::fprintf(stderr, "xp3 verify: %s: %s\n", entry.key.c_str(), problem.c_str());
      ++failed;
    }
    bytes += entry.unpacked_size;
  }
  const std::string entries = Counted(archive->entries().size(), "entry", "entries");
  if (!inspection.problems.empty()) {
    std::printf("%s: the index FAILED (%s); %zu of %s FAILED\n", path.c_str(),
                Counted(inspection.problems.size(), "problem", "problems").c_str(), failed,
                entries.c_str());
    return false;
  }
  if (failed != 0) {
    std::printf("%s: %zu of %s FAILED\n", path.c_str(), failed, entries.c_str());
    return false;
  }
  std::printf("%s: %s OK (%s)\n", path.c_str(), entries.c_str(), HumanSize(bytes).c_str());
  return true;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> archives;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return std::fputs(kListUsage, stdout), 0;
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("list", kListUsage, "unknown option: " + arg);
    } else {
      archives.push_back(arg);
    }
  }
  if (archives.empty()) return Usage("list", kListUsage, "expected at least one archive");
  int result = 0;
  size_t listed = 0;
  if (json) std::printf("{\n  \"archives\": [");
  for (const std::string& path : archives) {
    std::unique_ptr<Xp3Archive> archive = OpenArchive("list", path);
    if (!archive) {
      result = 1;
      continue;
    }
    if (json) {
      std::printf("%s\n", listed == 0 ? "" : ",");
      ListJson(path, *archive);
    } else {
      ListText(path, *archive, archives.size() > 1, listed == 0);
    }
    ++listed;
    std::fflush(stdout);
  }
  if (json) std::printf("%s]\n}\n", listed == 0 ? "" : "\n  ");
  return result;
}

int RunVerify(const std::vector<std::string>& args) {
  std::vector<std::string> archives;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return std::fputs(kVerifyUsage, stdout), 0;
    if (arg.size() > 1 && arg[0] == '-') {
      return Usage("verify", kVerifyUsage, "unknown option: " + arg);
    }
    archives.push_back(arg);
  }
  if (archives.empty()) return Usage("verify", kVerifyUsage, "expected at least one archive");
  size_t failed = 0;
  for (const std::string& path : archives) {
    if (!VerifyOne(path)) ++failed;
    std::fflush(stdout);
  }
  if (archives.size() > 1) {
    if (failed == 0) {
      std::printf("%s OK\n", Counted(archives.size(), "archive", "archives").c_str());
    } else {
      std::printf("%zu of %s FAILED\n", failed,
                  Counted(archives.size(), "archive", "archives").c_str());
    }
  }
  return failed == 0 ? 0 : 1;
}

int RunExtract(const std::vector<std::string>& args) {
  bool force = false;
  ProgressMode progress_mode = ProgressMode::kAuto;
  std::vector<std::string> positional;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return std::fputs(kExtractUsage, stdout), 0;
    if (arg == "--force" || arg == "-f") {
      force = true;
    } else if (arg == "--quiet" || arg == "-q") {
      progress_mode = ProgressMode::kQuiet;
    } else if (arg == "--progress") {
      progress_mode = ProgressMode::kForced;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("extract", kExtractUsage, "unknown option: " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    return Usage("extract", kExtractUsage, "expected an archive and a directory");
  }
  const fs::path root = PathFromUtf8(positional[1]);
  const std::string root_shown = MessagePath(root);
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_directory(root, ec)) {
    std::fprintf(stderr, "xp3 extract: %s exists and is not a directory\n", root_shown.c_str());
    return 1;
  }
  std::unique_ptr<Xp3Archive> archive = OpenArchive("extract", positional[0]);
  if (!archive) return 1;

  // Where each entry goes (empty: refused), and which of those places are
  // taken already: nothing is written over unless --force says so.
  const Xp3Archive::EntryList& entries = archive->entries();
  std::vector<fs::path> targets(entries.size());
  std::vector<bool> safe(entries.size());
  std::vector<bool> existed(entries.size());
  size_t existing = 0;
  std::string first_existing;
  uint64_t total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    safe[i] = SafeTarget(root, std::string(entries.key(i)), &targets[i]);
    total += entries.unpacked_size(i);
    existed[i] = safe[i] && fs::exists(fs::symlink_status(targets[i], ec));
    if (existed[i] && !force) {
      if (existing++ == 0) first_existing = MessagePath(targets[i]);
    }
  }
  if (existing != 0) {
    std::fprintf(stderr,
                 "xp3 extract: %zu file%s already exist%s (%s%s); nothing was written. "
                 "--force overwrites existing files\n",
                 existing, existing == 1 ? "" : "s", existing == 1 ? "s" : "",
                 first_existing.c_str(), existing == 1 ? "" : " and more");
    return 1;
  }

  // A target that cannot be made is one error, not one per entry.
  fs::create_directories(root, ec);
  if (ec) {
    std::fprintf(stderr, "xp3 extract: cannot create %s: %s\n", root_shown.c_str(),
                 ec.message().c_str());
    return 1;
  }

  std::vector<uint8_t> buffer;
  size_t failed = 0;
  Progress progress(progress_mode, "extracting", entries.size(), total);
  uint64_t done = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    progress.Update(i, done);
    const Xp3Entry entry = entries[i];
    done += entry.unpacked_size;
    auto report = [&](const std::string& where, const std::string& problem) {
      progress.Clear();
      std::fprintf(stderr, "xp3 extract: %s: %s\n", where.c_str(), problem.c_str());
      ++failed;
    };
    if (!safe[i]) {
      report(entry.key, "refused: the name would leave the target directory");
      continue;
    }
    const fs::path& target = targets[i];
    const std::string shown = MessagePath(target);
    // A file that was not there before was written by an earlier entry of
    // this archive: the file system takes both names for one (letter case
    // it folds, a name given twice). Writing over it would lose that entry.
    if (!existed[i] && fs::exists(fs::symlink_status(target, ec))) {
      report(shown,
             "not written: an earlier entry was written to the same file (the names differ "
             "only in letter case, or repeat)");
      continue;
    }
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      report(shown, "cannot create its directory: " + ec.message());
      continue;
    }
    std::FILE* out = OpenFile(target, "wb");
    if (out == nullptr) {
      report(shown, std::string("cannot create: ") + std::strerror(errno));
      continue;
    }
    uint64_t written = 0;
    auto write = [&](const uint8_t* data, uint32_t size, std::string* problem) {
      written += size;
      progress.Update(i, done - entry.unpacked_size + written);
      if (std::fwrite(data, 1, size, out) == size) return true;
      *problem = std::string("write error: ") + std::strerror(errno);
      return false;
    };
    std::string problem;
    bool ok = ReadEntry(archive.get(), entry, &buffer, write, &problem);
    if (std::fclose(out) != 0 && ok) {
      ok = false;
      problem = std::string("write error: ") + std::strerror(errno);
    }
    if (!ok) report(shown, problem);
  }
  progress.Clear();
  const size_t count = entries.size();
  if (failed != 0) {
    std::printf("%s: %zu of %s FAILED\n", positional[0].c_str(), failed,
                Counted(count, "entry", "entries").c_str());
    return 1;
  }
  std::printf("%s: %s extracted to %s\n", positional[0].c_str(),
              Counted(count, "entry", "entries").c_str(), root_shown.c_str());
  return 0;
}
