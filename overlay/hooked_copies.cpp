#include "overlay/hooked_copies.h"

#include <cstdint>
#include <memory>
#include <string>

#include "overlay/ansi_paths.h"
#include "overlay/guarded_answer.h"
#include "overlay/loose_answers.h"
#include "overlay/overlaid_source.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"
#include "overlay/redirect_depth.h"

namespace {

constexpr DWORD kChunkSize = 64 * 1024;

// Where a copy stands when it tells the caller's routine.
enum class Stage { kStarted, kChunkFinished, kFinished };

struct CopyState {
  uint64_t total = 0;
  uint64_t done = 0;
  uint64_t chunks = 0;
  DWORD chunk_size = 0;
  HANDLE source = INVALID_HANDLE_VALUE;
  HANDLE destination = INVALID_HANDLE_VALUE;
};

// Whether the destination is a file the game sees as overlaid: it exists to
// the game and is read-only, so a copy onto it is refused as onto a
// read-only disk file, and the disk file behind it (if any) stays as it is.
bool OverlaidDestination(const char* function, LPCWSTR destination) {
  if (destination == nullptr) return false;
  const LooseFolder* folder = HostRegistry().Loose();
  return (folder != nullptr && LooseHasFile(*folder, function, destination)) ||
         HostRegistry().Exists(destination);
}

bool Cancelled(const BOOL* cancel) {
  return cancel != nullptr && *static_cast<const volatile BOOL*>(cancel) != FALSE;
}

// Copies an open overlaid file to `destination` and returns 0 or the error
// of the copy. `flags` are CopyFileExW's. `report(stage, state)` runs the
// caller's routine, if any, and answers with a PROGRESS_ action; it runs
// with the thread's mark lifted, since the routine is game code.
//
// The answers are those "CopyFileExW function" (Microsoft Learn) gives for
// a read-only source: a destination that exists fails with
// ERROR_FILE_EXISTS under COPY_FILE_FAIL_IF_EXISTS, and with
// ERROR_ACCESS_DENIED when it is read-only or hidden; opening the source
// for writing (COPY_FILE_OPEN_SOURCE_FOR_WRITE) is denied; a cancel, by the
// flag or the routine, fails with ERROR_REQUEST_ABORTED and deletes the
// destination, while PROGRESS_STOP leaves what was written. The copy is an
// ordinary writable file with the time the game sees on the source: the
// source is read-only only because the archive cannot be written, and the
// game's own copy of it (a settings file copied into its save folder) is
// the game's to change.
template <typename Report>
DWORD CopyOverlaid(const char* function, OverlaidSource& source, LPCWSTR destination, DWORD flags,
                   const BOOL* cancel, Report report) {
  const bool fail_if_exists = (flags & COPY_FILE_FAIL_IF_EXISTS) != 0;
  if ((flags & COPY_FILE_OPEN_SOURCE_FOR_WRITE) != 0) return ERROR_ACCESS_DENIED;
  if (OverlaidDestination(function, destination)) {
    return fail_if_exists ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
  }
  if (!fail_if_exists && destination != nullptr) {
    const DWORD attributes = RealFunctions().GetFileAttributesW(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) != 0) {
      return ERROR_ACCESS_DENIED;
    }
  }
  CopyState state;
  FILETIME time = {};
  if (!source.Size(&state.total) || !source.Time(&time)) return GetLastError();
  state.source = source.handle();
  state.destination = RealFunctions().CreateFileW(destination, GENERIC_WRITE, 0, nullptr,
                                                  fail_if_exists ? CREATE_NEW : CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (state.destination == INVALID_HANDLE_VALUE) return GetLastError();

  bool quiet = false;
  auto tell = [&](Stage stage) -> DWORD {
    if (quiet) return PROGRESS_CONTINUE;
    RedirectPause game_code;
    const DWORD action = report(stage, state);
    if (action == PROGRESS_QUIET) quiet = true;
    return action;
  };
  DWORD error = 0;
  bool keep = false;
  auto stopped = [&](DWORD action) {
    if (action == PROGRESS_CANCEL || action == PROGRESS_STOP) {
      error = ERROR_REQUEST_ABORTED;
      keep = action == PROGRESS_STOP;
      return true;
    }
    if (Cancelled(cancel)) error = ERROR_REQUEST_ABORTED;
    return error != 0;
  };
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize]);
  if (!stopped(tell(Stage::kStarted))) {
    for (;;) {
      DWORD got = 0;
      if (!source.Read(buffer.get(), kChunkSize, &got)) {
        error = GetLastError();
        break;
      }
      if (got == 0) break;
      DWORD written = 0;
      if (!RealFunctions().WriteFile(state.destination, buffer.get(), got, &written, nullptr)) {
        error = GetLastError();
        break;
      }
      state.done += got;
      state.chunk_size = got;
      ++state.chunks;
      if (stopped(tell(Stage::kChunkFinished))) break;
    }
  }
  if (error == 0 && state.done != state.total) error = ERROR_HANDLE_EOF;  // the entry ended early
  if (error == 0) stopped(tell(Stage::kFinished));
  if (error == 0) RealFunctions().SetFileTime(state.destination, nullptr, nullptr, &time);
  RealFunctions().CloseHandle(state.destination);
  if (error != 0 && !keep) DeleteFileW(destination);
  return error;
}

