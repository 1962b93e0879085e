#include "tools/xp3/read_commands.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive/read_stream.h"
#include "platform/platform.h"
#include "archive/xp3_archive.h"
#include "tools/xp3/archive_open.h"
#include "tools/xp3/progress.h"
#include "tools/xp3/tool_files.h"
#include "tools/xp3/xp3_writer.h"

namespace fs = std::filesystem;

namespace {

const char kListUsage[] =
    "usage: xp3 list ARCHIVE\n"
    "\n"
    "Lists every entry: unpacked and packed size, segment count, compression\n"
    "(stored, zlib, zstd, or a mix such as zstd+stored) and name.\n";
const char kExtractUsage[] =
    "usage: xp3 extract ARCHIVE DIR [--force] [--quiet|--progress]\n"
    "\n"
    "Writes every entry to DIR/<entry name>, creating directories as needed,\n"
    "and checks each entry's size and Adler-32 on the way. Entry names that\n"
    "would leave DIR (absolute, drive letters, '..') are refused. When a file\n"
    "to be written exists already, nothing is written unless --force is given\n"
    "(which overwrites). Progress goes to standard error on a terminal\n"
    "(--quiet: never, --progress: always).\n";
const char kVerifyUsage[] =
    "usage: xp3 verify ARCHIVE\n"
    "\n"
    "Reads every entry through the patch's own archive reader and checks its\n"
    "size and Adler-32 against the index. The index itself is checked more\n"
    "strictly than the patch reads it: a compressed index must carry a right\n"
    "checksum, and the sizes the index declares must agree with what it holds.\n"
    "Exit code 1 on any mismatch.\n";

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
    *problem = "read error after " + std::to_string(size) + " bytes (damaged segment data)";
    return false;
  }
  if (size != entry.unpacked_size) {
    *problem = "size mismatch: the index says " + std::to_string(entry.unpacked_size) +
               " bytes, the data gives " + std::to_string(size);
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

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

int Usage(const char* command, const char* usage, const std::string& problem) {
  std::fprintf(stderr, "xp3 %s: %s\n%s", command, problem.c_str(), usage);
  return 2;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::fputs(kListUsage, stdout), 0;
  if (args.size() != 1) return Usage("list", kListUsage, "expected one archive");
  std::unique_ptr<Xp3Archive> archive = OpenArchive("list", args[0]);
  if (!archive) return 1;
  std::FILE* file = OpenFile(PathFromUtf8(args[0]), "rb");
  uint64_t unpacked = 0, packed = 0;
  std::printf("%14s %14s %6s  %-11s %s\n", "unpacked", "packed", "segs", "compression", "name");
  for (const Xp3Entry& entry : archive->entries()) {
    std::printf("%14llu %14llu %6zu  %-11s %s\n",
                static_cast<unsigned long long>(entry.unpacked_size),
                static_cast<unsigned long long>(entry.packed_size), entry.segments.size(),
                CompressionOf(file, entry).c_str(), entry.key.c_str());
    unpacked += entry.unpacked_size;
    packed += entry.packed_size;
  }
  if (file != nullptr) std::fclose(file);
  std::printf("%zu entries, %s unpacked, %s packed\n", archive->entries().size(),
              HumanSize(unpacked).c_str(), HumanSize(packed).c_str());
  return 0;
}

int RunVerify(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::fputs(kVerifyUsage, stdout), 0;
  if (args.size() != 1) return Usage("verify", kVerifyUsage, "expected one archive");
  IndexInspection inspection;
  std::unique_ptr<Xp3Archive> archive = OpenArchive("verify", args[0], &inspection);
  if (!archive) return 1;
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
  size_t count = archive->entries().size();
  if (!inspection.problems.empty()) {
    std::printf("%s: the index FAILED (%zu problem%s); %zu of %zu entries FAILED\n",
                args[0].c_str(), inspection.problems.size(),
                inspection.problems.size() == 1 ? "" : "s", failed, count);
    return 1;
  }
  if (failed != 0) {
    std::printf("%s: %zu of %zu entries FAILED\n", args[0].c_str(), failed, count);
    return 1;
  }
  std::printf("%s: %zu entries OK (%s)\n", args[0].c_str(), count, HumanSize(bytes).c_str());
  return 0;
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
    std::printf("%s: %zu of %zu entries FAILED\n", positional[0].c_str(), failed, count);
    return 1;
  }
  std::printf("%s: %zu entries extracted to %s\n", positional[0].c_str(), count,
              root_shown.c_str());
  return 0;
}
