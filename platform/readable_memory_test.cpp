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

// Two pages: the first readable, the second inaccessible.
class GuardedPages {
 public:
  GuardedPages() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
#else
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
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

}  // namespace
