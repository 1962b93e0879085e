#include "dropin/patch_identity.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

// One node of a version resource: every node (VS_VERSIONINFO,
// StringFileInfo, StringTable, String, VarFileInfo, Var) starts with
// wLength, wValueLength and wType, then its key as a null-terminated wide
// string, padding to 32 bits, the value, padding to 32 bits, and its
// children up to wLength. Offsets are counted from the resource's start,
// which the system places at a 32-bit boundary.
struct Node {
  const wchar_t* key = nullptr;
  std::size_t key_length = 0;
  const std::uint8_t* value = nullptr;
  std::size_t value_bytes = 0;
  std::size_t children = 0;  // offsets of the children, [children, end)
  std::size_t end = 0;
};

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

std::uint16_t Word(const std::uint8_t* base, std::size_t offset) {
  std::uint16_t w;
  std::memcpy(&w, base + offset, sizeof w);
  return w;
}

// Reads the node at `offset` that must end by `limit`; false when it does not
// fit or its key has no terminator inside it.
bool ReadNode(const std::uint8_t* base, std::size_t offset, std::size_t limit, bool text_value,
              Node* node) {
  if (offset + 6 > limit) return false;
  const std::size_t length = Word(base, offset);
  const std::size_t value_length = Word(base, offset + 2);
  if (length < 6 || offset + length > limit) return false;
  node->end = offset + length;
  std::size_t at = offset + 6;
  node->key = reinterpret_cast<const wchar_t*>(base + at);
  node->key_length = 0;
  for (;; ++node->key_length, at += 2) {
    if (at + 2 > node->end) return false;
    if (Word(base, at) == 0) break;
  }
  at = Align4(at + 2);
  // A String's wValueLength counts wide characters, every other node's bytes.
  const std::size_t value_bytes = text_value ? value_length * 2 : value_length;
  // A value that runs past its node is malformed.
  if (value_bytes > 0 && at + value_bytes > node->end) return false;
  node->value = base + at;
  node->value_bytes = value_bytes;
  node->children = Align4(at + value_bytes);
  return true;
}

bool KeyIs(const Node& node, const wchar_t* key) {
  const std::size_t n = std::wcslen(key);
  return node.key_length == n && std::memcmp(node.key, key, n * sizeof(wchar_t)) == 0;
}

// Whether the String node's value is exactly `text` (its terminator aside).
bool ValueIs(const Node& node, const wchar_t* text) {
  const std::size_t n = std::wcslen(text);
  std::size_t chars = node.value_bytes / 2;
  const auto* value = reinterpret_cast<const std::uint8_t*>(node.value);
  auto at = [&](std::size_t k) { return Word(value, 2 * k); };
  while (chars > 0 && at(chars - 1) == 0) --chars;  // the terminator, and padding some tools add
  if (chars != n) return false;
  for (std::size_t k = 0; k < n; ++k) {
    if (at(k) != static_cast<std::uint16_t>(text[k])) return false;
  }
  return true;
}

// Which of the strings that tell the patch a string table carries.
struct Marks {
  bool product = false;
  bool description = false;
};

bool ReadStringTable(const std::uint8_t* base, const Node& table, Marks* marks) {
  Node string;
  for (std::size_t at = table.children; at < table.end; at = Align4(string.end)) {
    if (!ReadNode(base, at, table.end, true, &string)) return false;
    if (KeyIs(string, L"ProductName")) marks->product = ValueIs(string, kPatchProductName);
    if (KeyIs(string, L"FileDescription")) {
      marks->description = ValueIs(string, kPatchFileDescription);
    }
  }
  return true;
}

// The marks of the first string table that carries the product name, or of
// none; false when the block is malformed anywhere it was read.
bool ReadMarks(const void* block, std::size_t size, Marks* found) {
  const auto* base = static_cast<const std::uint8_t*>(block);
  Node root;
  if (block == nullptr || !ReadNode(base, 0, size, false, &root) ||
      !KeyIs(root, L"VS_VERSION_INFO")) {
    return false;
  }
  Node file_info;
  for (std::size_t at = root.children; at < root.end; at = Align4(file_info.end)) {
    if (!ReadNode(base, at, root.end, false, &file_info)) return false;
    if (!KeyIs(file_info, L"StringFileInfo")) continue;
    Node table;
    for (std::size_t t = file_info.children; t < file_info.end; t = Align4(table.end)) {
      if (!ReadNode(base, t, file_info.end, false, &table)) return false;
      Marks marks;
      if (!ReadStringTable(base, table, &marks)) return false;
      if (marks.product) {
        *found = marks;
        return true;
      }
    }
  }
  return true;
}

bool ModuleMarks(HMODULE module, Marks* marks) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  if (found == nullptr) return false;
  const DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  return bytes != nullptr && ReadMarks(bytes, size, marks);
}

}  // namespace

bool VersionBlockIsPatch(const void* block, std::size_t size) {
  Marks marks;
  return ReadMarks(block, size, &marks) && marks.product && marks.description;
}

bool VersionBlockIsProject(const void* block, std::size_t size) {
  Marks marks;
  return ReadMarks(block, size, &marks) && marks.product;
}

bool ModuleIsPatch(HMODULE module) {
  Marks marks;
  return ModuleMarks(module, &marks) && marks.product && marks.description;
}

bool ModuleIsProject(HMODULE module) {
  Marks marks;
  return ModuleMarks(module, &marks) && marks.product;
}

bool FileIsPatch(const wchar_t* path) {
  // As an image resource: the sections are laid out as the loader would lay
  // them, but nothing is run, no import is resolved, and the mapping does
  // not count as the module being loaded.
  HMODULE data =
      LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (data == nullptr) return false;
  const bool is_patch = ModuleIsPatch(data);
  FreeLibrary(data);
  return is_patch;
}
