// Xp3Writer builds an XP3 archive: entry data first, then the index, then the
// header with the index offset. It is what translators use (through the
// `xp3` tool) to package files for the patch, and what tests use to make
// archives of every shape.
//
// Layout written: the 11-byte magic, the index offset (or, with
// `extended_header`, the value 23 followed by header version 1, the index
// continuation flag 0x80, a skip count of 0 and the index offset), then the
// segments of every entry in the order they were added, then the index block
// (stored or compressed) holding one "File" chunk per entry with "info",
// "segm" and "adlr" sub-chunks.
//
// Segments: an entry is cut into segments of `segment_size` unpacked bytes
// (the last one shorter; 0 means one segment for the whole entry; an empty
// entry gets one empty stored segment). A compressed segment is one complete
// zlib stream or one zstd frame, marked with segment flags 1. Rule: when
// compressing does not make a segment strictly smaller, the segment is
// stored as is (flags 0) instead. The only exception is an unbounded segment
// (segment_size 0 or above 64 MiB) streamed from a file that cannot seek
// back; it is kept compressed because its bytes cannot be read again.
//
// Memory: segments up to 64 MiB are compressed from one buffer of that
// segment's size; larger or unbounded segments are streamed, so memory use
// never depends on the size of an entry. The index is kept in memory until
// Finish (a few dozen bytes per entry and segment).
//
// Names are UTF-8, stored as UTF-16LE with their length in UTF-16 code units;
// the writer does not change separators or case and does not refuse
// duplicates (tests need archives of every shape), but it refuses empty names,
// invalid UTF-8 and names longer than 65535 code units.
//
// Failure: every operation returns false with a message in `*error`. An
// AddEntry* refused for its name or failed while reading its input leaves
// the archive as it was before the call (the caller may go on); a failed
// write to the archive breaks it, and every later call fails. The writer owns its output file; the
// destructor closes an unfinished archive without writing its index. One thread at a time.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class Xp3Compression { kNone, kZlib, kZstd };

// Unpacked bytes per segment unless the caller chooses otherwise: a read that
// starts in the middle of a compressed segment decodes it from its start, so
// segments are kept small enough that such a read costs about half a
// millisecond, yet large enough that compression loses little (archives about
// 2% larger than with 1 MiB segments) and sequential reading keeps up with
// one-pass decoding (measured figures: bench/RESULTS-segment.md).
inline constexpr uint64_t kDefaultSegmentSize = uint64_t{256} << 10;

struct Xp3WriterOptions {
  Xp3Compression compression = Xp3Compression::kZstd;
  int level = 0;                                // 0 = the library's default level
  uint64_t segment_size = kDefaultSegmentSize;  // unpacked bytes per segment; 0 = one per entry
  Xp3Compression index_compression = Xp3Compression::kZlib;  // kNone = stored index (method 0)
  bool extended_header = false;  // write the header whose offset-11 value is 23
  // When set and true, the entry being added stops at the next segment
  // boundary and fails with "interrupted" (a pack being cancelled).
  const std::atomic<bool>* cancel = nullptr;
  // When set, told the unpacked size of each segment once it is written, so
  // that a long entry can show its progress.
  std::function<void(uint64_t)> on_segment = nullptr;
};

// What the segments written so far hold: compressed ones, and ones stored as
// is (compression did not make them smaller, or no compression was asked).
struct Xp3SegmentTotals {
  uint64_t compressed_segments = 0;
  uint64_t compressed_unpacked_bytes = 0;
  uint64_t compressed_packed_bytes = 0;
  uint64_t stored_segments = 0;
  uint64_t stored_bytes = 0;
};

// Adler-32 of `size` bytes, continuing from `adler` (1 starts a new sum).
uint32_t Adler32(const void* data, size_t size, uint32_t adler = 1);

// Name of a compression method as the tool prints it ("none", "zlib", "zstd").
const char* CompressionName(Xp3Compression compression);

class Xp3Writer {
 public:
  explicit Xp3Writer(Xp3WriterOptions options);
  ~Xp3Writer();  // an unfinished archive is closed, not completed

  Xp3Writer(const Xp3Writer&) = delete;
  Xp3Writer& operator=(const Xp3Writer&) = delete;

  // Creates or truncates the archive file and leaves room for the header
  // (zeros until Finish writes it). Also checks
  // the options (level range of the chosen library).
  bool Open(const std::string& utf8_path, std::string* error);

  // Adds an entry whose bytes are in memory.
  bool AddEntry(const std::string& utf8_name, const void* data, size_t size, std::string* error);

  // Adds an entry read from `file`'s current position until end of file, in
  // constant memory. The file is not closed.
  bool AddEntryFromFile(const std::string& utf8_name, std::FILE* file, std::string* error);

  // Writes the index, then the header with the index offset, and closes the
  // file.
  bool Finish(std::string* error);

  // Totals of what was written so far (for progress and summaries).
  uint64_t entry_count() const { return entry_count_; }
  uint64_t unpacked_bytes() const { return unpacked_bytes_; }
  uint64_t packed_bytes() const { return packed_bytes_; }
  const Xp3SegmentTotals& segment_totals() const { return totals_; }

 private:
  class Source;
  class MemorySource;
  class FileSource;
  struct Segment;

  bool AddEntryFrom(const std::string& utf8_name, Source* source, std::string* error);
  bool WriteBufferedSegment(const uint8_t* data, size_t size, Segment* segment, std::string* error);
  bool WriteStreamedSegment(Source* source, uint64_t limit, uint32_t* adler, Segment* segment,
                            bool* at_end, std::string* error);
  bool CompressBlock(Xp3Compression method, const uint8_t* data, size_t size,
                     std::vector<uint8_t>* out, std::string* error, bool checksum = false);
  bool WriteBytes(const void* data, size_t size, std::string* error);
  bool SeekOutput(uint64_t offset, std::string* error);
  bool Fail(std::string* error, const std::string& message);

  Xp3WriterOptions options_;
  std::FILE* file_ = nullptr;
  std::string path_;
  bool broken_ = false;
  uint64_t position_ = 0;         // where the next byte goes
  uint64_t high_water_ = 0;       // the furthest byte ever written (a streamed segment
                                  // that fell back to storing leaves bytes past position_)
  std::vector<uint8_t> header_;   // written by Finish, with the index offset
  std::vector<uint8_t> index_;    // the index data, one "File" chunk per entry
  std::vector<uint8_t> buffer_;   // one segment's input
  std::vector<uint8_t> packed_;   // one segment's compressed output
  void* zstd_context_ = nullptr;  // ZSTD_CCtx, made on first use
  uint64_t entry_count_ = 0;
  uint64_t unpacked_bytes_ = 0;
  uint64_t packed_bytes_ = 0;
  Xp3SegmentTotals totals_;
};
