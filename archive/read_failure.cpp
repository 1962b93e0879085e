#include "archive/read_failure.h"

namespace {

thread_local uint32_t t_failures = 0;
thread_local uint32_t t_last_error = 0;

}  // namespace

void NoteArchiveReadFailure(uint32_t system_error) {
  ++t_failures;
  t_last_error = system_error;
}

uint32_t ArchiveReadFailures() { return t_failures; }

uint32_t LastArchiveReadError() { return t_last_error; }
