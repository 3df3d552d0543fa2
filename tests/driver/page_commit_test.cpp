#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/page_alloc.h"

namespace longdup {
namespace {

// Commits run on their own thread from here on, for the rest of this test
// program too: every later test frees blocks while commits may be queued.
TEST(page_commit, background_commits_leave_blocks_zero_and_freeable) {
  ASSERT_TRUE(page_commit_background());
  EXPECT_TRUE(page_commit_in_background());
  EXPECT_TRUE(page_commit_background()) << "turning it on twice keeps the one thread";

  constexpr uint64_t mib = 1u << 20;
  struct {
    uint64_t size;
    uint64_t step;   // size of each commit asked for
    bool write;      // write the block while commits are queued
  } cases[] = {
      {64 * mib, 64 * mib, false},  // freed at once: the thread must leave it first
      {64 * mib, 4 * mib, true},    // written while committed ahead, like the ring
      {40 * mib, 1 * mib, false},   // more ranges than the queue holds: the rest dropped
      {3 * 4096 + 5, 4096, true},   // ranges that end inside a page
  };
  for (auto c : cases) {
    auto* p = static_cast<uint8_t*>(page_alloc_zeroed(c.size));
    for (uint64_t at = 0; at < c.size; at += c.step)
      page_commit(p + at, c.step < c.size - at ? c.step : c.size - at);
    if (c.write) {
      for (uint64_t at = 0; at < c.size; at += 4096) {
        EXPECT_EQ(p[at], 0) << "at " << at;
        p[at] = 1;
      }
    }
    EXPECT_EQ(p[c.size - 1], 0);
    page_free(p);
  }
  // Freed ranges may be mapped again at once; what the thread was doing
  // must not reach into the new block.
  for (int i = 0; i < 20; i++) {
    auto* p = static_cast<uint8_t*>(page_alloc_zeroed(16 << 20));
    page_commit(p, 16 << 20);
    std::vector<uint8_t> zero(4096, 0);
    EXPECT_EQ(std::memcmp(p + (i * 4096 % (16 << 20)), zero.data(), zero.size()), 0);
    page_free(p);
  }
}

}  // namespace
}  // namespace longdup