// CopyFileExW's routine, told in its own terms.
auto ExReport(LPPROGRESS_ROUTINE progress, LPVOID data) {
  return [progress, data](Stage stage, const CopyState& state) -> DWORD {
    if (progress == nullptr || stage == Stage::kFinished) return PROGRESS_CONTINUE;
    LARGE_INTEGER total, done;
    total.QuadPart = static_cast<LONGLONG>(state.total);
    done.QuadPart = static_cast<LONGLONG>(state.done);
    return progress(total, done, total, done, 1,
                    stage == Stage::kStarted ? CALLBACK_STREAM_SWITCH : CALLBACK_CHUNK_FINISHED,
                    state.source, state.destination, data);
  };
}

BOOL CopyFileExAnswer(const char* function, LPCWSTR source, LPCWSTR destination,
                      LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel, DWORD flags,
                      bool* overlaid) {
  OverlaidSource from;
  *overlaid = true;
  switch (from.Open(function, source)) {
    case OverlaidSource::Opened::kNotOverlaid:
      *overlaid = false;
      return FALSE;
    case OverlaidSource::Opened::kFailed:
      return FALSE;
    case OverlaidSource::Opened::kOpen:
      break;
  }
  const DWORD before = GetLastError();
  const DWORD error =
      CopyOverlaid(function, from, destination, flags, cancel, ExReport(progress, data));
  SetLastError(error != 0 ? error : before);
  return error == 0;
}

BOOL CopyAnsiAnswer(const char* function, LPCSTR source, LPCSTR destination,
                    LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel, DWORD flags,
                    bool* overlaid) {
  *overlaid = false;
  std::wstring wide_source, wide_destination;
  if (source == nullptr || !AnsiPathToWide(source, &wide_source) ||
      (destination != nullptr && !AnsiPathToWide(destination, &wide_destination))) {
    return FALSE;
  }
  return CopyFileExAnswer(function, wide_source.c_str(),
                          destination != nullptr ? wide_destination.c_str() : nullptr, progress,
                          data, cancel, flags, overlaid);
}

