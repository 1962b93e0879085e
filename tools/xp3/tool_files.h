// File-system and console helpers of the `xp3` tool. The tool works with
// UTF-8 text throughout; these functions are where it meets the platform's
// own path and argument encodings (UTF-16 on Windows), so that names such as
// Chinese file names survive every step. Plain functions; no state.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// UTF-8 <-> path. Utf8FromPath fails for names that are not valid Unicode.
std::filesystem::path PathFromUtf8(const std::string& utf8);
bool Utf8FromPath(const std::filesystem::path& path, std::string* utf8);
// The path with '/' separators, as entry names are stored.
bool GenericUtf8FromPath(const std::filesystem::path& path, std::string* utf8);
// For messages: the UTF-8 form; the parts of a name that is not valid
// Unicode are shown as escapes (\xE9 for a byte, \uD800 for a lone
// surrogate).
std::string DisplayPath(const std::filesystem::path& path);
// For messages about files: DisplayPath with the platform's own separator
// throughout ('\' on Windows), whatever mix the path was built from.
std::string MessagePath(const std::filesystem::path& path);

// The system's resolved name of an existing file or directory: links and
// junctions followed, names spelled as the file system stores them. False
// when it cannot be had (the path does not exist, or cannot be opened).
bool ResolvedPath(const std::filesystem::path& path, std::filesystem::path* resolved);

// fopen by path ("rb", "wb"); errno is set on failure.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// Moves `from` over `to`, replacing `to` if it exists.
bool MoveOver(const std::filesystem::path& from, const std::filesystem::path& to,
              std::string* error);

// The program's arguments (after the program name) as UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// True when `stream` is an interactive console rather than a file or pipe.
bool IsConsole(std::FILE* stream);

// Makes UTF-8 output display correctly on a console.
void PrepareConsole();

// "1.5 MiB"-style size for people.
std::string HumanSize(uint64_t bytes);

// The number and the words that agree with it: Counted(1, "entry",
// "entries") is "1 entry", Counted(0, ...) "0 entries".
std::string Counted(uint64_t number, const char* one, const char* many);
