// The overlay: makes the patch's mounted archives look like files on disk.
//
// One process-wide instance (see startup/process_globals.h). It owns the
// mounted archives (from mount to its own destruction; nothing is unmounted),
// the index from path keys to archive entries, the files that exist only in
// memory, and the streams behind the pseudo handles it hands out
// (OverlayHandle values: the address of the serving stream) from open to
// close. A duplicated handle is a second value for the same open file, which
// lives until its last handle is closed.
//
// Threads: PathIndex, MemoryFiles, BaseDirectory and the loose folder (see
// loose_folder.h) are written only while the patch starts (before any file
// function is redirected) and are read-only afterwards. The handle table changes on every open,
// duplicate and close from any game thread; one reader/writer lock guards it and is never held
// while archive data is read. Each open file has its own lock, so two
// threads using one handle (or two handles of one open file) at once cannot
// interleave a seek with a read, while other files proceed.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/xp3_archive.h"
#include "archive/xp3_entry.h"
#include "overlay/path_key.h"

class DirectoryIndex;
class LooseFolder;

class ReadStream;

class OverlayRegistry {
 public:
  // An archive entry as the overlay indexes it: the entry's place in the
  // archive that holds it. The entry itself stays in the archive's list.
  struct IndexedEntry {
    std::string_view key;  // the path key, kept in the archive's name storage
    Xp3Archive* archive;
    uint32_t index;  // in archive->entries()
    uint64_t size() const { return archive->entries().unpacked_size(index); }
  };

  // Path keys -> archive entries, ASCII-case-insensitive. Iterates in the
  // order the keys were first indexed. An entry costs one record and a hash
  // slot: no allocation per entry, no copy of the entry or its key.
  class PathIndex {
   public:
    using const_iterator = std::vector<IndexedEntry>::const_iterator;

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    const IndexedEntry& operator[](size_t position) const { return records_[position]; }

    const IndexedEntry* Find(std::string_view key) const;
    size_t count(std::string_view key) const { return Find(key) != nullptr ? 1 : 0; }

    // Room for `total` keys, so that indexing an archive allocates once.
    void Reserve(size_t total);
    // Indexes the entry under `key`, which must stay valid as long as the
    // index. A key already present (in any ASCII case) keeps its first
    // spelling and its place in the order, and gets the new entry.
    void InsertOrAssign(std::string_view key, Xp3Archive* archive, uint32_t index);

   private:
    struct Slot {
      uint32_t hash;
      uint32_t record;  // index in records_ plus one; 0 marks a free slot
    };
    void Rehash(size_t capacity);

    std::vector<IndexedEntry> records_;
    std::vector<Slot> slots_;  // open addressing, linear probing; a power of two
  };
  using MemoryFiles =
      std::unordered_map<std::string, std::vector<unsigned char>, PathKeyHasher, PathKeyEquals>;

  // BaseDirectory is the directory of the process's executable.
  OverlayRegistry();
  // For tests: an explicit game directory (backslash-separated, no trailing
  // separator except at a drive root: "D:\\").
  explicit OverlayRegistry(std::string base_directory);
  ~OverlayRegistry();

  OverlayRegistry(const OverlayRegistry&) = delete;
  OverlayRegistry& operator=(const OverlayRegistry&) = delete;

  // Opens and indexes an archive (a relative path is resolved against the
  // current directory). Later mounts win over earlier ones for a key.
  bool Mount(const std::string& utf8_path);
  // Mount, or show the error box and end the process with exit code 1.
  void MountOrExit(const std::string& utf8_path);
  // The error box of a failed mount followed by ExitProcess(1).
  [[noreturn]] static void ExitWithMountError(const std::string& utf8_path);

  // Stores (or replaces) a file that exists only in memory. Start-up only.
  void StoreMemoryFile(const std::string& key, std::vector<unsigned char> content);

  // Lays a folder of loose files over everything mounted (it wins over every
  // archive). Start-up only, after the archives.
  void MountLooseFolder(std::unique_ptr<LooseFolder> folder);
  // The loose folder, or null when none is laid over the archives: then the
  // replacements pay this one check for it and nothing more.
  const LooseFolder* Loose() const { return loose_folder_.get(); }

  bool Exists(const WCHAR* path) const;
  // Whether a path names a directory that archive entries lie below, as
  // listings show it (it may exist on disk as well). Touches no last error.
  bool IsArchiveDirectory(const WCHAR* path) const;
  // `flags` are CreateFileW's flags and attributes; only
  // FILE_FLAG_OVERLAPPED is kept (reads at an offset then leave the position
  // alone and complete as asynchronous ones).
  HANDLE OpenOwn(const WCHAR* path, DWORD flags = 0);
  bool IsOwnHandle(HANDLE handle) const;
  // A second handle to the open file behind `handle`, sharing its position;
  // each is closed on its own. Null (last error ERROR_INVALID_HANDLE) when
  // `handle` is not an OverlayHandle.
  HANDLE DuplicateOwn(HANDLE handle);
  // The number of open OverlayHandles (for leak checks).
  size_t OpenHandleCount() const;
  // False (last error ERROR_INVALID_HANDLE) when `handle` is not, or no
  // longer, an OverlayHandle: of two threads closing one handle at once,
  // exactly one succeeds.
  bool CloseOwn(HANDLE handle);
  BOOL ReadOwn(HANDLE handle, void* buffer, DWORD count, DWORD* count_read);

