// Fuzz target: a whole archive. The input is the archive file followed by a
// script of operations and the script's length (little-endian u16, the last
// two bytes). The archive is mounted from a file holding the whole input;
// the index must agree with an independent reading of it, and every entry
// (up to a cap) is opened and driven by the script, each answer checked
// against a model of the entry made from the input bytes alone.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/fuzz_entry_model.h"
#include "archive/xp3_archive.h"

namespace {

constexpr size_t kMaxEntries = 64;
constexpr uint64_t kMaxModeledSize = 1 << 20;

std::string g_path;

void RemoveArchiveFile() { std::remove(g_path.c_str()); }

bool WriteArchiveFile(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(g_path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  g_path = (std::filesystem::temp_directory_path() /
            ("xp3_archive_fuzzer_" + std::to_string(getpid()) + ".xp3"))
               .string();
  std::atexit(RemoveArchiveFile);
  // Index diagnostics go to standard output; while fuzzing they are noise.
  const std::string self = *argc > 0 ? (*argv)[0] : "";
  if (self.find("_replay") == std::string::npos) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t script_size = 0;
  if (size >= 2) {
    script_size = std::min<size_t>(data[size - 2] | (data[size - 1] << 8), size - 2);
  }
  const uint8_t* script = data + size - (size >= 2 ? 2 : 0) - script_size;
  fuzz::Require(WriteArchiveFile(data, size), "the input is written to a file");

  const fuzz::ReferenceIndex ref = fuzz::ParseReferenceIndex(data, size);
  Xp3Archive archive(g_path, true);
  const bool parsed = archive.ParseIndex();
  if (ref.exact) fuzz::Require(parsed == ref.ok, "the index mounts exactly when it is sound");
  if (!parsed) {
    fuzz::Require(archive.entries().empty(), "a failed mount keeps no entries");
    return 0;
  }
  const Xp3Archive::EntryList& entries = archive.entries();
  if (ref.ok) {
    fuzz::Require(entries.size() == ref.entries.size(), "entry count");
    for (size_t i = 0; i < entries.size(); ++i) {
      const Xp3Entry e = entries[i];
      const Xp3Entry& r = ref.entries[i];
      fuzz::Require(e.key == r.key && e.key == entries.key(i), "entry name");
      fuzz::Require(e.flags == r.flags && e.unpacked_size == r.unpacked_size &&
                        e.packed_size == r.packed_size && e.checksum == r.checksum &&
                        e.unpacked_size == entries.unpacked_size(i),
                    "entry values");
      fuzz::Require(e.segments.size() == r.segments.size(), "segment count");
      for (size_t k = 0; k < e.segments.size(); ++k) {
        const Xp3Segment& a = e.segments[k];
        const Xp3Segment& b = r.segments[k];
        fuzz::Require(a.flags == b.flags && a.offset == b.offset &&
                          a.unpacked_size == b.unpacked_size && a.packed_size == b.packed_size,
                      "segment values");
      }
    }
  }

  for (size_t i = 0; i < entries.size() && i < kMaxEntries; ++i) {
    const Xp3Entry entry = entries[i];
    ReadStream* stream = archive.OpenEntry(entry);
    fuzz::Require(stream != nullptr, "an entry opens");
    const fuzz::EntryModel model = fuzz::ModelEntry(entry, data, size, kMaxModeledSize);
    fuzz::DriveEntry(stream, model, script, script_size);
    delete stream;
  }
  return 0;
}
