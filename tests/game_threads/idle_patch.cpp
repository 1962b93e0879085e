// A DLL that does nothing: loaded in place of the patch, it is the control
// against which the exit test measures how often Wine itself fails while a
// process ends with threads reading files.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
