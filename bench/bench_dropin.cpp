// The cost of a call through a drop-in loader against the direct call of
// the system's function, side by side in one run: timeGetTime and
// VerLanguageNameW, through a loader loaded under another name (so that it
// only forwards) and straight from the system's copies. Rounds alternate
// between the two; the fastest round of each counts.
//   bench_dropin LOADER_WINMM LOADER_VERSION [CALLS] [ROUNDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
  return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

template <typename Call>
double Fastest(int rounds, int calls, Call call, double* other_best, Call other) {
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    for (int pass = 0; pass < 2; ++pass) {
      Call& c = pass == 0 ? call : other;
      QueryPerformanceCounter(&a);
      for (int i = 0; i < calls; ++i) c();
      QueryPerformanceCounter(&b);
      const double s = Seconds(a, b, f);
      if (pass == 0 && s < best) best = s;
      if (pass == 1 && s < *other_best) *other_best = s;
    }
  }
  return best;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const int calls = argc > 3 ? _wtoi(argv[3]) : 2000000;
  const int rounds = argc > 4 ? _wtoi(argv[4]) : 15;
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  HMODULE winmm = LoadLibraryW((std::wstring(system) + L"\\winmm.dll").c_str());
  HMODULE version = LoadLibraryW((std::wstring(system) + L"\\version.dll").c_str());
  HMODULE fwd_winmm = LoadLibraryW(argv[1]);
  HMODULE fwd_version = LoadLibraryW(argv[2]);
  if (!winmm || !version || !fwd_winmm || !fwd_version || fwd_winmm == winmm) {
    std::printf("cannot load the libraries\n");
    return 1;
  }
  using Time = DWORD(WINAPI*)();
  using Language = DWORD(WINAPI*)(DWORD, LPWSTR, DWORD);
  auto direct_time =
      reinterpret_cast<Time>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeGetTime")));
  auto fwd_time =
      reinterpret_cast<Time>(reinterpret_cast<void*>(GetProcAddress(fwd_winmm, "timeGetTime")));
  auto direct_lang = reinterpret_cast<Language>(
      reinterpret_cast<void*>(GetProcAddress(version, "VerLanguageNameW")));
  auto fwd_lang = reinterpret_cast<Language>(
      reinterpret_cast<void*>(GetProcAddress(fwd_version, "VerLanguageNameW")));
  volatile DWORD sink = 0;
  wchar_t name[64];
  double direct = 1e9;
  struct TimeCall {
    Time f;
    volatile DWORD* sink;
    void operator()() { *sink = *sink + f(); }
  };
  const double forwarded =
      Fastest(rounds, calls, TimeCall{fwd_time, &sink}, &direct, TimeCall{direct_time, &sink});
  std::printf(
      "timeGetTime: direct %.2f ns, forwarded %.2f ns per call, ratio %.3f (target <= 1.02)\n",
      direct / calls * 1e9, forwarded / calls * 1e9, forwarded / direct);
  struct LangCall {
    Language f;
    wchar_t* out;
    volatile DWORD* sink;
    void operator()() { *sink = *sink + f(0x409, out, 64); }
  };
  double direct_l = 1e9;
  const double forwarded_l = Fastest(rounds, calls / 10, LangCall{fwd_lang, name, &sink}, &direct_l,
                                     LangCall{direct_lang, name, &sink});
  std::printf(
      "VerLanguageNameW: direct %.2f ns, forwarded %.2f ns per call, ratio %.3f (target <= 1.02)\n",
      direct_l / (calls / 10) * 1e9, forwarded_l / (calls / 10) * 1e9, forwarded_l / direct_l);
  std::printf("ROW|dropin_call|%.3f\n", forwarded / direct);
  return 0;
}
