// The thread list of a hook transaction when memory runs out: an error
// code, never an exception (it runs inside DllMain), and the threads opened
// so far are kept.
#include "hooking/other_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

namespace {
std::atomic<bool> g_fail_allocations{false};

// Out of line, so that the compiler pairs the replaced new and delete below
// rather than malloc and free.
__attribute__((noinline)) void* Allocate(std::size_t size) {
  if (g_fail_allocations.load()) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}
__attribute__((noinline)) void Release(void* block) { std::free(block); }
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }

namespace {

TEST(OtherThreadsTest, ListsTheOtherThreadsAndReportsALackOfMemoryAsAnError) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      while (!stop.load()) Sleep(1);
    });
  }
  {
    hooking::OtherThreads all;
    EXPECT_EQ(all.Open(), 0u);
    EXPECT_GE(all.size(), 3u);
  }
  {
    hooking::OtherThreads none;
    g_fail_allocations = true;
    const DWORD result = none.Open();
    g_fail_allocations = false;
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_EQ(none.size(), 0u);
  }
  stop = true;
  for (auto& t : threads) t.join();
}

}  // namespace
