#include "overlay/overlay_registry.h"

#include <algorithm>
#include <new>
#include <utility>

#include "archive/in_mem_read_stream.h"
#include "archive/read_failure.h"
#include "archive/read_stream.h"
#include "overlay/directory_index.h"
#include "overlay/loose_folder.h"
#include "overlay/path_strings.h"
#include "overlay/srw_guard.h"
#include "platform/diagnostic_log.h"
#include "platform/text_conversion.h"

// One open overlaid file: the stream that serves it and the key it was opened
// under. Shared between the handle table and calls in flight, so that a close
// racing with a read on another thread never frees the stream under it.
struct OverlayRegistry::OpenFile {
  std::mutex lock;  // one operation at a time on this handle
  std::unique_ptr<ReadStream> stream;
  std::string key;
  bool memory = false;
  bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED

  ~OpenFile() {
    if (stream && !memory) stream->Close();
  }
};

namespace {

constexpr DWORD kErrorHandleNoLongerValid = 6815;

// A read or seek of an overlaid file that failed, in the diagnostic log: the
// entry, where, and the error the game was given. Costs one check while the
// log is off; leaves the last error as it is.
void LogFailure(const char* what, const std::string& key, long long offset, DWORD count,
                DWORD error) {
  if (!DiagnosticLogEnabled()) return;
  if (error == kErrorHandleNoLongerValid) {
    DiagnosticLogWrite(
        "%s %s: %lu bytes at offset %lld failed with error %lu: the entry's "
        "data is damaged",
        what, key.c_str(), static_cast<unsigned long>(count), offset,
        static_cast<unsigned long>(error));
  } else {
    DiagnosticLogWrite("%s %s: at offset %lld failed with error %lu", what, key.c_str(), offset,
                       static_cast<unsigned long>(error));
  }
}

// A read that came back empty: the system failed a read of the archive
// file during it (read_failure.h; the next read tries again, and the game
// gets the system's error), or the entry's data is damaged (kept).
DWORD EmptyReadError(uint32_t failures_before) {
  if (ArchiveReadFailures() == failures_before) return kErrorHandleNoLongerValid;
  const uint32_t error = LastArchiveReadError();
  return error != 0 ? error : static_cast<DWORD>(ERROR_READ_FAULT);
}

void LogSystemReadFailure(const char* what, const std::string& key, long long offset, DWORD error) {
  if (!DiagnosticLogEnabled()) return;
  DiagnosticLogWrite(
      "%s %s: at offset %lld the system failed to read the archive file (error %lu); "
      "the entry is not damaged, and the next read tries again",
      what, key.c_str(), offset, static_cast<unsigned long>(error));
}

std::string ExecutableDirectory() {
  WCHAR buffer[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::string path;
  if (!ToUtf8(WideString(buffer, length), &path)) {
    char narrow[MAX_PATH] = {};
    DWORD narrow_length = GetModuleFileNameA(nullptr, narrow, MAX_PATH);
    path.assign(narrow, narrow_length);
  }
  return GameDirectoryOf(path);
}

FILETIME LastWriteTimeOf(const std::string& utf8_path) {
  FILETIME time = {};
  WideString wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (FromUtf8(utf8_path, &wide) &&
      ::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    time = data.ftLastWriteTime;
  }
  return time;
}

}  // namespace

OverlayRegistry::OverlayRegistry()
    : base_directory_(ExecutableDirectory()), directories_(std::make_unique<DirectoryIndex>()) {}

OverlayRegistry::OverlayRegistry(std::string base_directory)
    : base_directory_(std::move(base_directory)),
      directories_(std::make_unique<DirectoryIndex>()) {}

OverlayRegistry::~OverlayRegistry() {
  // Streams first (an entry stream borrows its archive's file), then the
  // archives, newest first.
  handles_.clear();
  for (Xp3Archive* archive : archives_) delete archive;
  archives_.clear();
}

const OverlayRegistry::IndexedEntry* OverlayRegistry::PathIndex::Find(std::string_view key) const {
  if (slots_.empty()) return nullptr;
  const uint32_t hash = PathKeyHash(key);
  const size_t mask = slots_.size() - 1;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.record == 0) return nullptr;
    if (slot.hash == hash && PathKeyEqual(records_[slot.record - 1].key, key)) {
      return &records_[slot.record - 1];
    }
  }
}

