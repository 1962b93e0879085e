// Xp3Archive: one opened XP3 archive, that is the archive file and the list of
// entries read from its index, and the factory of entry streams.
//
// The archive owns its file stream and entry list. Entry streams (OpenEntry)
// borrow the file stream; all of them must be deleted before the archive.
// The index is parsed once, on one thread, before the archive is shared;
// afterwards the archive is not modified and entry streams may be used from
// any thread. Decoded segments of the archive live in the process-wide
// SegmentCache under the archive's id, and leave it with the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_read_stream.h"
#include "archive/read_stream.h"
#include "archive/xp3_entry.h"

class Xp3Archive {
 public:
  // Opens the file; never fails by itself (a file that cannot be opened makes
  // ParseIndex fail). `locked` gives each entry stream a lock of its own, so
  // that one stream may be used from several threads.
  Xp3Archive(const std::string& utf8_path, bool locked);
  ~Xp3Archive();
  Xp3Archive(const Xp3Archive&) = delete;
  Xp3Archive& operator=(const Xp3Archive&) = delete;

  // Reads the header and the index and fills the entry list. False for a file
  // that is not an archive or whose index is truncated or corrupt (the entry
  // list is then empty); index content of an unknown kind is reported on
  // standard output.
  bool ParseIndex();

  // The entry list: compact records over storage shared by the whole
  // archive (one buffer of names, one list of segments), so that an index of
  // many entries costs a few allocations rather than a few per entry.
  // Entries come out as Xp3Entry values made on request; the key and size
  // accessors read a record without making one.
  class EntryList {
   public:
    class Iterator {
     public:
      using iterator_category = std::input_iterator_tag;
      using value_type = Xp3Entry;
      using difference_type = std::ptrdiff_t;
      using pointer = void;
      using reference = Xp3Entry;

      Iterator(const EntryList* list, size_t index) : list_(list), index_(index) {}
      Xp3Entry operator*() const { return (*list_)[index_]; }
      Iterator& operator++() {
        ++index_;
        return *this;
      }
      bool operator==(const Iterator& other) const { return index_ == other.index_; }
      bool operator!=(const Iterator& other) const { return index_ != other.index_; }

     private:
      const EntryList* list_;
      size_t index_;
    };

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    Xp3Entry operator[](size_t index) const;
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, records_.size()); }

    // The entry's name as UTF-8, exactly as the index spells it (unless
    // ReplaceInKeys changed it).
    std::string_view key(size_t index) const {
      const uint32_t begin = records_[index].name_offset;
      return std::string_view(names_.data() + begin, NameEnd(index) - begin);
    }
    uint64_t unpacked_size(size_t index) const { return records_[index].unpacked_size; }

   private:
    friend class Xp3Archive;
    // Names and segments are stored in entry order, so an entry's name ends
    // and its segments end where the next entry's begin.
    struct Record {
      uint32_t name_offset = 0;    // in names_
      uint32_t first_segment = 0;  // in segments_
      uint32_t flags = 0;
      uint32_t checksum = 0;
      uint64_t unpacked_size = 0;
      uint64_t packed_size = 0;
    };

    uint32_t NameEnd(size_t index) const {
      return index + 1 < records_.size() ? records_[index + 1].name_offset
                                         : static_cast<uint32_t>(names_.size());
    }
    uint32_t SegmentEnd(size_t index) const {
      return index + 1 < records_.size() ? records_[index + 1].first_segment
                                         : static_cast<uint32_t>(segments_.size());
    }
    void Clear();

    std::vector<Record> records_;
    std::vector<char> names_;
    std::vector<Xp3Segment> segments_;
  };

  // Entries in index order.
  const EntryList& entries() const { return entries_; }
  // Replaces every `from` byte of every key with `to`, in place. For an owner
  // that indexes the keys in another spelling (the overlay uses backslashes)
  // without keeping a second copy of them. Only ASCII bytes should be
  // replaced, so that the keys stay UTF-8.
  void ReplaceInKeys(char from, char to);
  // Version from the extended header, 0 without one.
  uint32_t header_version() const { return header_version_; }

  // A seekable stream over the entry's bytes, which the caller deletes. The
  // stream keeps its own copy of `entry`. Null only when the archive file is
  // not open or memory ran out.
  ReadStream* OpenEntry(Xp3Entry entry);
  // The same for the entry at `index` of entries(), where making the entry
  // value is part of the call: null too when that runs out of memory, so a
  // caller has no exception to catch.
  ReadStream* OpenEntryAt(size_t index);

 private:
  bool ParseIndexData();
  bool ParseEntries(const std::vector<uint8_t>& index);

  EntryList entries_;
  std::unique_ptr<FileReadStream> file_;
  uint32_t header_version_ = 0;
  uint64_t id_;
  bool locked_;
};

// Decodes the compressed data in `region` (zstd or zlib, chosen as for entry
// segments) into `*out`. Takes over the region and deletes it in every case.
// With `expected_size` not 0 the data must decode to exactly that many bytes
// or more (only that many are taken); with 0 everything is taken. False on a
// short result, a decoder error, or a region that cannot be read. Memory
// grows with what actually arrives, so a wrong expected size cannot force a
// huge allocation, and the result may be at most 1032 times the region's
// length (more, announced or decoded, is refused as corrupt): the caller
// makes the region end where the file does.
bool DecompressToBuffer(ReadStream* region, std::vector<uint8_t>* out, uint32_t expected_size);
