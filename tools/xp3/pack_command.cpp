#include "tools/xp3/pack_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include <zstd.h>

#include "tools/xp3/interruption.h"
#include "tools/xp3/progress.h"
#include "tools/xp3/tool_files.h"
#include "tools/xp3/xp3_writer.h"

namespace fs = std::filesystem;

namespace {

const char kPackUsage[] =
    "usage: xp3 pack DIR -o OUT.xp3 [--compress none|zlib|zstd] [--level N]\n"
    "                [--segment-size BYTES] [--allow-empty] [--force]\n"
    "                [--quiet|--progress]\n"
    "\n"
    "Packs every file under DIR into a new archive. Each file becomes an entry\n"
    "named by its path relative to DIR with '/' separators.\n"
    "\n"
    "  -o, --output FILE     archive to write; an existing file is refused (exit\n"
    "                        code 2) unless --force is given\n"
    "  -f, --force           replace an existing OUT.xp3 (only once packing succeeds)\n"
    "  --compress METHOD     none, zlib or zstd (default zstd)\n"
    "  --level N             compression level (default: the library's default;\n"
    "                        zlib 1..9, zstd -131072..22; not with none)\n"
    "  --segment-size BYTES  unpacked bytes per segment, K/M/G suffixes allowed;\n"
    "                        0 = one segment per file (default 256K)\n"
    "  --allow-empty         write an archive even when DIR holds no files\n"
    "  -q, --quiet           no progress display\n"
    "  --progress            progress on standard error even when it is not a terminal\n"
    "\n"
    "The archive is written as OUT.xp3.part and renamed when complete; an\n"
    "interrupted pack (Ctrl-C, closing the console) removes it and exits with 130.\n";

struct PackFile {
  std::string name;  // entry name, UTF-8, '/' separators
  fs::path path;
  uint64_t size = 0;
};

bool ParseSize(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  size_t used = 0;
  unsigned long long number = 0;
  try {
    number = std::stoull(text, &used);
  } catch (...) {
    return false;
  }
  std::string suffix = text.substr(used);
  int shift = 0;
  if (suffix == "K" || suffix == "k")
    shift = 10;
  else if (suffix == "M" || suffix == "m")
    shift = 20;
  else if (suffix == "G" || suffix == "g")
    shift = 30;
  else if (!suffix.empty())
    return false;
  if (shift != 0 && number > (~0ull >> shift)) return false;
  *value = static_cast<uint64_t>(number) << shift;
  return true;
}

bool ParseLevel(const std::string& text, int* level) {
  size_t used = 0;
  try {
    *level = std::stoi(text, &used);
  } catch (...) {
    return false;
  }
  return used == text.size();
}

std::string FoldAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Is `inner` the directory `outer` itself or somewhere below it? Both are
// made absolute and free of "." and ".." first; on Windows, names compare
// without regard to ASCII case, as the file system does.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  fs::path a = fs::weakly_canonical(fs::absolute(inner, ec), ec);
  fs::path b = fs::weakly_canonical(fs::absolute(outer, ec), ec);
  auto a_it = a.begin();
  for (auto b_it = b.begin(); b_it != b.end(); ++b_it, ++a_it) {
    if (b_it->empty() && std::next(b_it) == b.end()) break;  // trailing separator
    if (a_it == a.end()) return false;
#ifdef _WIN32
    if (FoldAscii(DisplayPath(*a_it)) != FoldAscii(DisplayPath(*b_it))) return false;
#else
    if (*a_it != *b_it) return false;
#endif
  }
  return true;
}

