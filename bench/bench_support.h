// Windows-side helpers of the benchmark programs: attaching the file
// hooks in the benchmark's own process (as the patch does in the game's),
// building archives with the packer, and plain files to compare against.
//
// The hooks are the process-wide ones of startup/process_globals.h; a
// benchmark attaches and detaches them as often as it likes, always from its
// only thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/xp3/xp3_writer.h"

namespace bench {

// The three ways the benchmarks pack the same data, in the order of their
// tables.
struct Method {
  const char* name;
  Xp3Compression compression;
};
inline constexpr Method kMethods[] = {
    {"stored", Xp3Compression::kNone},
    {"zlib", Xp3Compression::kZlib},
    {"zstd", Xp3Compression::kZstd},
};

// One hook transaction attaching (or detaching) all the file replacements.
// False, with the error printed, when the transaction failed.
bool AttachFileHooks();
bool DetachFileHooks();

std::wstring Wide(const std::string& utf8);

// An entry to pack: its name inside the archive and its bytes.
struct PackEntry {
  std::string name;
  const std::vector<uint8_t>* data;
};

// Packs `entries` into `path` and returns the archive's size in bytes, 0 on
// failure (printed).
uint64_t PackArchive(const std::string& path, const std::vector<PackEntry>& entries,
                     const Xp3WriterOptions& options);

bool WriteWholeFile(const std::string& path, const void* data, size_t size);
uint64_t FileSizeOf(const std::string& path);

// The process's committed private memory in bytes.
uint64_t PrivateBytes();

}  // namespace bench
