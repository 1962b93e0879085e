#include "archive/report_error.h"

#include <cstdarg>
#include <cstdio>

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
}
