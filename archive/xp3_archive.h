// Xp3Archive: one opened XP3 archive, that is the archive file and the list of
// entries read from its index, and the factory of entry streams.
//
// The archive owns its file stream and entry list. Entry streams (OpenEntry)
// borrow the file stream and share the archive's lock; all of them must be
// deleted before the archive. The index is parsed once, on one thread, before
// the archive is shared; afterwards the archive is not modified and entry
// streams may be used from any thread (each operation holds the shared lock
// when the archive is `locked`).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "archive/file_read_stream.h"
#include "archive/read_stream.h"
#include "archive/xp3_entry.h"

class Xp3Archive {
 public:
  // Opens the file; never fails by itself (a file that cannot be opened makes
  // ParseIndex fail). `locked` makes entry streams serialise on a lock shared
  // by the whole archive.
  Xp3Archive(const std::string& utf8_path, bool locked);
  ~Xp3Archive();
  Xp3Archive(const Xp3Archive&) = delete;
  Xp3Archive& operator=(const Xp3Archive&) = delete;

  // Reads the header and the index and fills the entry list. False for a file
  // that is not an archive or whose index is truncated or corrupt (the entry
  // list is then empty); index content of an unknown kind is reported on
  // standard output.
  bool ParseIndex();

  // Entries in index order.
  const std::vector<Xp3Entry>& entries() const { return entries_; }
  // Hands the entry list over and leaves the archive's empty, for an owner
  // that keeps the entries itself instead of copying them (the overlay).
  std::vector<Xp3Entry> TakeEntries() { return std::exchange(entries_, {}); }
  // Version from the extended header, 0 without one.
  uint32_t header_version() const { return header_version_; }

  // A seekable stream over the entry's bytes, which the caller deletes. The
  // stream keeps its own copy of `entry`. Null only when the archive file is
  // not open or memory ran out.
  ReadStream* OpenEntry(Xp3Entry entry);

 private:
  bool ParseIndexData();

  std::vector<Xp3Entry> entries_;
  std::unique_ptr<FileReadStream> file_;
  uint32_t header_version_ = 0;
  bool locked_;
  std::shared_ptr<std::mutex> lock_;
};

// Decodes the compressed data in `region` (zstd or zlib, chosen as for entry
// segments) into `*out`. Takes over the region and deletes it in every case.
// With `expected_size` not 0 the data must decode to exactly that many bytes
// or more (only that many are taken); with 0 everything is taken. False on a
// short result, a decoder error, or a region that cannot be read. Memory
// grows with what actually arrives, so a wrong expected size cannot force a
// huge allocation.
bool DecompressToBuffer(ReadStream* region, std::vector<uint8_t>* out, uint32_t expected_size);
