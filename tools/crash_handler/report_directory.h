// The folder the crash handler writes its reports into, made ready before
// it serves: a player types `--dump-dir reports` without creating the
// folder first, so the folder and any missing parents are created.
#pragma once

#include <string>

// Creates `directory` (relative to the current directory, or absolute) and
// every missing folder above it; true when it exists as a folder afterwards.
// On failure `error` says which folder could not be made and why, in words.
bool CreateReportDirectory(const std::wstring& directory, std::string* error);
