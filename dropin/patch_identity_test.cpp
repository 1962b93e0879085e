// The patch is told from everything else by its version resource: the
// patch as built is recognised, a loader, a program and blocks that are
// malformed or cut short are not, and reading a cut block never reads
// beyond it.
#include "dropin/patch_identity.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Pad4(Bytes* b) {
  while (b->size() % 4 != 0) b->push_back(0);
}

void PutWide(Bytes* b, const std::wstring& text) {
  for (wchar_t c : text) {
    b->push_back(static_cast<std::uint8_t>(c & 0xFF));
    b->push_back(static_cast<std::uint8_t>(c >> 8));
  }
  b->push_back(0);
  b->push_back(0);
}

// One node as resource compilers lay it out; `value_length` is what the
// node's wValueLength says (characters for a String, bytes otherwise).
Bytes NodeBytes(const std::wstring& key, const Bytes& value, std::uint16_t value_length,
                std::uint16_t type, const std::vector<Bytes>& children) {
  Bytes b(6, 0);
  PutWide(&b, key);
  Pad4(&b);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    Pad4(&b);
    b.insert(b.end(), child.begin(), child.end());
  }
  const auto length = static_cast<std::uint16_t>(b.size());
  std::memcpy(&b[0], &length, 2);
  std::memcpy(&b[2], &value_length, 2);
  std::memcpy(&b[4], &type, 2);
  return b;
}

Bytes StringNode(const std::wstring& key, const std::wstring& value) {
  Bytes v;
  PutWide(&v, value);
  return NodeBytes(key, v, static_cast<std::uint16_t>(value.size() + 1), 1, {});
}

Bytes VersionBlock(const std::vector<Bytes>& strings) {
  const Bytes table = NodeBytes(L"040904b0", {}, 0, 1, strings);
  const Bytes file_info = NodeBytes(L"StringFileInfo", {}, 0, 1, {table});
  const Bytes fixed(52, 0);  // VS_FIXEDFILEINFO, unread
  return NodeBytes(L"VS_VERSION_INFO", fixed, 52, 0, {file_info});
}

Bytes PatchBlock() {
  return VersionBlock({StringNode(L"FileDescription", L"xp3patch language patch"),
                       StringNode(L"FileVersion", L"1.0.0"),
                       StringNode(L"ProductName", L"xp3patch")});
}

// The block at the very end of a readable page, the next page inaccessible:
// a read beyond `size` faults instead of passing unnoticed.
class GuardedCopy {
 public:
  explicit GuardedCopy(const Bytes& bytes, size_t size) {
    base_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
    data_ = base_ + kPage - size;
    std::memcpy(data_, bytes.data(), size);
  }
  ~GuardedCopy() { VirtualFree(base_, 0, MEM_RELEASE); }
  const std::uint8_t* data() const { return data_; }

 private:
  static constexpr size_t kPage = 4096;
  std::uint8_t* base_;
  std::uint8_t* data_;
};

TEST(PatchIdentity, BlocksNamingThePatchAndOthers) {
  EXPECT_TRUE(VersionBlockIsPatch(PatchBlock().data(), PatchBlock().size()));
  // Both strings are needed, with exactly the patch's values.
  EXPECT_FALSE(VersionBlockIsPatch(VersionBlock({StringNode(L"ProductName", L"xp3patch")}).data(),
                                   VersionBlock({StringNode(L"ProductName", L"xp3patch")}).size()));
  const Bytes loader = VersionBlock({StringNode(L"FileDescription", L"xp3patch drop-in loader"),
                                     StringNode(L"ProductName", L"xp3patch")});
  EXPECT_FALSE(VersionBlockIsPatch(loader.data(), loader.size()));
  // A loader and the project's programs are the project's, the game is not.
  EXPECT_TRUE(VersionBlockIsProject(loader.data(), loader.size()));
  EXPECT_TRUE(VersionBlockIsProject(PatchBlock().data(), PatchBlock().size()));
  const Bytes game = VersionBlock({StringNode(L"FileDescription", L"xp3patch language patch"),
                                   StringNode(L"ProductName", L"Some Game")});
  EXPECT_FALSE(VersionBlockIsProject(game.data(), game.size()));
  EXPECT_FALSE(VersionBlockIsPatch(game.data(), game.size()));
  const Bytes longer = VersionBlock({StringNode(L"FileDescription", L"xp3patch language patchX"),
                                     StringNode(L"ProductName", L"xp3patch")});
  EXPECT_FALSE(VersionBlockIsPatch(longer.data(), longer.size()));
  Bytes wrong_root = PatchBlock();
  wrong_root[6] = 'X';  // first character of the root's key
  EXPECT_FALSE(VersionBlockIsPatch(wrong_root.data(), wrong_root.size()));
  EXPECT_FALSE(VersionBlockIsPatch(nullptr, 100));
}

TEST(PatchIdentity, CutOrLyingBlocksAreNotThePatchAndNeverReadBeyond) {
  const Bytes block = PatchBlock();
  for (size_t size = 0; size < block.size(); ++size) {
    GuardedCopy copy(block, size);
    EXPECT_FALSE(VersionBlockIsPatch(copy.data(), size)) << "cut to " << size;
  }
  GuardedCopy whole(block, block.size());
  EXPECT_TRUE(VersionBlockIsPatch(whole.data(), block.size()));

  // A root that claims more bytes than there are.
  Bytes lying = block;
  const std::uint16_t too_long = static_cast<std::uint16_t>(block.size() + 40);
  std::memcpy(&lying[0], &too_long, 2);
  GuardedCopy lying_copy(lying, lying.size());
  EXPECT_FALSE(VersionBlockIsPatch(lying_copy.data(), lying.size()));

  // A string whose value length runs past its node.
  Bytes long_value = VersionBlock({StringNode(L"FileDescription", L"xp3patch language patch"),
                                   StringNode(L"ProductName", L"xp3patch")});
  const size_t at =
      std::search(long_value.begin(), long_value.end(), std::begin("P\0r\0o\0d\0u\0c\0t"),
                  std::end("P\0r\0o\0d\0u\0c\0t") - 1) -
      long_value.begin();
  ASSERT_LT(at, long_value.size());
  const std::uint16_t huge = 2000;
  std::memcpy(&long_value[at - 4], &huge, 2);  // wValueLength of ProductName
  GuardedCopy long_copy(long_value, long_value.size());
  EXPECT_FALSE(VersionBlockIsPatch(long_copy.data(), long_value.size()));
}

TEST(PatchIdentity, BuiltFiles) {
  EXPECT_TRUE(FileIsPatch(TEXT(PATCH_DLL)));
  EXPECT_FALSE(FileIsPatch(TEXT(LOADER_DLL)));
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  EXPECT_FALSE(FileIsPatch(self));  // a program without a version resource
  EXPECT_FALSE(FileIsPatch(L"Z:\\no\\such\\patch.dll"));
  // A module loaded in this process is read where it lies.
  HMODULE patch_image = LoadLibraryExW(TEXT(PATCH_DLL), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(patch_image, nullptr);
  EXPECT_TRUE(ModuleIsPatch(patch_image));
  FreeLibrary(patch_image);
  EXPECT_FALSE(ModuleIsPatch(GetModuleHandleW(L"kernel32.dll")));
}

}  // namespace