  // A read at an explicit offset, as ReadFile makes it for an OVERLAPPED
  // structure. `error` is 0, ERROR_HANDLE_EOF (nothing to read at or beyond
  // the end), 6815 (a damaged entry), ERROR_INVALID_PARAMETER (a negative
  // offset) or ERROR_INVALID_HANDLE. A handle opened without
  // FILE_FLAG_OVERLAPPED is left at the end of what was read, as the system
  // leaves a disk file (never beyond the end of the file); an asynchronous
  // one keeps its position. Sets no last error.
  struct PositionedRead {
    DWORD error = 0;
    DWORD count = 0;
    bool asynchronous = false;  // opened with FILE_FLAG_OVERLAPPED
  };
  PositionedRead ReadAtOwn(HANDLE handle, void* buffer, DWORD count, LONGLONG offset);

  // What the handle queries tell about an open file. `path` is the overlaid
  // path under the game directory, spelled as the index holds it; `file_id`
  // tells open files of different paths apart and is the same for every
  // handle of one path.
  struct FileFacts {
    uint64_t size = 0;
    FILETIME time = {};
    std::string path;
    uint64_t file_id = 0;
  };
  // False (last error ERROR_INVALID_HANDLE) when `handle` is not own.
  bool DescribeOwn(HANDLE handle, FileFacts* facts) const;
  // Hands the first `count` bytes of the file behind `handle` (at most its
  // size), in order and in pieces of at most 1 MiB, to `sink`, read through
  // a stream of its own, so the handle's position and reads in flight are
  // untouched. False when the handle is not own (last error
  // ERROR_INVALID_HANDLE), the bytes cannot be read (6815), no buffer can be
  // had (ERROR_OUTOFMEMORY), or `sink` returns false (its last error).
  bool CopyOwn(HANDLE handle, uint64_t count,
               const std::function<bool(const void* bytes, uint32_t size)>& sink) const;
  DWORD SetPointerOwn(HANDLE handle, LONG distance, LONG* distance_high, DWORD method);
  BOOL SetPointerExOwn(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* new_position,
                       DWORD method);
  DWORD SizeOwn(HANDLE handle, DWORD* size_high);
  BOOL SizeOwn(HANDLE handle, LARGE_INTEGER* size);
  BOOL AttributesExOwn(const WCHAR* path, GET_FILEEX_INFO_LEVELS level, void* information);
  // The attributes of a directory that archives alone hold:
  // FILE_ATTRIBUTE_DIRECTORY, size 0, the archive's time.
  BOOL DirectoryAttributesExOwn(const WCHAR* path, GET_FILEEX_INFO_LEVELS level,
                                void* information) const;

  std::string BaseDirectory() const { return base_directory_; }
  const PathIndex& Index() const { return path_index_; }
  // The archive entry indexed under a path key (as MakePathKey makes them),
  // null when no mounted archive has one.
  const IndexedEntry* FindEntry(std::string_view key) const { return path_index_.Find(key); }
  const MemoryFiles& Memory() const { return memory_files_; }
  // The archive entries by directory, rebuilt after every mount.
  const DirectoryIndex& Directories() const { return *directories_; }

 private:
  struct OpenFile;
  // One handle: the open file it reaches, and for a duplicate the small
  // allocation whose address is the handle's value (the first handle's value
  // is the stream's address, which lives as long as the open file).
  struct HandleRecord {
    std::shared_ptr<OpenFile> file;
    std::unique_ptr<char> value;
  };
  using HandleTable = std::unordered_map<HANDLE, HandleRecord>;

  std::shared_ptr<OpenFile> Find(HANDLE handle) const;
  std::shared_ptr<OpenFile> Remove(HANDLE handle);
  HANDLE Register(HANDLE handle, HandleRecord record);
  uint64_t SizeOf(const OpenFile& file) const;
  bool SeekOwn(HANDLE handle, LONGLONG distance, DWORD method, ULONGLONG* position);
  // The entry below the directory named by `key`, null when there is none.
  const IndexedEntry* EntryBelowDirectory(std::string_view key) const;
  FILETIME ArchiveTime(const Xp3Archive* archive) const;

  PathIndex path_index_;
  MemoryFiles memory_files_;
  std::string base_directory_;
  std::vector<Xp3Archive*> archives_;  // newest first
  std::unordered_map<const Xp3Archive*, FILETIME> archive_times_;
  FILETIME memory_file_time_ = {};
  std::unique_ptr<DirectoryIndex> directories_;
  std::unique_ptr<LooseFolder> loose_folder_;

  // Open overlaid files counted by a few bits of their handle value, so that
  // IsOwnHandle answers for most real handles without the lock.
  static size_t CountSlot(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return (value >> 4 ^ value >> 12) % kCountSlots;
  }
  static constexpr size_t kCountSlots = 256;
  std::array<std::atomic<uint32_t>, kCountSlots> handle_counts_{};

  mutable SRWLOCK handles_lock_ = SRWLOCK_INIT;
  HandleTable handles_;
};
