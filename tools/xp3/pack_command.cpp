#include "tools/xp3/pack_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "tools/xp3/tool_files.h"
#include "tools/xp3/xp3_writer.h"

namespace fs = std::filesystem;

namespace {

const char kPackUsage[] =
    "usage: xp3 pack DIR -o OUT.xp3 [--compress none|zlib|zstd] [--level N]\n"
    "                [--segment-size BYTES]\n"
    "\n"
    "Packs every file under DIR into a new archive. Each file becomes an entry\n"
    "named by its path relative to DIR with '/' separators.\n"
    "\n"
    "  -o, --output FILE     archive to write (replaced only when packing succeeds)\n"
    "  --compress METHOD     none, zlib or zstd (default zstd)\n"
    "  --level N             compression level (default: the library's default;\n"
    "                        zlib 1..9, zstd -131072..22)\n"
    "  --segment-size BYTES  unpacked bytes per segment, K/M/G suffixes allowed;\n"
    "                        0 = one segment per file (default 256K)\n";

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
    if (fs::is_directory(status)) continue;
    PackFile file;
    file.path = entry.path();
    if (!GenericUtf8FromPath(file.path.lexically_relative(root), &file.name)) {
      *error = "file name is not valid Unicode: " + DisplayPath(file.path);
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *error = "not a regular file: " + DisplayPath(file.path) +
               (status_error ? " (" + status_error.message() + ")" : "");
      return false;
    }
    file.size = entry.file_size(status_error);
    files->push_back(std::move(file));
  }
  if (ec) {
    std::string where = it != end ? DisplayPath(it->path()) : DisplayPath(root);
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

// Progress on stderr: a self-overwriting line on a console, otherwise an
// occasional plain line so that logs of long runs show signs of life.
class Progress {
 public:
  Progress(size_t files, uint64_t bytes)
      : files_(files), bytes_(bytes), console_(IsConsole(stderr)), last_(Clock::now()) {}
  void Update(size_t files_done, uint64_t bytes_done) {
    auto now = Clock::now();
    auto interval = console_ ? std::chrono::milliseconds(200) : std::chrono::seconds(15);
    if (now - last_ < interval) return;
    last_ = now;
    int percent = bytes_ == 0 ? 100 : static_cast<int>(bytes_done * 100 / bytes_);
    std::fprintf(stderr, "%s%3d%%  %zu/%zu files  %s/%s%s", console_ ? "\r" : "xp3 pack: ", percent,
                 files_done, files_, HumanSize(bytes_done).c_str(), HumanSize(bytes_).c_str(),
                 console_ ? "   " : "\n");
    std::fflush(stderr);
    shown_ = true;
  }
  void Clear() {
    if (console_ && shown_) std::fprintf(stderr, "\r%60s\r", "");
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  size_t files_;
  uint64_t bytes_;
  bool console_;
  bool shown_ = false;
  Clock::time_point last_;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "xp3 pack: %s\n%s", problem.c_str(), kPackUsage);
  return 2;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "xp3 pack: %s\n", message.c_str());
  return 1;
}

}  // namespace

int RunPack(const std::vector<std::string>& args) {
  Xp3WriterOptions options;
  std::string dir_arg;
  std::string out_arg;
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
    } else if (arg == "--segment-size") {
      if (!ParseSize(args[++i], &options.segment_size)) {
        return Usage("bad segment size: " + args[i]);
      }
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

  const fs::path root = PathFromUtf8(dir_arg);
  const fs::path out = PathFromUtf8(out_arg);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return Failure("not a directory: " + dir_arg);
  if (IsWithin(out, root)) {
    return Failure("the archive " + out_arg + " would be inside the input directory " + dir_arg);
  }
  if (fs::is_directory(out, ec)) return Failure("the output is a directory: " + out_arg);

  std::vector<PackFile> files;
  std::string error;
  if (!CollectFiles(root, &files, &error)) return Failure(error);
  uint64_t total = 0;
  for (const PackFile& file : files) total += file.size;

  // Written under a temporary name: the output name only ever holds a
  // complete archive.
  fs::path temp = out;
  temp += ".part";
  std::string temp_utf8;
  Utf8FromPath(temp, &temp_utf8);
  int result = 0;
  {
    Xp3Writer writer(options);
    if (!writer.Open(temp_utf8, &error)) return Failure(error);
    Progress progress(files.size(), total);
    uint64_t done = 0;
    for (size_t i = 0; i < files.size() && result == 0; ++i) {
      progress.Update(i, done);
      const PackFile& file = files[i];
      std::FILE* input = OpenFile(file.path, "rb");
      if (input == nullptr) {
        result = Failure("cannot read " + DisplayPath(file.path) + ": " + std::strerror(errno));
        break;
      }
      if (!writer.AddEntryFromFile(file.name, input, &error)) {
        result = Failure("cannot pack " + DisplayPath(file.path) + ": " + error);
      }
      std::fclose(input);
      done += file.size;
    }
    progress.Clear();
    if (result == 0 && !writer.Finish(&error)) result = Failure(error);
    if (result == 0) {
      std::string method = CompressionName(options.compression);
      if (options.compression != Xp3Compression::kNone && options.level != 0) {
        method += " level " + std::to_string(options.level);
      }
      std::string segments = options.segment_size == 0
                                 ? "one segment per file"
                                 : HumanSize(options.segment_size) + " segments";
      std::printf("%s: %llu files, %s -> %s (%s, %s)\n", out_arg.c_str(),
                  static_cast<unsigned long long>(writer.entry_count()),
                  HumanSize(writer.unpacked_bytes()).c_str(),
                  HumanSize(writer.packed_bytes()).c_str(), method.c_str(), segments.c_str());
    }
  }
  if (result == 0 && !MoveOver(temp, out, &error)) result = Failure(error);
  if (result != 0) fs::remove(temp, ec);
  return result;
}
