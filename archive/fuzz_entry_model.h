// Fuzzing support: what an archive's bytes say, worked out independently of
// the archive layer, and a driver that checks an entry stream against it.
//
// The reference reads the index as plainly as the format allows and decodes
// each segment in one call of the libraries (no streaming, no buffering),
// so that the archive layer's own parser, buffering and decoders are
// checked against a second reading. A check that fails aborts the process,
// which the fuzzer reports as a crash. Single-threaded; test code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/read_stream.h"
#include "archive/xp3_entry.h"

namespace fuzz {

// Aborts (a finding) when `condition` is false.
void Require(bool condition, const char* what);

// What the harness is doing, printed with a failed check.
void SetContext(const char* text);

// The index as the format lays it out. `ok` false for an archive that must
// not mount; `exact` false when the index is compressed, where the archive
// layer may refuse what decodes here (its expansion and window bounds).
struct ReferenceIndex {
  bool ok = false;
  bool exact = true;
  std::vector<Xp3Entry> entries;
};
ReferenceIndex ParseReferenceIndex(const uint8_t* file, size_t size);

// An entry's bytes as its segments lay them out: `content` has the entry's
// size, and `sound` lists the ranges [begin, end) whose bytes are there and
// belong to segments that decode cleanly to their declared size (one range
// per segment at most; none when the layout itself does not add up). Bytes
// outside them must never be delivered. `modeled` is false for entries too
// large to model.
struct EntryModel {
  bool modeled = false;
  uint64_t size = 0;
  std::vector<uint8_t> content;
  std::vector<std::pair<uint64_t, uint64_t>> sound;

  // Whether [position, position + count) lies within one sound range.
  bool IsSound(uint64_t position, uint64_t count) const;
  bool AllSound() const;
};
EntryModel ModelEntry(const Xp3Entry& entry, const uint8_t* file, size_t file_size,
                      uint64_t max_size);

// Decodes compressed data in one call, as the format defines it (zstd when
// it starts with the frame magic, else zlib). True when it decodes cleanly
// to exactly `size` bytes.
bool DecodeWhole(const uint8_t* data, size_t data_size, uint64_t size, std::vector<uint8_t>* out);

// Decodes compressed data leniently, at most `limit` bytes: what a stream
// gives before it meets an error or its end.
void DecodePrefix(const uint8_t* data, size_t size, uint64_t limit, std::vector<uint8_t>* out);

// Operations on an entry stream taken from fuzz input: reads of mixed sizes,
// seeks from every origin, Close. Every answer is checked against the model:
// positions, seek results, and bytes; a read that yields nothing before the
// end must come with an error, and only where the model has none or after
// an earlier error. Ends with a full read from the start.
void DriveEntry(ReadStream* stream, const EntryModel& model, const uint8_t* script,
                size_t script_size);

}  // namespace fuzz