void OverlayRegistry::PathIndex::Reserve(size_t total) {
  // At most four keys in five slots keeps the probe runs short.
  size_t capacity = 16;
  while (capacity / 5 * 4 < total) capacity *= 2;
  if (capacity > slots_.size()) Rehash(capacity);
  records_.reserve(total);
}

void OverlayRegistry::PathIndex::Rehash(size_t capacity) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity, Slot{0, 0}));
  const size_t mask = capacity - 1;
  for (const Slot& slot : old) {
    if (slot.record == 0) continue;
    size_t at = slot.hash & mask;
    while (slots_[at].record != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void OverlayRegistry::PathIndex::InsertOrAssign(std::string_view key, Xp3Archive* archive,
                                                uint32_t index) {
  if ((records_.size() + 1) * 5 > slots_.size() * 4)
    Rehash(slots_.empty() ? 16 : slots_.size() * 2);
  const uint32_t hash = PathKeyHash(key);
  const size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  for (; slots_[at].record != 0; at = (at + 1) & mask) {
    IndexedEntry& indexed = records_[slots_[at].record - 1];
    if (slots_[at].hash == hash && PathKeyEqual(indexed.key, key)) {
      indexed.archive = archive;
      indexed.index = index;
      return;
    }
  }
  records_.push_back(IndexedEntry{key, archive, index});
  slots_[at] = Slot{hash, static_cast<uint32_t>(records_.size())};
}

bool OverlayRegistry::Mount(const std::string& utf8_path) {
  Xp3Archive* archive = new (std::nothrow) Xp3Archive(utf8_path, true);
  if (archive == nullptr) return false;
  if (!archive->ParseIndex()) {
    delete archive;
    return false;
  }
  archives_.insert(archives_.begin(), archive);
  archive_times_[archive] = LastWriteTimeOf(utf8_path);
  // The archive's names become path keys in place, and the index refers to
  // them there. Later entries, of this archive or a later one, win.
  archive->ReplaceInKeys('/', '\\');
  const Xp3Archive::EntryList& entries = archive->entries();
  path_index_.Reserve(path_index_.size() + entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    path_index_.InsertOrAssign(entries.key(i), archive, static_cast<uint32_t>(i));
  }
  directories_->Build(path_index_, base_directory_);
  return true;
}

void OverlayRegistry::MountOrExit(const std::string& utf8_path) {
  if (Mount(utf8_path)) return;
  ExitWithMountError(utf8_path);
}

void OverlayRegistry::ExitWithMountError(const std::string& utf8_path) {
  WideString wide;
  WideString text;
  if (FromUtf8(utf8_path, &wide)) {
    text = L"无法打开 " + wide + L"。请检查文件是否存在";
  } else {
    text = L"无法打开资源文件。请检查资源文件是否完整";
  }
  ::MessageBoxW(nullptr, text.c_str(), L"错误", MB_ICONERROR);
  ::ExitProcess(1);
}

void OverlayRegistry::StoreMemoryFile(const std::string& key, std::vector<unsigned char> content) {
  memory_files_.insert_or_assign(key, std::move(content));
  GetSystemTimeAsFileTime(&memory_file_time_);
}

void OverlayRegistry::MountLooseFolder(std::unique_ptr<LooseFolder> folder) {
  loose_folder_ = std::move(folder);
}

bool OverlayRegistry::Exists(const WCHAR* path) const {
  PathKeyBuilder builder;
  if (!builder.Make(path, base_directory_)) return false;
  return path_index_.Find(builder.key()) != nullptr ||
         memory_files_.find(builder.key()) != memory_files_.end();
}

const OverlayRegistry::IndexedEntry* OverlayRegistry::EntryBelowDirectory(
    std::string_view key) const {
  uint32_t entry = 0;
  switch (directories_->FindDirectory(key, &entry)) {
    case DirectoryIndex::Answer::kYes:
      return &path_index_[entry];
    case DirectoryIndex::Answer::kNo:
      return nullptr;
    case DirectoryIndex::Answer::kUnknown:
      break;
  }
  // The index cannot answer for this game directory: an entry lies below the
  // directory when its path, seen from the directory, goes down into it.
  if (key.empty() || BeginsWithParent(key)) return nullptr;
  const std::string directory = JoinPath(base_directory_, std::string(key));
  for (const IndexedEntry& indexed : path_index_) {
    const std::string relative =
        RelativePath(JoinPath(base_directory_, std::string(indexed.key)), directory);
    if (relative != "." && !BeginsWithParent(relative) && !IsDriveAbsolute(relative)) {
      return &indexed;
    }
  }
  return nullptr;
}

bool OverlayRegistry::IsArchiveDirectory(const WCHAR* path) const {
  PathKeyBuilder builder;
  return builder.Make(path, base_directory_) && EntryBelowDirectory(builder.key()) != nullptr;
}

FILETIME OverlayRegistry::ArchiveTime(const Xp3Archive* archive) const {
  auto it = archive_times_.find(archive);
  return it != archive_times_.end() ? it->second : FILETIME{};
}

HANDLE OverlayRegistry::Register(HANDLE handle, HandleRecord record) {
  // Recording the handle allocates; if that fails, the guard releases the
  // lock and the record, still owned here, is freed (and the file with it
  // when no other handle holds it).
  SrwGuard guard(&handles_lock_, SrwGuard::kExclusive);
  handles_.emplace(handle, std::move(record));
  handle_counts_[CountSlot(handle)].fetch_add(1, std::memory_order_relaxed);
  return handle;
}

HANDLE OverlayRegistry::OpenOwn(const WCHAR* path, DWORD flags) {
  // The key is derived exactly as for Exists, so that a path that exists
  // always opens, whatever form the game directory has.
  PathKeyBuilder builder;
  if (!builder.Make(path, base_directory_)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string_view key = builder.key();
  auto file = std::make_shared<OpenFile>();
  file->key = key;
  file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  if (const IndexedEntry* indexed = FindEntry(key)) {
    file->stream.reset(indexed->archive->OpenEntryAt(indexed->index));
  } else if (auto it = memory_files_.find(key); it != memory_files_.end()) {
    const std::vector<unsigned char>& bytes = it->second;
    file->memory = true;
    file->stream.reset(new (std::nothrow)
                           InMemReadStream(bytes.data(), static_cast<uint32_t>(bytes.size())));
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!file->stream) {
    SetLastError(ERROR_OUTOFMEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = static_cast<HANDLE>(file->stream.get());
  return Register(handle, HandleRecord{std::move(file), nullptr});
}

HANDLE OverlayRegistry::DuplicateOwn(HANDLE handle) {
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  HandleRecord record{std::move(file), std::make_unique<char>()};
  HANDLE duplicate = static_cast<HANDLE>(record.value.get());
  return Register(duplicate, std::move(record));
}

std::shared_ptr<OverlayRegistry::OpenFile> OverlayRegistry::Find(HANDLE handle) const {
  SrwGuard guard(&handles_lock_, SrwGuard::kShared);
  if (auto it = handles_.find(handle); it != handles_.end()) return it->second.file;
  return nullptr;
}

bool OverlayRegistry::IsOwnHandle(HANDLE handle) const {
  // Most handles the game uses are real ones; when no open overlaid file
  // shares the handle's count slot, the answer needs no lock. A handle is
  // counted before it is handed out and uncounted only after it has left
  // the tables, so a zero count is never wrong.
  if (handle_counts_[CountSlot(handle)].load(std::memory_order_acquire) == 0) return false;
  SrwGuard guard(&handles_lock_, SrwGuard::kShared);
  return handles_.count(handle) != 0;
}

std::shared_ptr<OverlayRegistry::OpenFile> OverlayRegistry::Remove(HANDLE handle) {
  // The duplicate's value is freed after the lock, with the record: no other
  // handle can take that value before it has left the table.
  HandleRecord record;
  {
    SrwGuard guard(&handles_lock_, SrwGuard::kExclusive);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    record = std::move(it->second);
    handles_.erase(it);
    handle_counts_[CountSlot(handle)].fetch_sub(1, std::memory_order_release);
  }
  return std::move(record.file);
}

size_t OverlayRegistry::OpenHandleCount() const {
  SrwGuard guard(&handles_lock_, SrwGuard::kShared);
  return handles_.size();
}

bool OverlayRegistry::CloseOwn(HANDLE handle) {
  // The stream is closed and freed when the last call using it returns,
  // outside the table lock.
  if (Remove(handle)) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

BOOL OverlayRegistry::ReadOwn(HANDLE handle, void* buffer, DWORD count, DWORD* count_read) {
  // As the system's ReadFile: nothing counted until something is read, so
  // that a failed read reports 0 bytes.
  if (count_read != nullptr) *count_read = 0;
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(file->lock);
  const int64_t at = file->stream->Tell();
  // An entry stream delivers at most one segment per Read; a disk file gives
  // the whole request unless the end comes first, and games rely on that, so
  // keep reading until the request is filled or the stream stops.
  auto* out = static_cast<unsigned char*>(buffer);
  DWORD total = 0;
  const uint32_t failures = ArchiveReadFailures();
  while (total < count) {
    uint32_t n = file->stream->Read(out + total, count - total);
    if (n == 0) break;
    total += n;
  }
  // The end of the file reads as a disk file's end: a read there, and a read
  // of no bytes anywhere, succeed with a count of 0. The C runtime and the
  // system's stream objects take a failure there for an error and drop what
  // they had read. Only an entry that yields nothing before its end fails.
  if (file->memory) {
    if (file->stream->HasError()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  } else if (total == 0 && count != 0 && !file->stream->IsEof()) {
    const DWORD error = EmptyReadError(failures);
    if (error == kErrorHandleNoLongerValid) {
      LogFailure("ReadFile", file->key, at, count, error);
    } else {
      LogSystemReadFailure("ReadFile", file->key, at, error);
    }
    SetLastError(error);
    return FALSE;
  }
  if (count_read != nullptr) *count_read = total;
  return TRUE;
}

bool OverlayRegistry::SeekOwn(HANDLE handle, LONGLONG distance, DWORD method, ULONGLONG* position) {
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  std::lock_guard<std::mutex> guard(file->lock);
  bool ok = method <= FILE_END && file->stream->Seek(distance, static_cast<SeekOrigin>(method));
  int64_t tell = ok ? file->stream->Tell() : -1;
  if (!ok || tell < 0) {
    const DWORD error = file->memory ? ERROR_INVALID_PARAMETER : ERROR_INVALID_ACCESS;
    LogFailure(method == FILE_BEGIN     ? "seek from the start of"
               : method == FILE_CURRENT ? "seek from the position in"
                                        : "seek from the end of",
               file->key, distance, 0, error);
    SetLastError(error);
    return false;
  }
  *position = static_cast<ULONGLONG>(tell);
  return true;
}

DWORD OverlayRegistry::SetPointerOwn(HANDLE handle, LONG distance, LONG* distance_high,
                                     DWORD method) {
  LONGLONG full = distance_high == nullptr
                      ? static_cast<LONGLONG>(distance)
                      : static_cast<LONGLONG>((static_cast<ULONGLONG>(*distance_high) << 32) |
                                              static_cast<DWORD>(distance));
  ULONGLONG position = 0;
  if (!SeekOwn(handle, full, method, &position)) return INVALID_SET_FILE_POINTER;
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(position >> 32);
  // A position whose low part reads as the failure value is told apart by a
  // last error of 0, as the system does.
  if (static_cast<DWORD>(position) == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return static_cast<DWORD>(position);
}

BOOL OverlayRegistry::SetPointerExOwn(HANDLE handle, LARGE_INTEGER distance,
                                      LARGE_INTEGER* new_position, DWORD method) {
  ULONGLONG position = 0;
  if (!SeekOwn(handle, distance.QuadPart, method, &position)) return FALSE;
  if (new_position != nullptr) new_position->QuadPart = static_cast<LONGLONG>(position);
  return TRUE;
}

DWORD OverlayRegistry::SizeOwn(HANDLE handle, DWORD* size_high) {
  LARGE_INTEGER size;
  if (!SizeOwn(handle, &size)) return INVALID_FILE_SIZE;
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size.QuadPart >> 32);
  if (static_cast<DWORD>(size.QuadPart) == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return static_cast<DWORD>(size.QuadPart);
}

BOOL OverlayRegistry::SizeOwn(HANDLE handle, LARGE_INTEGER* size) {
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size->QuadPart = static_cast<LONGLONG>(SizeOf(*file));
  return TRUE;
}

uint64_t OverlayRegistry::SizeOf(const OpenFile& file) const {
  if (file.memory) {
    auto it = memory_files_.find(file.key);
    return it != memory_files_.end() ? it->second.size() : 0;
  }
  const IndexedEntry* indexed = FindEntry(file.key);
  return indexed != nullptr ? indexed->size() : 0;
}

OverlayRegistry::PositionedRead OverlayRegistry::ReadAtOwn(HANDLE handle, void* buffer, DWORD count,
                                                           LONGLONG offset) {
  PositionedRead result;
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    result.error = ERROR_INVALID_HANDLE;
    return result;
  }
  result.asynchronous = file->overlapped;
  const uint64_t size = SizeOf(*file);
  std::lock_guard<std::mutex> guard(file->lock);
  ReadStream& stream = *file->stream;
  const int64_t before = stream.Tell();
  // The system reads a synchronous handle at its own position when the
  // offset is FILE_USE_FILE_POINTER_POSITION (-2); any other negative offset
  // is refused.
  constexpr LONGLONG kUseFilePointer = -2;
  if (offset == kUseFilePointer && !file->overlapped && before >= 0) offset = before;
  if (offset < 0) {
    result.error = ERROR_INVALID_PARAMETER;
    return result;
  }
  const uint64_t at = static_cast<uint64_t>(offset);
  if (count != 0 && at >= size) result.error = ERROR_HANDLE_EOF;
  const uint32_t failures = ArchiveReadFailures();
  if (count != 0 && at < size && stream.Seek(offset, SeekOrigin::Begin)) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (result.count < count) {
      const uint32_t n = stream.Read(out + result.count, count - result.count);
      if (n == 0) break;
      result.count += n;
    }
    if (result.count == 0) result.error = EmptyReadError(failures);
  } else if (count != 0 && at < size) {
    result.error = kErrorHandleNoLongerValid;
  }
  if (result.error == kErrorHandleNoLongerValid) {
    LogFailure("ReadFile (at an offset)", file->key, offset, count, result.error);
  } else if (result.count == 0 && count != 0 && at < size && result.error != 0) {
    LogSystemReadFailure("ReadFile (at an offset)", file->key, offset, result.error);
  }
  // Where the handle is left: an asynchronous one where it was; a
  // synchronous one after what was read, or at the offset (the end at most)
  // when nothing was.
  if (file->overlapped) {
    if (before >= 0 && stream.Tell() != before) stream.Seek(before, SeekOrigin::Begin);
  } else if (result.count == 0 && result.error != kErrorHandleNoLongerValid) {
    stream.Seek(static_cast<int64_t>(at < size ? at : size), SeekOrigin::Begin);
  }
  return result;
}

bool OverlayRegistry::DescribeOwn(HANDLE handle, FileFacts* facts) const {
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  facts->size = SizeOf(*file);
  if (file->memory) {
    auto it = memory_files_.find(file->key);
    facts->time = memory_file_time_;
    facts->path = JoinPath(base_directory_, it != memory_files_.end() ? it->first : file->key);
    // Memory files: the top bits all set, the key's hash below.
    facts->file_id = 0xFFFFFFFF00000000ull | PathKeyHash(file->key);
    return true;
  }
  const IndexedEntry* indexed = FindEntry(file->key);
  if (indexed == nullptr) {  // cannot happen once start-up has mounted
    facts->path = JoinPath(base_directory_, file->key);
    facts->file_id = 0x8000000000000000ull;
    return true;
  }
  facts->time = ArchiveTime(indexed->archive);
  facts->path = JoinPath(base_directory_, std::string(indexed->key));
  // Archive entries: the top bit set, the archive's place in mount order
  // (oldest first) and the entry's index in it.
  uint64_t archive_number = 0;
  for (size_t i = 0; i < archives_.size(); ++i) {
    if (archives_[i] == indexed->archive) archive_number = archives_.size() - i;
  }
  facts->file_id = 0x8000000000000000ull | (archive_number & 0x7FFFFFFF) << 32 | indexed->index;
  return true;
}

bool OverlayRegistry::CopyOwn(
    HANDLE handle, uint64_t count,
    const std::function<bool(const void* bytes, uint32_t size)>& sink) const {
  std::shared_ptr<OpenFile> file = Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const uint64_t size = SizeOf(*file);
  if (count > size) count = size;
  constexpr uint32_t kPiece = 1u << 20;
  if (file->memory) {
    auto it = memory_files_.find(file->key);
    if (it == memory_files_.end()) return count == 0;
    for (uint64_t done = 0; done < count;) {
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(count - done, kPiece));
      if (!sink(it->second.data() + done, n)) return false;
      done += n;
    }
    return true;
  }
  const IndexedEntry* indexed = FindEntry(file->key);
  std::unique_ptr<ReadStream> stream(
      indexed != nullptr ? indexed->archive->OpenEntryAt(indexed->index) : nullptr);
  std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kPiece]);
  if (!stream || !piece) {  // the entry stream or the buffer could not be made
    SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  uint64_t done = 0;
  while (done < count) {
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(count - done, kPiece));
    const uint32_t n = stream->Read(piece.get(), want);
    if (n == 0) break;
    if (!sink(piece.get(), n)) {
      const DWORD error = GetLastError();
      stream->Close();
      SetLastError(error);
      return false;
    }
    done += n;
  }
  stream->Close();
  if (done != count) {
    SetLastError(kErrorHandleNoLongerValid);
    return false;
  }
  return true;
}

BOOL OverlayRegistry::AttributesExOwn(const WCHAR* path, GET_FILEEX_INFO_LEVELS level,
                                      void* information) {
  PathKeyBuilder builder;
  if (!builder.Make(path, base_directory_)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string_view key = builder.key();
  ULONGLONG size = 0;
  FILETIME time = {};
  if (const IndexedEntry* indexed = FindEntry(key)) {
    size = indexed->size();
    time = ArchiveTime(indexed->archive);
  } else if (auto mit = memory_files_.find(key); mit != memory_files_.end()) {
    size = mit->second.size();
    time = memory_file_time_;
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (level != GetFileExInfoStandard || information == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  data.dwFileAttributes = FILE_ATTRIBUTE_READONLY;
  data.ftCreationTime = time;
  data.ftLastAccessTime = time;
  data.ftLastWriteTime = time;
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  memcpy(information, &data, sizeof data);
  return TRUE;
}

BOOL OverlayRegistry::DirectoryAttributesExOwn(const WCHAR* path, GET_FILEEX_INFO_LEVELS level,
                                               void* information) const {
  PathKeyBuilder builder;
  const IndexedEntry* below =
      builder.Make(path, base_directory_) ? EntryBelowDirectory(builder.key()) : nullptr;
  if (below == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (level != GetFileExInfoStandard || information == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const FILETIME time = ArchiveTime(below->archive);
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  data.ftCreationTime = time;
  data.ftLastAccessTime = time;
  data.ftLastWriteTime = time;
  memcpy(information, &data, sizeof data);
  return TRUE;
}
