// ReportError: how the archive layer tells about index content it does not
// understand. The text goes to standard output and nowhere else; reporting
// never fails the caller by itself.
#pragma once

#if defined(__MINGW32__)
#define XP3_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define XP3_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

void ReportError(const char* format, ...) XP3_PRINTF_FORMAT(1, 2);