// Walks DIR and lists its files in name order.
bool CollectFiles(const fs::path& root, std::vector<PackFile>* files, std::string* error) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, ec);
  const fs::recursive_directory_iterator end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code status_error;
    fs::file_status status = entry.status(status_error);
    const bool directory = fs::is_directory(status);
    PackFile file;
    file.path = entry.path();
    // Entry names are UTF-8; a name that is not Unicode has no entry name.
    // The folder is named in full, the name itself with escapes, so that
    // the file can be found among many.
    if (!GenericUtf8FromPath(file.path.lexically_relative(root), &file.name)) {
      *error = std::string(directory ? "a folder" : "a file") +
               " name is not valid Unicode, so no entry can be named after it: " +
               DisplayPath(file.path.filename()) + " in the folder " +
               MessagePath(file.path.parent_path());
      return false;
    }
    if (directory) continue;
    if (!fs::is_regular_file(status)) {
      *error = "not a regular file: " + MessagePath(file.path) +
               (status_error ? " (" + status_error.message() + ")" : "");
      return false;
    }
    file.size = entry.file_size(status_error);
    files->push_back(std::move(file));
  }
  if (ec) {
    std::string where = it != end ? MessagePath(it->path()) : MessagePath(root);
    *error = "cannot list " + where + ": " + ec.message();
    return false;
  }
  std::sort(files->begin(), files->end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  // The game looks names up without regard to ASCII case: two such names
  // would shadow each other.
  std::map<std::string, const PackFile*> folded;
  for (const PackFile& file : *files) {
    auto [at, fresh] = folded.emplace(FoldAscii(file.name), &file);
    if (!fresh) {
      *error = "names differ only in letter case: " + at->second->name + " and " + file.name;
      return false;
    }
  }
  return true;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "xp3 pack: %s\n%s", problem.c_str(), kPackUsage);
  return 2;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "xp3 pack: %s\n", message.c_str());
  return 1;
}

// Checks --level against the chosen codec; empty when it fits.
std::string LevelProblem(const Xp3WriterOptions& options, bool level_given) {
  if (!level_given) return "";
  switch (options.compression) {
    case Xp3Compression::kNone:
      return "--level has no meaning with --compress none";
    case Xp3Compression::kZlib:
      if (options.level < 1 || options.level > 9) {
        return "zlib levels are 1 to 9, not " + std::to_string(options.level);
      }
      return "";
    case Xp3Compression::kZstd:
      if (options.level < ZSTD_minCLevel() || options.level > ZSTD_maxCLevel()) {
        return "zstd levels are " + std::to_string(ZSTD_minCLevel()) + " to " +
               std::to_string(ZSTD_maxCLevel()) + ", not " + std::to_string(options.level);
      }
      return "";
  }
  return "";
}

// "12 files, 3.1 MiB -> 1.2 MiB (zstd, 256 KiB segments): 14 segments
// compressed (3.0 MiB -> 1.1 MiB), 2 stored as is (0.1 MiB)".
void PrintSummary(const std::string& out_arg, const Xp3WriterOptions& options,
                  const Xp3Writer& writer) {
  std::string method = CompressionName(options.compression);
  if (options.compression != Xp3Compression::kNone && options.level != 0) {
    method += " level " + std::to_string(options.level);
  }
  const std::string segments = options.segment_size == 0
                                   ? "one segment per file"
                                   : HumanSize(options.segment_size) + " segments";
  const Xp3SegmentTotals& t = writer.segment_totals();
  std::string detail;
  if (t.compressed_segments != 0) {
    detail = Counted(t.compressed_segments, "segment", "segments") + " compressed (" +
             HumanSize(t.compressed_unpacked_bytes) + " -> " +
             HumanSize(t.compressed_packed_bytes) + ")";
  }
  if (t.stored_segments != 0 || detail.empty()) {
    detail +=
        (detail.empty() ? "" : ", ") +
        (detail.empty() ? Counted(t.stored_segments, "segment", "segments")
                        : std::to_string(t.stored_segments)) +
        " stored as is (" + HumanSize(t.stored_bytes) +
        (options.compression == Xp3Compression::kNone ? ")"
                                                      : "; empty, or not smaller when compressed)");
  }
  std::printf("%s: %s, %s -> %s (%s, %s): %s\n", out_arg.c_str(),
              Counted(writer.entry_count(), "file", "files").c_str(),
              HumanSize(writer.unpacked_bytes()).c_str(), HumanSize(writer.packed_bytes()).c_str(),
              method.c_str(), segments.c_str(), detail.c_str());
}

}  // namespace

