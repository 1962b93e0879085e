#include "overlay/handle_information.h"

#include <cstring>

#include "overlay/checked_text.h"
#include "overlay/overlay_host.h"
#include "overlay/overlay_registry.h"

namespace {

// The information classes by number: the build targets Windows 7, whose
// headers number the later classes differently from the systems that answer
// them.
enum InformationClass : int {
  kBasic = 0,
  kStandard = 1,
  kName = 2,
  kStream = 7,
  kCompression = 8,
  kAttributeTag = 9,
  kRemoteProtocol = 13,
  kStorage = 16,
  kAlignment = 17,
  kId = 18,
  kDispositionEx = 21,
  kRenameEx = 22,
  kCaseSensitive = 23,
  kNormalizedName = 24,
};

// FILE_ID_INFO, which the Windows 7 headers leave out.
struct FileIdInformation {
  ULONGLONG volume_serial_number;
  BYTE file_id[16];
};

// A disk file's clusters: what the standard class reports as allocated.
constexpr uint64_t kClusterSize = 4096;

LARGE_INTEGER AsLargeInteger(FILETIME time) {
  LARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = static_cast<LONG>(time.dwHighDateTime);
  return value;
}

// The volume the game directory lies on: its root ("D:\", or
// "\\server\share\").
struct GameVolume {
  WideString root;
};

bool FindGameVolume(const OverlayRegistry& registry, GameVolume* volume) {
  WideString base;
  if (!FromUtf8OrThrow(registry.BaseDirectory(), &base)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WCHAR root[MAX_PATH + 1];
  if (!GetVolumePathNameW(base.c_str(), root, MAX_PATH + 1)) return false;
  volume->root = root;
  if (volume->root.empty() || volume->root.back() != L'\\') volume->root += L'\\';
  return true;
}

// The serial number the system reports for the files of the game directory:
// asked of the directory itself, as a disk file there would report it.
DWORD GameVolumeSerial(const OverlayRegistry& registry) {
  WideString base;
  if (!FromUtf8OrThrow(registry.BaseDirectory(), &base)) return 0;
  const RealFileFunctions& real = RealFunctions();
  HANDLE directory =
      real.CreateFileW(base.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information;
  const DWORD serial = real.GetFileInformationByHandle(directory, &information)
                           ? information.dwVolumeSerialNumber
                           : 0;
  real.CloseHandle(directory);
  return serial;
}

bool Describe(const OverlayRegistry& registry, HANDLE file, OverlayRegistry::FileFacts* facts,
              WideString* path) {
  if (!registry.DescribeOwn(file, facts)) return false;
  if (!FromUtf8OrThrow(facts->path, path)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

// The path below the volume's root, with its leading backslash, as the name
// class and VOLUME_NAME_NONE give it.
bool PathBelowVolume(const WideString& path, const GameVolume& volume, WideString* below) {
  const size_t root = volume.root.size();
  if (path.size() < root ||
      CompareStringOrdinal(path.data(), static_cast<int>(root), volume.root.data(),
                           static_cast<int>(root), TRUE) != CSTR_EQUAL) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  *below = path.substr(root - 1);
  return true;
}

// The text GetFinalPathNameByHandleW gives for `flags`, or false with the
// last error set.
bool FinalPath(const OverlayRegistry& registry, HANDLE file, DWORD flags, WideString* answer) {
  if ((flags & ~(FILE_NAME_OPENED | VOLUME_NAME_GUID | VOLUME_NAME_NONE | VOLUME_NAME_NT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  OverlayRegistry::FileFacts facts;
  WideString path;
  if (!Describe(registry, file, &facts, &path)) return false;
  // The path a handle was opened by and its normalized form are one here:
  // the overlay never follows links.
  const DWORD form = flags & ~FILE_NAME_OPENED;
  if (form == VOLUME_NAME_DOS) {
    const bool unc = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
    *answer = unc ? L"\\\\?\\UNC" + path.substr(1) : L"\\\\?\\" + path;
    return true;
  }
  if (form != VOLUME_NAME_GUID && form != VOLUME_NAME_NT && form != VOLUME_NAME_NONE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  GameVolume volume;
  WideString below;
  if (!FindGameVolume(registry, &volume) || !PathBelowVolume(path, volume, &below)) return false;
  if (form == VOLUME_NAME_NONE) {
    *answer = below;
  } else if (form == VOLUME_NAME_GUID) {
    WCHAR name[64];
    if (!GetVolumeNameForVolumeMountPointW(volume.root.c_str(), name, 64)) return false;
    *answer = name + below.substr(1);  // the name ends with a backslash
  } else {
    WCHAR device[MAX_PATH];
    const WideString drive = volume.root.substr(0, volume.root.size() - 1);
    if (!QueryDosDeviceW(drive.c_str(), device, MAX_PATH)) return false;
    *answer = device + below;
  }
  return true;
}

}  // namespace

BOOL OwnFileInformation(const OverlayRegistry& registry, HANDLE file,
                        BY_HANDLE_FILE_INFORMATION* information) {
  OverlayRegistry::FileFacts facts;
  if (!registry.DescribeOwn(file, &facts)) return FALSE;
  if (information == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  BY_HANDLE_FILE_INFORMATION answer = {};
  answer.dwFileAttributes = FILE_ATTRIBUTE_READONLY;
  answer.ftCreationTime = facts.time;
  answer.ftLastAccessTime = facts.time;
  answer.ftLastWriteTime = facts.time;
  answer.dwVolumeSerialNumber = GameVolumeSerial(registry);
  answer.nFileSizeHigh = static_cast<DWORD>(facts.size >> 32);
  answer.nFileSizeLow = static_cast<DWORD>(facts.size);
  answer.nNumberOfLinks = 1;
  answer.nFileIndexHigh = static_cast<DWORD>(facts.file_id >> 32);
  answer.nFileIndexLow = static_cast<DWORD>(facts.file_id);
  *information = answer;
  return TRUE;
}

BOOL OwnFileInformationEx(const OverlayRegistry& registry, HANDLE file,
                          FILE_INFO_BY_HANDLE_CLASS information_class, void* information,
                          DWORD size) {
  DWORD needed = 0;
  switch (static_cast<int>(information_class)) {
    case kBasic:
      needed = sizeof(FILE_BASIC_INFO);
      break;
    case kStandard:
      needed = sizeof(FILE_STANDARD_INFO);
      break;
    case kName:
      needed = sizeof(FILE_NAME_INFO);
      break;
    case kAttributeTag:
      needed = sizeof(FILE_ATTRIBUTE_TAG_INFO);
      break;
    case kId:
      needed = sizeof(FileIdInformation);
      break;
    case kStream:
    case kCompression:
    case kAlignment:
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    case kRemoteProtocol:
    case kStorage:
    case kDispositionEx:
    case kRenameEx:
    case kCaseSensitive:
    case kNormalizedName:
      SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return FALSE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  OverlayRegistry::FileFacts facts;
  WideString path;
  if (!Describe(registry, file, &facts, &path)) return FALSE;
  if (size < needed) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (information == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  const LARGE_INTEGER time = AsLargeInteger(facts.time);
  switch (static_cast<int>(information_class)) {
    case kBasic: {
      FILE_BASIC_INFO answer = {};
      answer.CreationTime = time;
      answer.LastAccessTime = time;
      answer.LastWriteTime = time;
      answer.ChangeTime = time;
      answer.FileAttributes = FILE_ATTRIBUTE_READONLY;
      std::memcpy(information, &answer, sizeof answer);
      return TRUE;
    }
    case kStandard: {
      FILE_STANDARD_INFO answer = {};
      answer.AllocationSize.QuadPart =
          static_cast<LONGLONG>((facts.size + kClusterSize - 1) / kClusterSize * kClusterSize);
      answer.EndOfFile.QuadPart = static_cast<LONGLONG>(facts.size);
      answer.NumberOfLinks = 1;
      std::memcpy(information, &answer, sizeof answer);
      return TRUE;
    }
    case kAttributeTag: {
      FILE_ATTRIBUTE_TAG_INFO answer = {};
      answer.FileAttributes = FILE_ATTRIBUTE_READONLY;
      std::memcpy(information, &answer, sizeof answer);
      return TRUE;
    }
    case kId: {
      FileIdInformation answer = {};
      answer.volume_serial_number = GameVolumeSerial(registry);
      std::memcpy(answer.file_id, &facts.file_id, sizeof facts.file_id);
      std::memcpy(information, &answer, sizeof answer);
      return TRUE;
    }
    default:
      break;
  }
  // The name class: the path below the volume's root, cut to fit, with the
  // length of the whole.
  GameVolume volume;
  WideString below;
  if (!FindGameVolume(registry, &volume) || !PathBelowVolume(path, volume, &below)) return FALSE;
  auto* answer = static_cast<FILE_NAME_INFO*>(information);
  const DWORD length = static_cast<DWORD>(below.size() * sizeof(WCHAR));
  const DWORD room = size - offsetof(FILE_NAME_INFO, FileName);
  answer->FileNameLength = length;
  std::memcpy(answer->FileName, below.data(), length < room ? length : room);
  if (length > room) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  return TRUE;
}

BOOL OwnFileTime(const OverlayRegistry& registry, HANDLE file, FILETIME* creation,
                 FILETIME* last_access, FILETIME* last_write) {
  OverlayRegistry::FileFacts facts;
  if (!registry.DescribeOwn(file, &facts)) return FALSE;
  if (creation != nullptr) *creation = facts.time;
  if (last_access != nullptr) *last_access = facts.time;
  if (last_write != nullptr) *last_write = facts.time;
  return TRUE;
}

DWORD OwnFinalPathW(const OverlayRegistry& registry, HANDLE file, WCHAR* path, DWORD count,
                    DWORD flags) {
  WideString answer;
  if (!FinalPath(registry, file, flags, &answer)) return 0;
  const DWORD length = static_cast<DWORD>(answer.size());
  if (length < count && path != nullptr) {
    std::memcpy(path, answer.c_str(), (answer.size() + 1) * sizeof(WCHAR));
    return length;
  }
  // Too small: the size needed, with the terminator. The system sets this
  // last error for every form but VOLUME_NAME_NONE.
  if ((flags & ~FILE_NAME_OPENED) != VOLUME_NAME_NONE) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return length + 1;
}

DWORD OwnFinalPathA(const OverlayRegistry& registry, HANDLE file, char* path, DWORD count,
                    DWORD flags) {
  WideString answer;
  if (!FinalPath(registry, file, flags, &answer)) return 0;
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int needed =
      WideCharToMultiByte(code_page, 0, answer.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return 0;
  if (static_cast<DWORD>(needed) <= count && path != nullptr) {
    WideCharToMultiByte(code_page, 0, answer.c_str(), -1, path, needed, nullptr, nullptr);
    return static_cast<DWORD>(needed - 1);
  }
  if ((flags & ~FILE_NAME_OPENED) != VOLUME_NAME_NONE) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return static_cast<DWORD>(needed);
}
