// A folder of loose files laid over the game and the archives while a
// translation is being made (XP3PATCH_DEV_DIR): a translator edits a file
// and sees it the next time the game opens it, without packing.
//
// A file below the folder stands for the path key of its path relative to
// the folder ("DEV\scenario\a.txt" for "scenario\a.txt"), and wins over every
// archive. Nothing is indexed: each question goes to the folder on disk when
// it is asked, so files saved, added or removed while the game runs are seen
// at the next open of their path. An open hands the game a real handle to
// the loose file, opened for reading only and sharing reading, writing and
// deleting, so that every handle function works on it at the cost of a disk
// file and an editor can still save over it.
//
// The folder is only read, and a path never leaves it: a key with an empty,
// "." or ".." component or one holding ':' (a stream or a drive) or a
// wildcard is not looked for, and a file is served only when the system's
// resolved name of the opened file is the folder's own resolved name
// followed by the key (ASCII case folded, as keys compare). So a link or a
// junction that leads out of the folder is refused, and so is a name the
// file system matches where an archive would not (a short 8.3 name, a
// letter case outside ASCII, trailing dots, a link to another file).
//
// Owned by the overlay registry from start-up to the end of the process;
// immutable once made, so any thread may ask. It reaches the file system
// through the real (unhooked) file functions it was given, never through
// the replacements.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

struct RealFileFunctions;

class LooseFolder {
 public:
  // Makes the folder named by `path` (resolved against the current
  // directory). Null, with `*problem` saying why in words, when it does not
  // exist, is not a directory or cannot be opened.
  static std::unique_ptr<LooseFolder> Open(const WideString& path, const RealFileFunctions* real,
                                           std::string* problem);

  // The folder's full path (UTF-8), as the log names it.
  const std::string& Path() const { return path_; }

  enum class Kind {
    kAbsent,     // nothing there: the archives and the disk answer
    kFile,       // a file the folder serves
    kDirectory,  // a directory of the folder
    kRefused,    // something there that the folder does not serve (see `why`)
    kFailed,     // a file there that the system would not open: `error`
  };
  struct Probe {
    Kind kind = Kind::kAbsent;
    HANDLE handle = INVALID_HANDLE_VALUE;       // OpenFile's kFile: the caller closes it
    DWORD error = 0;                            // kFailed
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};  // kFile and kDirectory
    std::string why;                            // kRefused: for the log
    std::string loose_path;  // the file's path in the folder (UTF-8), for the log
  };

  // Whether `directory` (a full path, UTF-8) is the folder itself or lies
  // below it, compared by the system's resolved names (short names, links,
  // junctions, letter case and trailing separators all resolved), so that
  // no spelling of the game directory can be laid over itself. A directory
  // that cannot be opened is compared as spelled.
  bool HoldsDirectory(const std::string& directory) const;

  // Whether a key can name something below the folder at all: the check
  // made before the folder is asked, so that keys outside the game
  // directory cost nothing.
  static bool IsServableKey(std::string_view key);

  // Opens the file `key` names for reading. Of the caller's `flags` only
  // FILE_FLAG_OVERLAPPED and the cache hints count: a request to delete the
  // file on close, to open a directory or a link itself is not passed on.
  // kAbsent for a directory.
  Probe OpenFile(std::string_view key, DWORD flags) const;

  // What `key` names, with its information, without reading it.
  Probe Look(std::string_view key) const;

  // The records of the folder's directory named by `directory_key` ("." for
  // the folder itself) whose names match `pattern` (search_pattern.h), without
  // "." and "..": files and directories the folder serves, with their sizes,
  // attributes and times and no short name. Empty when the folder has no
  // such directory.
  std::vector<WIN32_FIND_DATAW> Records(std::string_view directory_key, const WCHAR* pattern) const;

  // Calls `visit` with the key of every file the folder serves, directory by
  // directory. Start-up's count for the log; `refused` gets the loose paths
  // (UTF-8) and reasons of what it does not serve.
  void ForEachFile(const std::function<void(const std::string& key)>& visit,
                   const std::function<void(const std::string& what)>& refused) const;

 private:
  LooseFolder(WideString root, WideString resolved_root, std::string path,
              const RealFileFunctions* real)
      : root_(std::move(root)),
        resolved_root_(std::move(resolved_root)),
        path_(std::move(path)),
        real_(real) {}

  // `root_` + '\' + the key, or false when the key cannot be converted.
  bool LoosePath(std::string_view key, WideString* path) const;
  // Whether the handle opened for `key` is that very file of the folder;
  // otherwise `*why` says where it leads.
  bool IsFileOfFolder(HANDLE handle, std::string_view key, std::string* why) const;
  // Opens `path` (the loose path of `key`) without reading it: true when it
  // is that very file or directory of the folder. Otherwise `*probe` says
  // what it is instead: kAbsent (gone meanwhile), kRefused or kFailed.
  bool CheckPlace(const WideString& path, std::string_view key, Probe* probe) const;
  // Whether `path`, with these attributes, is a link or junction itself
  // (then `*probe` is kRefused, and it is not followed).
  bool IsLink(const WideString& path, DWORD attributes, Probe* probe) const;
  void Visit(const std::string& directory_key,
             const std::function<void(const std::string& key)>& visit,
             const std::function<void(const std::string& what)>& refused, int depth) const;

  WideString root_;           // full path, no trailing separator
  WideString resolved_root_;  // the system's resolved name of the folder
  std::string path_;
  const RealFileFunctions* real_;
};
