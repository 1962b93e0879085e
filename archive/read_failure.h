// System read failures of archive files, counted per thread.
//
// A failed system read of an archive file (a network share that dropped,
// a removable drive, a read the system refused) is not damage: it fails the
// read that met it, and the next read tries again. Damage found in the data
// (a short file, a segment that does not decode) is kept by the entry
// stream. The two are told apart by this count: a reader notes the count
// before it reads, and a read that came back empty while the count moved
// met a failure of the system, not of the data. The system's error of the
// last failure is kept beside it for the game's last error. Per thread, so
// readers on other threads never mix in; no locks.
#pragma once

#include <cstdint>

// Records one failed system read on this thread, with the system's error.
void NoteArchiveReadFailure(uint32_t system_error);

// How many failed system reads this thread has met so far.
uint32_t ArchiveReadFailures();

// The system's error of this thread's last failed read (0 if none).
uint32_t LastArchiveReadError();
