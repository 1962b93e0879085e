// Xp3Entry and Xp3Segment: one file of an archive index as the archive
// describes it. Plain values, copied freely: every entry stream keeps its
// own copy of its entry. The archive itself stores its entries in a compact
// form and makes these values on request (Xp3Archive::EntryList).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A run of an entry's bytes in the archive file, stored as is or compressed.
struct Xp3Segment {
  uint32_t flags = 0;
  uint64_t offset = 0;  // absolute offset of the segment's bytes in the archive file
  uint64_t unpacked_size = 0;
  uint64_t packed_size = 0;

  // Only the exact value 1 means compressed; any other value is stored data.
  bool IsCompressed() const { return flags == 1; }
};

struct Xp3Entry {
  std::string key;     // the entry's name as UTF-8, exactly as the index spells it
  uint32_t flags = 0;  // carried along, not interpreted
  uint64_t unpacked_size = 0;
  uint64_t packed_size = 0;
  uint32_t checksum = 0;             // Adler-32 from the index, never verified
  std::vector<Xp3Segment> segments;  // in file order
};
