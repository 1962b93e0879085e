#include "tools/xp3/mount_set_check.h"

#include <cstddef>

namespace {

constexpr char kImages[] = "images.xp3";
constexpr size_t kNone = static_cast<size_t>(-1);

std::string Fold(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool EndsWithXp3(const std::string& name) {
  return name.size() > 4 && Fold(name.substr(name.size() - 4)) == ".xp3";
}

}  // namespace

std::string SecondLanguageFileName(const std::string& file_name) {
  if (!EndsWithXp3(file_name)) return std::string();
  // The patch appends ".xp3" to the DLL's name without a dot and inserts
  // "_tw" before that dot.
  return file_name.substr(0, file_name.size() - 4) + "_tw.xp3";
}

std::vector<std::string> MountSetWarnings(const MountSetInput& input) {
  std::vector<std::string> warnings;
  const std::vector<std::string>& shown = input.archives;
  const std::vector<std::string>& names = input.file_names;
  if (names.empty()) return warnings;

  // The role of the first archive: the DLL's own, unless it cannot be.
  std::string second_language;
  size_t images_at = kNone;
  if (Fold(names[0]) == kImages) {
    images_at = 0;
    warnings.push_back(shown[0] +
                       " is given first, but the game mounts the archive named after its DLL "
                       "first (patch.dll: patch.xp3, beside the DLL), then images.xp3");
  } else if (!EndsWithXp3(names[0])) {
    warnings.push_back(shown[0] +
                       " is given first, but the game mounts first the archive named after its "
                       "DLL with the extension .xp3 (patch.dll: patch.xp3)");
  } else {
    second_language = SecondLanguageFileName(names[0]);
  }

  size_t second_language_at = kNone;
  for (size_t i = 1; i < names.size(); ++i) {
    const std::string name = Fold(names[i]);
    bool repeated = false;
    for (size_t j = 0; j < i && !repeated; ++j) repeated = Fold(names[j]) == name;
    if (repeated) {
      warnings.push_back(shown[i] + " is given more than once; the game mounts " + names[i] +
                         " once");
    } else if (name == kImages) {
      images_at = i;
    } else if (!second_language.empty() && name == Fold(second_language)) {
      second_language_at = i;
    } else {
      std::string set = second_language.empty()
                            ? "the archive named after its DLL, images.xp3 and, when CHS_TW is "
                              "1, that archive's _tw variant"
                            : names[0] + ", images.xp3 and, when CHS_TW is 1, " + second_language;
      warnings.push_back(shown[i] + " is not an archive the game mounts: it mounts " + set);
    }
  }

  if (images_at == kNone) {
    if (!input.images_in_game_dir.empty()) {
      warnings.push_back(
          "images.xp3 was not given, but the game directory holds one (" +
          input.images_in_game_dir +
          "): the game mounts it second, and its entries win over the first archive's; give it "
          "after " +
          names[0] + " to see what the game sees");
    } else {
      warnings.push_back(
          "no images.xp3 was given, and the game directory has none: the game stops at "
          "start-up without it. A translation without images ships an empty one "
          "(xp3 pack DIR -o images.xp3 --allow-empty)");
    }
  } else {
    if (input.images_in_game_dir.empty()) {
      warnings.push_back(
          "the game directory has no images.xp3: the game opens images.xp3 from "
          "there at start-up and stops without it; put " +
          shown[images_at] + " there before shipping");
    }
    if (second_language_at != kNone && second_language_at < images_at) {
      warnings.push_back(shown[second_language_at] +
                         " is given before images.xp3, but the game "
                         "mounts it last, so that its entries win over both others");
    }
  }

  if (second_language_at == kNone && !input.second_language_on_disk.empty()) {
    warnings.push_back(input.second_language_on_disk +
                       " exists but was not given: when CHS_TW is 1 the game mounts it last, "
                       "and its entries win over the others; give it as the last archive to "
                       "check that set");
  }
  return warnings;
}
