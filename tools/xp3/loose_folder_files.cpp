#include "tools/xp3/loose_folder_files.h"

#include <cstring>

#include "tools/xp3/tool_files.h"

namespace fs = std::filesystem;

std::string LooseNameRefusal(const std::string& name) {
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      return "a component ending in a dot or a blank, which Windows trims: the patch does not "
             "serve it";
    }
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || std::strchr("*?\"<>|\\", c) != nullptr) {
        return "a wildcard, control or reserved character in the name: the patch does not "
               "serve it";
      }
    }
    if (end == name.size()) return std::string();
    start = end + 1;
  }
}

bool ListLooseFolder(const fs::path& root, std::vector<CheckedEntry>* entries, std::string* error) {
  fs::path resolved_root;
  if (!ResolvedPath(root, &resolved_root)) {
    *error = "cannot open the loose folder " + MessagePath(root);
    return false;
  }
  std::error_code ec;
  fs::recursive_directory_iterator it(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code status_error;
    const bool directory = it->is_directory(status_error);
    if (!directory && !it->is_regular_file(status_error)) continue;
    const fs::path relative = it->path().lexically_relative(root);
    CheckedEntry entry;
    if (!GenericUtf8FromPath(relative, &entry.name)) continue;
    // Where the system takes the name: the patch serves only what lies
    // there under this very name.
    fs::path resolved;
    if (!ResolvedPath(it->path(), &resolved)) {
      entry.refused = "cannot be opened to see where it leads";
    } else if (resolved != resolved_root / relative) {
      const fs::path inside = resolved.lexically_relative(resolved_root);
      const bool outside = inside.empty() || *inside.begin() == "..";
      entry.refused = std::string(outside ? "a link that leads outside the loose folder"
                                          : "a link to another name in the loose folder") +
                      " (to " + MessagePath(resolved) + "): the patch does not serve it";
    } else if (directory) {
      continue;
    } else {
      entry.refused = LooseNameRefusal(entry.name);
      entry.size = it->file_size(status_error);
    }
    if (directory) {
      it.disable_recursion_pending();
      entry.name += "/";
    }
    entries->push_back(std::move(entry));
  }
  if (ec) {
    *error = "cannot list the loose folder " + MessagePath(root) + ": " + ec.message();
    return false;
  }
  return true;
}
