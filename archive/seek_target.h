// The seek rule shared by the streams that know their length (memory blocks,
// regions): where a Seek lands, and whether that is inside [0, length].
// Offsets come from callers unchecked, so the sums are overflow-checked.
#pragma once

#include <cstdint>

#include "archive/read_stream.h"

inline bool ResolveSeekTarget(int64_t position, int64_t length, int64_t offset, SeekOrigin origin,
                              int64_t* target) {
  int64_t base;
  switch (origin) {
    case Begin:
      base = 0;
      break;
    case Current:
      base = position;
      break;
    case End:
      base = length;
      break;
    default:
      return false;
  }
  int64_t result;
  if (__builtin_add_overflow(base, offset, &result)) return false;
  if (result < 0 || result > length) return false;
  *target = result;
  return true;
}