int RunPack(const std::vector<std::string>& args) {
  Xp3WriterOptions options;
  std::string dir_arg;
  std::string out_arg;
  bool level_given = false;
  bool allow_empty = false;
  bool force = false;
  ProgressMode progress_mode = ProgressMode::kAuto;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kPackUsage, stdout);
      return 0;
    }
    bool takes_value = arg == "-o" || arg == "--output" || arg == "--compress" ||
                       arg == "--level" || arg == "--segment-size";
    if (takes_value && i + 1 >= args.size()) return Usage(arg + " needs a value");
    if (arg == "-o" || arg == "--output") {
      out_arg = args[++i];
    } else if (arg == "--compress") {
      const std::string& method = args[++i];
      if (method == "none")
        options.compression = Xp3Compression::kNone;
      else if (method == "zlib")
        options.compression = Xp3Compression::kZlib;
      else if (method == "zstd")
        options.compression = Xp3Compression::kZstd;
      else
        return Usage("unknown compression method: " + method);
    } else if (arg == "--level") {
      if (!ParseLevel(args[++i], &options.level)) return Usage("bad level: " + args[i]);
      level_given = true;
    } else if (arg == "--segment-size") {
      if (!ParseSize(args[++i], &options.segment_size)) {
        return Usage("bad segment size: " + args[i]);
      }
    } else if (arg == "--allow-empty") {
      allow_empty = true;
    } else if (arg == "--force" || arg == "-f") {
      force = true;
    } else if (arg == "--quiet" || arg == "-q") {
      progress_mode = ProgressMode::kQuiet;
    } else if (arg == "--progress") {
      progress_mode = ProgressMode::kForced;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option: " + arg);
    } else if (dir_arg.empty()) {
      dir_arg = arg;
    } else {
      return Usage("unexpected argument: " + arg);
    }
  }
  if (dir_arg.empty()) return Usage("no input directory given");
  if (out_arg.empty()) return Usage("no output archive given (-o OUT.xp3)");
  if (std::string problem = LevelProblem(options, level_given); !problem.empty()) {
    return Usage(problem);
  }

  const fs::path root = PathFromUtf8(dir_arg);
  const fs::path out = PathFromUtf8(out_arg);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return Failure("not a directory: " + dir_arg);
  if (IsWithin(out, root)) {
    return Failure("the archive " + out_arg + " would be inside the input directory " + dir_arg);
  }
  if (fs::is_directory(out, ec)) return Failure("the output is a directory: " + out_arg);
  // A release archive is replaced only on purpose: a pack into the wrong
  // folder must not silently turn a shipped archive into another one.
  if (!force && fs::exists(fs::symlink_status(out, ec))) {
    std::fprintf(stderr, "xp3 pack: %s exists already; nothing was written. --force replaces it\n",
                 MessagePath(out).c_str());
    return 2;
  }

  std::vector<PackFile> files;
  std::string error;
  if (!CollectFiles(root, &files, &error)) return Failure(error);
  if (files.empty() && !allow_empty) {
    return Failure("no files under " + dir_arg + "; --allow-empty writes an empty archive");
  }
  uint64_t total = 0;
  for (const PackFile& file : files) total += file.size;

  // Written under a temporary name: the output name only ever holds a
  // complete archive. A .part left by a run that was killed is replaced.
  fs::path temp = out;
  temp += ".part";
  std::string temp_utf8;
  Utf8FromPath(temp, &temp_utf8);
  const std::atomic<bool>& interrupted = WatchForInterruption();
  options.cancel = &interrupted;
  int result = 0;
  {
    Progress progress(progress_mode, "packing", files.size(), total);
    uint64_t done = 0;  // bytes of the files before the current one
    size_t current = 0;
    uint64_t done_in_file = 0;
    // A large file shows its progress segment by segment.
    options.on_segment = [&](uint64_t size) {
      done_in_file += size;
      progress.Update(current, done + done_in_file);
    };
    Xp3Writer writer(options);
    if (!writer.Open(temp_utf8, &error)) return Failure(error);
    for (size_t i = 0; i < files.size() && result == 0 && !interrupted; ++i) {
      current = i;
      done_in_file = 0;
      progress.Update(i, done);
      const PackFile& file = files[i];
      std::FILE* input = OpenFile(file.path, "rb");
      if (input == nullptr) {
        result = Failure("cannot read " + MessagePath(file.path) + ": " + std::strerror(errno));
        break;
      }
      if (!writer.AddEntryFromFile(file.name, input, &error) && !interrupted) {
        result = Failure("cannot pack " + MessagePath(file.path) + ": " + error);
      }
      std::fclose(input);
      done += file.size;
    }
    progress.Clear();
    if (result == 0 && !interrupted && !writer.Finish(&error)) result = Failure(error);
    if (result == 0 && !interrupted) PrintSummary(out_arg, options, writer);
  }
  if (interrupted) {
    fs::remove(temp, ec);
    std::fprintf(stderr, "xp3 pack: interrupted; %s was not written\n", out_arg.c_str());
    InterruptionHandled();
    return kInterruptedExit;
  }
  if (result == 0 && !MoveOver(temp, out, &error)) result = Failure(error);
  if (result != 0) fs::remove(temp, ec);
  return result;
}
