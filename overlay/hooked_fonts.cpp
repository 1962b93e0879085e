#include "overlay/hooked_fonts.h"

#include <string>

#include "overlay/ansi_paths.h"
#include "overlay/font_copies.h"
#include "overlay/guarded_answer.h"
#include "overlay/overlay_host.h"
#include "overlay/redirect_depth.h"

namespace {

// The copy is added through the wide form with flags whatever form the
// game called: the copy's path is wide, and the short forms are the flagged
// ones with no flags ("AddFontResourceW function", "RemoveFontResourceW
// function", Microsoft Learn). The call reaches the system's function
// itself, not the replacement.
int AddAnswer(const char* function, LPCWSTR name, DWORD flags, PVOID reserved, bool* overlaid) {
  return TheFontCopies().Add(
      function, name,
      [&](LPCWSTR copy) { return RealFunctions().AddFontResourceExW(copy, flags, reserved); },
      overlaid);
}

int RemoveAnswer(LPCWSTR name, DWORD flags, PVOID reserved, bool* overlaid) {
  return TheFontCopies().Remove(
      name,
      [&](LPCWSTR copy) {
        return static_cast<int>(RealFunctions().RemoveFontResourceExW(copy, flags, reserved));
      },
      overlaid);
}

// Runs `answer` for a wide name, or passes the call on.
template <typename Result, typename Answer, typename Pass>
Result WideFontCall(LPCWSTR name, Answer answer, Pass pass) {
  return GuardedAnswer<Result>(0, [&]() -> Result {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested() && name != nullptr) {
      const Result result = static_cast<Result>(answer(name, &overlaid));
      if (overlaid) return result;
    }
    return pass();
  });
}

// The same for an ANSI name, converted as the file functions convert paths;
// a name whose bytes do not convert goes to the system as it stands.
template <typename Result, typename Answer, typename Pass>
Result AnsiFontCall(LPCSTR name, Answer answer, Pass pass) {
  return GuardedAnswer<Result>(0, [&]() -> Result {
    RedirectScope scope;
    bool overlaid = false;
    std::wstring wide;
    if (!scope.nested() && name != nullptr && AnsiPathToWide(name, &wide)) {
      const Result result = static_cast<Result>(answer(wide.c_str(), &overlaid));
      if (overlaid) return result;
    }
    return pass();
  });
}

}  // namespace

int WINAPI HookedAddFontResourceExW(LPCWSTR name, DWORD flags, PVOID reserved) {
  return WideFontCall<int>(
      name,
      [&](LPCWSTR wide, bool* overlaid) {
        return AddAnswer("AddFontResourceExW", wide, flags, reserved, overlaid);
      },
      [&] { return RealFunctions().AddFontResourceExW(name, flags, reserved); });
}

int WINAPI HookedAddFontResourceExA(LPCSTR name, DWORD flags, PVOID reserved) {
  return AnsiFontCall<int>(
      name,
      [&](LPCWSTR wide, bool* overlaid) {
        return AddAnswer("AddFontResourceExA", wide, flags, reserved, overlaid);
      },
      [&] { return RealFunctions().AddFontResourceExA(name, flags, reserved); });
}

int WINAPI HookedAddFontResourceW(LPCWSTR name) {
  return WideFontCall<int>(
      name,
      [&](LPCWSTR wide, bool* overlaid) {
        return AddAnswer("AddFontResourceW", wide, 0, nullptr, overlaid);
      },
      [&] { return RealFunctions().AddFontResourceW(name); });
}

int WINAPI HookedAddFontResourceA(LPCSTR name) {
  return AnsiFontCall<int>(
      name,
      [&](LPCWSTR wide, bool* overlaid) {
        return AddAnswer("AddFontResourceA", wide, 0, nullptr, overlaid);
      },
      [&] { return RealFunctions().AddFontResourceA(name); });
}

BOOL WINAPI HookedRemoveFontResourceExW(LPCWSTR name, DWORD flags, PVOID reserved) {
  return WideFontCall<BOOL>(
      name,
      [&](LPCWSTR wide, bool* overlaid) { return RemoveAnswer(wide, flags, reserved, overlaid); },
      [&] { return RealFunctions().RemoveFontResourceExW(name, flags, reserved); });
}

BOOL WINAPI HookedRemoveFontResourceExA(LPCSTR name, DWORD flags, PVOID reserved) {
  return AnsiFontCall<BOOL>(
      name,
      [&](LPCWSTR wide, bool* overlaid) { return RemoveAnswer(wide, flags, reserved, overlaid); },
      [&] { return RealFunctions().RemoveFontResourceExA(name, flags, reserved); });
}

BOOL WINAPI HookedRemoveFontResourceW(LPCWSTR name) {
  return WideFontCall<BOOL>(
      name, [&](LPCWSTR wide, bool* overlaid) { return RemoveAnswer(wide, 0, nullptr, overlaid); },
      [&] { return RealFunctions().RemoveFontResourceW(name); });
}

BOOL WINAPI HookedRemoveFontResourceA(LPCSTR name) {
  return AnsiFontCall<BOOL>(
      name, [&](LPCWSTR wide, bool* overlaid) { return RemoveAnswer(wide, 0, nullptr, overlaid); },
      [&] { return RealFunctions().RemoveFontResourceA(name); });
}
