#include "platform/readable_memory.h"

#include <gtest/gtest.h>

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Two pages: the first readable and writable, the second inaccessible, or
// read-only when asked.
class GuardedPages {
 public:
  explicit GuardedPages(bool second_readable = false) {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(base_ + page_, page_, second_readable ? PAGE_READONLY : PAGE_NOACCESS, &old);
#else
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, second_readable ? PROT_READ : PROT_NONE);
#endif
  }
  ~GuardedPages() {
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * page_);
#endif
  }
  char* base() const { return base_; }
  std::size_t page() const { return page_; }

 private:
  char* base_ = nullptr;
  std::size_t page_ = 0;
};

TEST(ReadableMemoryTest, AnswersForReadableInaccessibleAndStraddlingSpans) {
  GuardedPages pages;
  ASSERT_NE(pages.base(), nullptr);
  EXPECT_TRUE(IsReadableMemory(pages.base(), pages.page()));
  EXPECT_TRUE(IsReadableMemory(pages.base() + pages.page() - 4, 4));
  EXPECT_FALSE(IsReadableMemory(pages.base() + pages.page() - 2, 4));
  EXPECT_FALSE(IsReadableMemory(pages.base() + pages.page(), 1));
  EXPECT_TRUE(IsReadableMemory(pages.base() + pages.page(), 0));
}

TEST(ReadableMemoryTest, NullAndWrappingSpansAreUnreadable) {
  EXPECT_FALSE(IsReadableMemory(nullptr, 4));
  EXPECT_FALSE(IsReadableMemory(reinterpret_cast<const void*>(UINTPTR_MAX - 1), 4));
}

TEST(ReadableMemoryTest, WritableSpansAreLeftAsTheyWere) {
  GuardedPages pages(/*second_readable=*/true);
  ASSERT_NE(pages.base(), nullptr);
  char* const first = pages.base();
  for (std::size_t i = 0; i < pages.page(); ++i) first[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(IsWritableMemory(first, pages.page()));
  for (std::size_t i = 0; i < pages.page(); ++i) {
    ASSERT_EQ(first[i], static_cast<char>(i * 7)) << "byte " << i << " changed by the check";
  }
  char* const second = first + pages.page();
  EXPECT_TRUE(IsReadableMemory(second, pages.page()));
  EXPECT_FALSE(IsWritableMemory(second, 1));
  EXPECT_FALSE(IsWritableMemory(second - 2, 4));
  EXPECT_TRUE(IsWritableMemory(second - 4, 4));
  EXPECT_FALSE(IsWritableMemory(nullptr, 4));
  EXPECT_TRUE(IsWritableMemory(second, 0));
}

}  // namespace