DWORD CompressedSizeAnswer(const char* function, LPCWSTR file_name, LPDWORD size_high,
                           bool* overlaid) {
  OverlaidSource file;
  *overlaid = true;
  switch (file.Open(function, file_name)) {
    case OverlaidSource::Opened::kNotOverlaid:
      *overlaid = false;
      return INVALID_FILE_SIZE;
    case OverlaidSource::Opened::kFailed:
      return INVALID_FILE_SIZE;
    case OverlaidSource::Opened::kOpen:
      break;
  }
  uint64_t size = 0;
  const DWORD before = GetLastError();
  if (!file.Size(&size)) return INVALID_FILE_SIZE;
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
  const auto low = static_cast<DWORD>(size);
  // A size whose low part reads as the failure value is told apart by a
  // last error of NO_ERROR ("GetCompressedFileSizeW function").
  SetLastError(low == INVALID_FILE_SIZE ? NO_ERROR : before);
  return low;
}

}  // namespace

BOOL WINAPI HookedCopyFileExW(LPCWSTR source, LPCWSTR destination, LPPROGRESS_ROUTINE progress,
                              LPVOID data, LPBOOL cancel, DWORD flags) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested() && source != nullptr) {
      const BOOL copied = CopyFileExAnswer("CopyFileExW", source, destination, progress, data,
                                           cancel, flags, &overlaid);
      if (overlaid) return copied;
    }
    return RealFunctions().CopyFileExW(source, destination, progress, data, cancel, flags);
  });
}

BOOL WINAPI HookedCopyFileW(LPCWSTR source, LPCWSTR destination, BOOL fail_if_exists) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested() && source != nullptr) {
      const BOOL copied =
          CopyFileExAnswer("CopyFileW", source, destination, nullptr, nullptr, nullptr,
                           fail_if_exists ? COPY_FILE_FAIL_IF_EXISTS : 0, &overlaid);
      if (overlaid) return copied;
    }
    return RealFunctions().CopyFileW(source, destination, fail_if_exists);
  });
}

BOOL WINAPI HookedCopyFileExA(LPCSTR source, LPCSTR destination, LPPROGRESS_ROUTINE progress,
                              LPVOID data, LPBOOL cancel, DWORD flags) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested()) {
      const BOOL copied = CopyAnsiAnswer("CopyFileExA", source, destination, progress, data, cancel,
                                         flags, &overlaid);
      if (overlaid) return copied;
    }
    return RealFunctions().CopyFileExA(source, destination, progress, data, cancel, flags);
  });
}

BOOL WINAPI HookedCopyFileA(LPCSTR source, LPCSTR destination, BOOL fail_if_exists) {
  return GuardedAnswer<BOOL>(FALSE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested()) {
      const BOOL copied =
          CopyAnsiAnswer("CopyFileA", source, destination, nullptr, nullptr, nullptr,
                         fail_if_exists ? COPY_FILE_FAIL_IF_EXISTS : 0, &overlaid);
      if (overlaid) return copied;
    }
    return RealFunctions().CopyFileA(source, destination, fail_if_exists);
  });
}

