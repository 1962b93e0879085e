// Fault injection: for every k, the k-th read of the archive file fails or
// comes back short, and separately the k-th allocation fails, while an
// archive is mounted and entries of every kind (stored, zlib, zstd, several
// segments, empty) are opened, read, seeked and closed.
//
// Every run must end cleanly: a failed mount, a null OpenEntry, or reads
// that stop early with HasError true; never an exception, a leak (the
// sanitizer build checks), a lock left held (the next call would hang), or
// a byte other than the entry's own at its position.
//
// The segment cache is checked here as well: the buffers of segments it
// lets go must be freed after its lock is released, which only a program
// that sees every delete can observe.
//
// This program replaces the global operator new and delete, so it is a test
// program of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "archive/buffer_pool.h"
#include "archive/segment_cache.h"
#include "archive/test_archive_builder.h"
#include "archive/read_failure.h"
#include "archive/xp3_archive.h"
#include "archive/xp3_file.h"
#include "platform/positioned_file.h"

namespace {

// Allocation counting: while armed, the allocation numbered `fail_at` (from
// 1) fails as the real operator would: bad_alloc, or null for nothrow.
std::atomic<bool> g_armed{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_fail_at{0};
std::atomic<size_t> g_largest{0};

// While armed, nothing larger than this is ever handed out: a parse that
// asks for it has already gone wrong, and refusing it at once keeps such a
// run short (the size asked is still recorded as the largest).
constexpr size_t kRefusedAllocation = size_t{256} << 20;

bool AllocationFails(size_t size) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  size_t largest = g_largest.load();
  while (size > largest && !g_largest.compare_exchange_weak(largest, size)) {
  }
  return ++g_allocations == g_fail_at.load() || size >= kRefusedAllocation;
}

void* Allocate(size_t size) {
  if (AllocationFails(size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

// Release watch: while a cache is watched, freeing one of the buffers in
// g_watched asks the LockProbe thread to take that cache's lock. Should it
// not get it within two seconds, the buffer was freed under the lock (the
// freeing thread holds it); that is counted and watching stops, since every
// later probe would wait as long.
constexpr size_t kWatchSlots = 256;
std::atomic<const void*> g_watched[kWatchSlots];
std::atomic<bool> g_watching{false};
std::atomic<int> g_probe{0};  // 0 idle, 1 asked, 2 answered
std::atomic<int> g_freed_after_lock{0};
std::atomic<int> g_freed_under_lock{0};

void CheckRelease(const void* p) {
  if (p == nullptr || !g_watching.load()) return;
  bool watched = false;
  for (const auto& slot : g_watched) {
    if (slot.load(std::memory_order_relaxed) == p) {
      watched = true;
      break;
    }
  }
  if (!watched) return;
  g_probe = 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (g_probe.load() != 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  if (g_probe.load() == 2) {
    g_probe = 0;
    ++g_freed_after_lock;
  } else {
    ++g_freed_under_lock;
    g_watching = false;
  }
}

}  // namespace

// The replacements below pair malloc with free; GCC cannot see that once
// they are inlined into callers that use new and delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept {
  CheckRelease(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept {
  CheckRelease(p);
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Read faults through the platform seam: the read numbered `g_read_fail_at`
// fails, or delivers half of what it may.
enum class ReadFault { kFail, kShort };
std::atomic<long> g_reads{0};
std::atomic<long> g_read_fail_at{0};
ReadFault g_read_fault = ReadFault::kFail;

int64_t ReadFaultHook(uint32_t size) {
  if (++g_reads != g_read_fail_at.load()) return size;
  // Signed on purpose: -1 against an unsigned half would become 2^32 - 1,
  // a "read" that never fails.
  return g_read_fault == ReadFault::kFail ? int64_t{-1} : int64_t{size / 2};
}

// Faults of single system reads: the system read numbered
// `g_system_fault_at` comes back short (at most half of it, at least a
// byte), is interrupted, or fails.
enum class SystemFault { kShort, kInterrupted, kFailed };
std::atomic<long> g_system_reads{0};
std::atomic<long> g_system_fault_at{0};
SystemFault g_system_fault = SystemFault::kShort;

int64_t SystemReadHook(uint32_t size) {
  if (++g_system_reads != g_system_fault_at.load()) return size;
  switch (g_system_fault) {
    case SystemFault::kShort:
      return size > 1 ? size / 2 : size;
    case SystemFault::kInterrupted:
      return PositionedFile::kReadInterrupted;
    case SystemFault::kFailed:
      break;
  }
  return PositionedFile::kReadFailed;
}

struct EntryPlan {
  const char16_t* name;
  std::vector<SegmentPlan> segments;
};

const std::vector<EntryPlan>& Plans() {
  static const std::vector<EntryPlan> plans = {
      {u"stored", {{SegmentKind::kStored, 1000}, {SegmentKind::kStored, 2000}}},
      {u"zlib", {{SegmentKind::kZlib, 5000}}},
      {u"zstd", {{SegmentKind::kZstd, 5000}}},
      {u"mixed",
       {{SegmentKind::kStored, 2000}, {SegmentKind::kZlib, 3000}, {SegmentKind::kZstd, 4000}}},
      {u"empty", {}},
  };
  return plans;
}

// What one run saw. Filled without allocating while faults are armed.
struct Outcome {
  bool mounted = false;
  int opened = 0;
  int completed = 0;  // entries read to their end without an error
  char failure[160] = {};

  void Fail(const char* what, int entry, int64_t position) {
    if (failure[0] == 0)
      std::snprintf(failure, sizeof failure, "%s (entry %d, at %lld)", what, entry,
                    static_cast<long long>(position));
  }
};

// Reads from the stream's position; every delivered byte must be the
// entry's, and a read that stops before the end must report an error.
// Returns false once the stream reported an error.
bool ReadChecked(ReadStream* s, const Bytes& content, uint32_t step, uint64_t until, uint8_t* buf,
                 int entry, Outcome* outcome) {
  int64_t at = s->Tell();
  while (static_cast<uint64_t>(at) < until) {
    const auto want =
        static_cast<uint32_t>(std::min<uint64_t>(step, until - static_cast<uint64_t>(at)));
    const uint32_t failures = ArchiveReadFailures();
    const uint32_t got = s->Read(buf, want);
    if (got == 0) {
      // Damage is kept (HasError); a failed system read fails this read
      // alone, and is counted for the caller to tell the two apart.
      const bool by_system = ArchiveReadFailures() != failures;
      if (!s->HasError() && !by_system) {
        outcome->Fail("read stopped early without an error", entry, at);
      }
      if (by_system && s->HasError()) outcome->Fail("a failed system read was kept", entry, at);
      return false;
    }
    if (got > want || std::memcmp(buf, content.data() + at, got) != 0) {
      outcome->Fail("wrong bytes delivered", entry, at);
      return false;
    }
    at += got;
    if (s->Tell() != at) outcome->Fail("position does not follow the bytes", entry, at);
  }
  return true;
}

// Mount, then for each entry: open, read in small then large steps, seek
// around (backwards, forwards within a segment, to the end), close.
void RunScenario(const std::string& path, const std::vector<Bytes>& contents, Outcome* outcome) {
  static uint8_t buf[16384];
  Xp3Archive archive(path, true);
  if (!archive.ParseIndex()) return;
  outcome->mounted = true;
  const Xp3Archive::EntryList& entries = archive.entries();
  if (entries.size() != contents.size()) outcome->Fail("entry count", -1, 0);
  for (size_t i = 0; i < entries.size() && i < contents.size(); ++i) {
    const int entry = static_cast<int>(i);
    ReadStream* s = archive.OpenEntryAt(i);
    if (s == nullptr) continue;
    ++outcome->opened;
    const Bytes& content = contents[i];
    const uint64_t size = content.size();
    bool ok = ReadChecked(s, content, 700, size / 2, buf, entry, outcome);
    if (ok && s->Seek(static_cast<int64_t>(size / 3), Begin)) {
      ok = ReadChecked(s, content, 300, size / 3 + 600 < size ? size / 3 + 600 : size, buf, entry,
                       outcome);
    }
    if (ok && size > 10 && s->Seek(7, Current)) {
      ok = ReadChecked(s, content, 5000, size, buf, entry, outcome);
    }
    if (ok && s->Seek(0, End) && s->Read(buf, 1) != 0) outcome->Fail("read past the end", entry, 0);
    if (ok && s->Seek(0, Begin)) {
      ok = ReadChecked(s, content, sizeof buf, size, buf, entry, outcome);
      if (ok && !s->HasError()) ++outcome->completed;
    }
    if (s->Tell() < 0) outcome->Fail("negative position", entry, s->Tell());
    s->Close();
    delete s;
  }
}

class FaultInjection : public testing::Test {
 protected:
  void SetUp() override {
    for (ArchiveBuilder::IndexCoding coding :
         {ArchiveBuilder::IndexCoding::kStored, ArchiveBuilder::IndexCoding::kZlib,
          ArchiveBuilder::IndexCoding::kZstd}) {
      ArchiveBuilder builder;
      contents_.clear();
      uint32_t seed = 1;
      for (const EntryPlan& plan : Plans()) {
        size_t size = 0;
        for (const SegmentPlan& segment : plan.segments) size += segment.size;
        contents_.push_back(PatternData(size, seed++));
        builder.AddEntry(plan.name, contents_.back(), plan.segments);
      }
      files_.push_back(std::make_unique<TempFile>(builder.Build(coding)));
    }
  }
  void TearDown() override {
    PositionedFile::SetReadFaultHook(nullptr);
    PositionedFile::SetSystemReadHook(nullptr);
  }

  std::vector<Bytes> contents_;
  std::vector<std::unique_ptr<TempFile>> files_;
};

TEST_F(FaultInjection, WithoutFaultsEverythingIsRead) {
  for (const auto& file : files_) {
    Outcome outcome;
    RunScenario(file->path(), contents_, &outcome);
    EXPECT_STREQ(outcome.failure, "");
    EXPECT_TRUE(outcome.mounted);
    EXPECT_EQ(outcome.completed, static_cast<int>(contents_.size()));
  }
}

TEST_F(FaultInjection, EveryFailingOrShortReadEndsCleanly) {
  PositionedFile::SetReadFaultHook(ReadFaultHook);
  for (ReadFault fault : {ReadFault::kFail, ReadFault::kShort}) {
    g_read_fault = fault;
    for (const auto& file : files_) {
      long runs = 0;
      for (long k = 1;; ++k) {
        g_reads = 0;
        g_read_fail_at = k;
        Outcome outcome;
        RunScenario(file->path(), contents_, &outcome);
        ASSERT_STREQ(outcome.failure, "") << "read " << k;
        ++runs;
        if (g_reads < k) break;  // the run ended before the k-th read
      }
      EXPECT_GT(runs, 10);
    }
  }
}

// A failed system read of the archive file (a share that dropped for a
// moment) fails the read that met it and no other: the same read succeeds
// once the system reads again, with the entry's bytes, in every entry,
// stored or compressed, and whichever read of the archive file failed.
TEST_F(FaultInjection, AFailedSystemReadFailsOneReadAndTheNextSucceeds) {
  PositionedFile::SetReadFaultHook(ReadFaultHook);
  g_read_fault = ReadFault::kFail;
  g_read_fail_at = 0;  // mounting reads without a fault
  static uint8_t buf[16384];
  Xp3Archive archive(files_[0]->path(), true);
  ASSERT_TRUE(archive.ParseIndex());
  const Xp3Archive::EntryList& entries = archive.entries();
  ASSERT_EQ(entries.size(), contents_.size());
  int failed_reads = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Bytes& content = contents_[i];
    if (content.empty()) continue;
    for (long k = 1; k <= 4; ++k) {
      std::unique_ptr<ReadStream> s(archive.OpenEntryAt(i));
      ASSERT_NE(s, nullptr);
      g_reads = 0;
      g_read_fail_at = k;
      uint64_t at = 0;
      while (at < content.size()) {
        const uint32_t failures = ArchiveReadFailures();
        const uint32_t got = s->Read(buf, 3000);
        if (got == 0) {
          ASSERT_NE(ArchiveReadFailures(), failures) << "entry " << i << " at " << at;
          EXPECT_FALSE(s->HasError()) << "entry " << i;
          ++failed_reads;
          continue;  // the same read once more
        }
        ASSERT_EQ(std::memcmp(buf, content.data() + at, got), 0) << "entry " << i << " at " << at;
        at += got;
      }
      EXPECT_FALSE(s->HasError());
    }
  }
  EXPECT_GT(failed_reads, 0);
}

// The system may cut any single read short or interrupt it; neither loses a
// byte or shows as damage: every k over every system read of a mount and of
// the entry reads still mounts and reads everything. A failed system read
// ends the run cleanly.
TEST_F(FaultInjection, EverySystemReadCutShortInterruptedOrFailedEndsAsItShould) {
  PositionedFile::SetSystemReadHook(SystemReadHook);
  for (SystemFault fault : {SystemFault::kShort, SystemFault::kInterrupted, SystemFault::kFailed}) {
    g_system_fault = fault;
    for (const auto& file : files_) {
      long runs = 0;
      for (long k = 1;; ++k) {
        g_system_reads = 0;
        g_system_fault_at = k;
        Outcome outcome;
        RunScenario(file->path(), contents_, &outcome);
        ASSERT_STREQ(outcome.failure, "") << "system read " << k;
        if (fault != SystemFault::kFailed) {
          ASSERT_TRUE(outcome.mounted) << "system read " << k;
          ASSERT_EQ(outcome.completed, static_cast<int>(contents_.size())) << "system read " << k;
        }
        ++runs;
        if (g_system_reads < k) break;  // the run ended before the k-th read
      }
      EXPECT_GT(runs, 10);
    }
  }
}

TEST_F(FaultInjection, EveryFailingAllocationEndsCleanly) {
  for (const auto& file : files_) {
    long runs = 0;
    for (long k = 1;; ++k) {
      Outcome outcome;
      g_allocations = 0;
      g_fail_at = k;
      g_armed = true;
      try {
        RunScenario(file->path(), contents_, &outcome);
      } catch (...) {
        g_armed = false;
        FAIL() << "an exception escaped at allocation " << k;
      }
      g_armed = false;
      ASSERT_STREQ(outcome.failure, "") << "allocation " << k;
      ++runs;
      if (g_allocations < k) {
        // The run needed fewer allocations: nothing failed, all was read.
        EXPECT_EQ(outcome.completed, static_cast<int>(contents_.size()));
        break;
      }
    }
    EXPECT_GT(runs, 10);
  }
}

// The largest single allocation while a hostile index is parsed stays far
// below what it claims (gigabytes).
TEST(AllocationBound, HostileIndexesAllocateLittle) {
  // Many "File" chunks whose names claim 65535 characters that are not
  // there.
  ArchiveBuilder names;
  for (int i = 0; i < 2000; ++i) {
    ByteWriter info;
    info.U32(0).U64(0).U64(0).U16(0xFFFF);
    names.AddIndexChunk(Chunk("File", Chunk("info", info.bytes())));
  }
  // A compressed index announcing nearly 4 GiB from a few bytes.
  ArchiveBuilder small;
  small.AddEntry(u"a", PatternData(10, 1), {{SegmentKind::kStored, 10}});
  for (const Bytes& bytes : {names.Build(), names.Build(ArchiveBuilder::IndexCoding::kZlib),
                             small.Build(ArchiveBuilder::IndexCoding::kZlib, 0xFFFFFFF0u),
                             small.Build(ArchiveBuilder::IndexCoding::kZstd, 0xFFFFFFF0u)}) {
    TempFile file(bytes);
    g_largest = 0;
    g_fail_at = 0;
    g_armed = true;
    bool parsed;
    {
      Xp3Archive archive(file.path(), true);
      parsed = archive.ParseIndex();
    }
    g_armed = false;
    EXPECT_FALSE(parsed);
    EXPECT_LE(g_largest.load(), size_t{1} << 20) << bytes.size();
  }
}

// Where each size field of a stored index lies in the file: the index's own
// size, every chunk and sub-chunk size, and the sizes and offsets of "info"
// and "segm".
struct SizeField {
  std::string name;
  size_t at;
  int width;
};

std::vector<SizeField> SizeFieldsOf(const Bytes& file) {
  auto u64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{file[at + i]} << (8 * i);
    return v;
  };
  std::vector<SizeField> fields;
  const size_t index_at = static_cast<size_t>(u64(11));
  fields.push_back({"index size", index_at + 1, 8});
  const size_t index_end = index_at + 9 + static_cast<size_t>(u64(index_at + 1));
  int file_number = 0;
  for (size_t chunk = index_at + 9; chunk < index_end;) {
    const size_t chunk_end = chunk + 12 + static_cast<size_t>(u64(chunk + 4));
    const std::string entry = "file " + std::to_string(file_number++) + " ";
    fields.push_back({entry + "chunk size", chunk + 4, 8});
    for (size_t sub = chunk + 12; sub < chunk_end;) {
      const std::string tag(reinterpret_cast<const char*>(&file[sub]), 4);
      const size_t body = sub + 12;
      fields.push_back({entry + tag + " size", sub + 4, 8});
      if (tag == "info") {
        fields.push_back({entry + "info unpacked size", body + 4, 8});
        fields.push_back({entry + "info packed size", body + 12, 8});
        fields.push_back({entry + "name length", body + 20, 2});
      } else if (tag == "segm") {
        const size_t records = static_cast<size_t>(u64(sub + 4)) / 28;
        for (size_t r = 0; r < records; ++r) {
          const std::string segment = entry + "segment " + std::to_string(r) + " ";
          fields.push_back({segment + "offset", body + 28 * r + 4, 8});
          fields.push_back({segment + "unpacked size", body + 28 * r + 12, 8});
          fields.push_back({segment + "packed size", body + 28 * r + 20, 8});
        }
      }
      sub = body + static_cast<size_t>(u64(sub + 4));
    }
    chunk = chunk_end;
  }
  return fields;
}

// Mounts the archive and reads every entry to its end (or its failure) in
// steps of 64 KiB, at most `max_reads` reads an entry; true when it mounted.
bool MountAndReadAll(const std::string& path, int max_reads) {
  static uint8_t buf[65536];
  Xp3Archive archive(path, true);
  if (!archive.ParseIndex()) return false;
  for (size_t i = 0; i < archive.entries().size(); ++i) {
    std::unique_ptr<ReadStream> s(archive.OpenEntryAt(i));
    if (s == nullptr) continue;
    for (int n = 0; n < max_reads && s->Read(buf, sizeof buf) > 0; ++n) {
    }
  }
  return true;
}

// No size field of the index or of a segment, whatever it claims, makes a
// mount and a read of every entry allocate more than the bytes behind it
// justify: the index fields at most the 1 MiB the sound archive needs, the
// segment fields at most a segment that may be decoded whole (16 MiB, from
// a few bytes of zstd) and the buffers around it.
TEST(AllocationBound, NoSizeFieldOfTheIndexOrASegmentForcesALargeAllocation) {
  ArchiveBuilder builder;
  for (const EntryPlan& plan : Plans()) {
    size_t size = 0;
    for (const SegmentPlan& segment : plan.segments) size += segment.size;
    builder.AddEntry(plan.name, PatternData(size, 3), plan.segments);
  }
  const Bytes sound = builder.Build();
  const std::vector<SizeField> fields = SizeFieldsOf(sound);
  ASSERT_GT(fields.size(), 40u);
  const uint64_t claims[] = {0xFFFFFFFFull, 0xFFFFFFF0ull, 0x100000000ull, 0x7FFFFFFFFFFFFFFFull,
                             ~0ull,         0x01000001ull, 0x00FFFFFFull};
  for (const SizeField& field : fields) {
    const bool in_segment = field.name.find("segment") != std::string::npos;
    const size_t bound = in_segment ? Xp3File::kMaxBufferedSegment + (size_t{1} << 20) : 1 << 20;
    for (uint64_t claim : claims) {
      Bytes file = sound;
      for (int i = 0; i < field.width; ++i)
        file[field.at + i] = static_cast<uint8_t>(claim >> (8 * i));
      TempFile temp(file);
      g_largest = 0;
      g_fail_at = 0;
      g_armed = true;
      MountAndReadAll(temp.path(), 64);
      g_armed = false;
      EXPECT_LE(g_largest.load(), bound) << field.name << " claiming " << claim;
    }
  }
  // A compressed index: its packed and unpacked sizes.
  for (ArchiveBuilder::IndexCoding coding :
       {ArchiveBuilder::IndexCoding::kZlib, ArchiveBuilder::IndexCoding::kZstd}) {
    const Bytes packed = builder.Build(coding);
    uint64_t index_at = 0;
    for (int i = 0; i < 8; ++i) index_at |= uint64_t{packed[11 + i]} << (8 * i);
    for (size_t at : {index_at + 1, index_at + 9}) {
      for (uint64_t claim : claims) {
        Bytes file = packed;
        for (int i = 0; i < 8; ++i) file[at + i] = static_cast<uint8_t>(claim >> (8 * i));
        TempFile temp(file);
        g_largest = 0;
        g_fail_at = 0;
        g_armed = true;
        MountAndReadAll(temp.path(), 64);
        g_armed = false;
        EXPECT_LE(g_largest.load(), size_t{1} << 20) << at - index_at << " claiming " << claim;
      }
    }
  }
}

// Answers CheckRelease's probes by taking the cache's lock on a thread of
// its own.
class LockProbe {
 public:
  explicit LockProbe(SegmentCache& cache)
      : thread_([this, &cache] {
          while (!stop_) {
            if (g_probe.load() == 1) {
              cache.GetStats();
              g_probe = 2;
            } else {
              std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
          }
        }) {}
  ~LockProbe() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool FillPattern(void*, uint8_t* out, size_t size) {
  std::memset(out, 0x5A, size);
  return true;
}

TEST(SegmentRelease, SegmentsLeaveTheCacheBeforeTheirBuffersAreFreed) {
  constexpr size_t kSegment = 1000;
  constexpr size_t kCount = 100;
  BufferPool pool(0);  // keeps nothing: a released segment's buffer is freed at once
  SegmentCache cache(kCount * kSegment, pool);
  const uint64_t archive = SegmentCache::NewArchiveId();
  LockProbe probe(cache);
  // Fills the cache with kCount small segments and watches their buffers.
  auto fill = [&] {
    for (auto& slot : g_watched) slot = nullptr;
    for (size_t i = 0; i < kCount; ++i) {
      const SegmentKey key{archive, i * kSegment, kSegment, kSegment};
      SegmentCache::Segment segment = cache.Get(key, FillPattern, nullptr);
      ASSERT_NE(segment, nullptr);
      g_watched[i] = segment->data();
    }
    ASSERT_EQ(cache.GetStats().segments, kCount);
    g_freed_after_lock = 0;
    g_freed_under_lock = 0;
    g_watching = true;
  };
  auto check = [&](const char* how) {
    g_watching = false;
    // A probe that timed out is answered once the lock is free.
    while (g_probe.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_probe = 0;
    EXPECT_EQ(g_freed_under_lock.load(), 0) << how;
    EXPECT_EQ(g_freed_after_lock.load(), static_cast<int>(kCount)) << how;
  };

  // One segment as large as the budget evicts them all as it is published.
  fill();
  const SegmentKey large{archive, 1 << 30, kCount * kSegment, kCount * kSegment};
  EXPECT_NE(cache.Get(large, FillPattern, nullptr), nullptr);
  check("publishing");
  EXPECT_NE(cache.Find(large), nullptr);
  fill();
  cache.SetBudget(0);
  check("lowering the budget");
  cache.SetBudget(kCount * kSegment);
  fill();
  cache.DropArchive(archive);
  check("dropping the archive");
}

}  // namespace
