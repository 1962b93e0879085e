// Path-string operations on UTF-8 byte strings.
//
// Slash and backslash are both separators on input; every path produced for a
// look-up uses the backslash. Nothing here touches the file system except
// FullPath/FullPathWide, which ask Windows to resolve a path against the
// current directory. "." and ".." components are never resolved. Letter tests
// and case folding are ASCII-only. Plain functions over values, safe on any
// thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// At least three bytes: ASCII letter, ':', separator. UNC paths, long-path
// prefixes, drive-relative ("C:data") and root-relative paths are not.
bool IsDriveAbsolute(const std::string& path);

// Everything before the last separator; empty when there is none.
std::string DirectoryOf(const std::string& path);

// The last component; for a text containing "://" the query and fragment are
// cut off first.
std::string FileNameOf(const std::string& path);

std::string JoinPath(const std::string& a, const std::string& b);
std::string JoinPaths(const std::vector<std::string>& parts);

// Cuts at every occurrence of `separator`; empty pieces are kept.
std::vector<std::string> SplitString(const std::string& text, const std::string& separator);

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

std::string LowerAscii(std::string text);

// `path` as seen from `start` ("." when they are the same directory). A path
// that cannot be related (one side drive-absolute and the other not, or two
// drives) comes back unchanged.
std::string RelativePath(const std::string& path, const std::string& start);

// The game directory from the path of the game's executable: its directory,
// backslash-separated, with no trailing separator except at a drive root,
// where "D:\" stays (the bare "D:" would be the drive's current directory).
std::string GameDirectoryOf(const std::string& executable_path);

// The directory that a search pattern searches: DirectoryOf the pattern,
// except that a pattern at a drive root ("D:\*") searches "D:\".
std::string SearchedDirectoryOf(const std::string& pattern);

// Whether a relative path (as RelativePath gives it) leads out of its start:
// its first component is exactly "..". A name that merely begins with two
// dots ("..dots") is an ordinary name.
bool BeginsWithParent(std::string_view relative);

// Absolute form of a path, resolved against the current directory; empty when
// Windows cannot resolve it. FullPath tries the code-page fallback order
// before handing the raw bytes to the ANSI function. A lack of memory throws
// std::bad_alloc rather than passing for a path that cannot be resolved.
std::string FullPathWide(const WideString& path);
std::string FullPath(const std::string& path);
