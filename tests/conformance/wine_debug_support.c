/* The one function of Wine's debug helpers that the conformance tests'
   headers leave to Wine's ntdll, which mingw-w64's import library of ntdll
   does not offer: it keeps a formatted string alive long enough for a
   check's message. A ring of buffers, as the messages are printed at once;
   the tests' own threads print few enough for the ring to hold them. */
#include <string.h>
#include <windows.h>

const char* __cdecl __wine_dbg_strdup(const char* str);

const char* __cdecl __wine_dbg_strdup(const char* str) {
  enum { kBuffers = 64, kSize = 1024 };
  static char ring[kBuffers][kSize];
  static volatile LONG next;
  char* buffer = ring[(unsigned long)InterlockedIncrement(&next) % kBuffers];
  size_t length = strlen(str);
  if (length >= kSize) length = kSize - 1;
  memcpy(buffer, str, length);
  buffer[length] = '\0';
  return buffer;
}