// CopyFile2 reports its progress as messages and fails with an HRESULT
// ("CopyFile2 function", "COPYFILE2_MESSAGE structure", Microsoft Learn): a
// cancel gives HRESULT_FROM_WIN32(ERROR_REQUEST_ABORTED). Its actions share
// the values of CopyFileExW's; a pause stops the copy as STOP does.
HRESULT WINAPI HookedCopyFile2(PCWSTR source, PCWSTR destination,
                               COPYFILE2_EXTENDED_PARAMETERS* parameters) {
  return GuardedAnswer<HRESULT>(E_OUTOFMEMORY, [&]() -> HRESULT {
    RedirectScope scope;
    auto pass = [&] { return RealFunctions().CopyFile2(source, destination, parameters); };
    if (scope.nested() || source == nullptr) return pass();
    OverlaidSource from;
    switch (from.Open("CopyFile2", source)) {
      case OverlaidSource::Opened::kNotOverlaid:
        return pass();
      case OverlaidSource::Opened::kFailed:
        return HRESULT_FROM_WIN32(GetLastError());
      case OverlaidSource::Opened::kOpen:
        break;
    }
    const bool sized =
        parameters != nullptr && parameters->dwSize >= sizeof(COPYFILE2_EXTENDED_PARAMETERS);
    const DWORD flags = sized ? parameters->dwCopyFlags : 0;
    const BOOL* cancel = sized ? parameters->pfCancel : nullptr;
    const PCOPYFILE2_PROGRESS_ROUTINE progress = sized ? parameters->pProgressRoutine : nullptr;
    void* context = sized ? parameters->pvCallbackContext : nullptr;
    auto report = [&](Stage stage, const CopyState& state) -> DWORD {
      if (progress == nullptr) return PROGRESS_CONTINUE;
      COPYFILE2_MESSAGE message = {};
      if (stage == Stage::kStarted) {
        message.Type = COPYFILE2_CALLBACK_STREAM_STARTED;
        auto& m = message.Info.StreamStarted;
        m.dwStreamNumber = 1;
        m.hSourceFile = state.source;
        m.hDestinationFile = state.destination;
        m.uliStreamSize.QuadPart = state.total;
        m.uliTotalFileSize.QuadPart = state.total;
      } else if (stage == Stage::kChunkFinished) {
        message.Type = COPYFILE2_CALLBACK_CHUNK_FINISHED;
        auto& m = message.Info.ChunkFinished;
        m.dwStreamNumber = 1;
        m.hSourceFile = state.source;
        m.hDestinationFile = state.destination;
        m.uliChunkNumber.QuadPart = state.chunks - 1;
        m.uliChunkSize.QuadPart = state.chunk_size;
        m.uliStreamSize.QuadPart = state.total;
        m.uliStreamBytesTransferred.QuadPart = state.done;
        m.uliTotalFileSize.QuadPart = state.total;
        m.uliTotalBytesTransferred.QuadPart = state.done;
      } else {
        message.Type = COPYFILE2_CALLBACK_STREAM_FINISHED;
        auto& m = message.Info.StreamFinished;
        m.dwStreamNumber = 1;
        m.hSourceFile = state.source;
        m.hDestinationFile = state.destination;
        m.uliStreamSize.QuadPart = state.total;
        m.uliStreamBytesTransferred.QuadPart = state.done;
        m.uliTotalFileSize.QuadPart = state.total;
        m.uliTotalBytesTransferred.QuadPart = state.done;
      }
      const COPYFILE2_MESSAGE_ACTION action = progress(&message, context);
      return action == COPYFILE2_PROGRESS_PAUSE ? PROGRESS_STOP : static_cast<DWORD>(action);
    };
    const DWORD before = GetLastError();
    const DWORD error = CopyOverlaid("CopyFile2", from, destination, flags, cancel, report);
    SetLastError(error != 0 ? error : before);
    return error != 0 ? HRESULT_FROM_WIN32(error) : S_OK;
  });
}

DWORD WINAPI HookedGetCompressedFileSizeW(LPCWSTR file_name, LPDWORD size_high) {
  return GuardedAnswer<DWORD>(INVALID_FILE_SIZE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    if (!scope.nested() && file_name != nullptr) {
      const DWORD size =
          CompressedSizeAnswer("GetCompressedFileSizeW", file_name, size_high, &overlaid);
      if (overlaid) return size;
    }
    return RealFunctions().GetCompressedFileSizeW(file_name, size_high);
  });
}

DWORD WINAPI HookedGetCompressedFileSizeA(LPCSTR file_name, LPDWORD size_high) {
  return GuardedAnswer<DWORD>(INVALID_FILE_SIZE, [&] {
    RedirectScope scope;
    bool overlaid = false;
    std::wstring wide;
    if (!scope.nested() && file_name != nullptr && AnsiPathToWide(file_name, &wide)) {
      const DWORD size =
          CompressedSizeAnswer("GetCompressedFileSizeA", wide.c_str(), size_high, &overlaid);
      if (overlaid) return size;
    }
    return RealFunctions().GetCompressedFileSizeA(file_name, size_high);
  });
}
