// A strict look at an archive's header and index, read byte by byte from
// the file: what the patch's reader lets pass but a team should hear about
// before shipping. The reader accepts a compressed index without looking at
// its checksum, takes the unpacked size the index block declares on trust,
// and skips index chunks it does not know; `xp3 verify` reports all of it.
//
// Problems are faults of the archive (verify fails on them); warnings are
// things the patch copes with. Texts are whole sentences without the
// command's prefix. Plain function; reads the file, keeps nothing.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct IndexInspection {
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

IndexInspection InspectIndex(const std::filesystem::path& archive);
