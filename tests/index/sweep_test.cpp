#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/page_alloc.h"
#include "index_fixture.h"

namespace longdup::test {
namespace {

constexpr uint32_t mib = 1u << 20;

// How far the cursor moves per chunk decides whether it laps the table
// before a stale entry's distance wraps. Checked on full-size tables, which
// stay cheap because untouched pages of a zeroed block are never committed.
TEST(age_sweep, pace_per_chunk_length) {
  struct {
    uint32_t size;
    uint32_t window;
    uint32_t len;
    uint32_t steps;
  } cases[] = {
      {13421772, 1024 * mib, 64, 1},      {13421772, 1024 * mib, 239, 1},
      {13421772, 1024 * mib, 240, 2},     {13421772, 1024 * mib, 479, 2},
      {13421772, 1024 * mib, 480, 3},     {13421772, 1024 * mib, 719, 3},
      {13421772, 1024 * mib, 720, 4},     {13421772, 1024 * mib, 65535, 274},
      {13421772, 4095 * mib, 64, 874},    {13421772, 4095 * mib, 100, 1366},
      {13421772, 4095 * mib, 65535, 894772},
      {52428, 1 * mib, 64, 1},            {52428, 1 * mib, 65535, 1},
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " window " << c.window << " len " << c.len);
    chunk_index ix{};
    ix.cfg_tblsize = c.size;
    ix.cfg_decwinsize = c.window;
    ix.htbl = static_cast<hentry*>(page_alloc_zeroed(uint64_t{c.size} * sizeof(hentry)));
    ix.sweep_pos = 1000;
    age_sweep(ix, 5000, c.len);
    EXPECT_EQ(ix.sweep_pos, 1000 + c.steps);
    page_free(ix.htbl);
  }
}

// Stale entries on both sides of the table's end: a sweep that starts two
// slots before the end must continue at slot 0 and stop exactly after its
// steps.
TEST(age_sweep, cursor_wraps_to_slot_zero) {
  struct {
    uint32_t start;
    uint32_t len;  // steps = len / 64 + 1 with the sizes below
    uint32_t end;
  } cases[] = {{63, 1, 0}, {62, 64 * 4, 3}, {0, 64 * 63, 0}, {10, 64 * 127, 10}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "start " << c.start << " len " << c.len);
    // A table of 64 slots and a span of 64 * 64 bytes give one step per 64 bytes.
    small_index s(64, 0xFFFF0000u - 64 * 64);
    for (uint32_t i = 0; i < 64; ++i) s.put(i, make_key(i, 1), 2);  // position 0
    s.ix.sweep_pos = c.start;
    // Position 0 seen from 0 is a whole period back: every entry reached is stale.
    age_sweep(s.ix, 0, c.len);
    EXPECT_EQ(s.ix.sweep_pos, c.end);
    uint32_t steps = c.len / 64 + 1;
    EXPECT_EQ(s.ix.evict_cnt, std::min(steps, 64u));
    for (uint32_t i = 0; i < 64; ++i) {
      bool reached = (i + 64 - c.start) % 64 < steps;
      EXPECT_EQ(s.tbl[i].val, reached ? val_deleted : 2u) << "slot " << i;
    }
  }
}

// Whether one live entry survives a step: the distance from its stored
// position to pos, across the position wrap, against the reach.
TEST(age_sweep, deletes_entries_at_or_beyond_reach) {
  struct {
    uint32_t window;
    uint32_t pos;
    uint32_t stored;
    bool deleted;
  } cases[] = {
      {1000, 5000, 4936, false},             // the 64-byte chunk just emitted
      {1000, 5000, 4001, false},             // distance 999
      {1000, 5000, 4000, true},              // distance exactly the reach
      {64, 5000, 4936, true},                // reach not above the chunk's own length
      {0, 5000, 4999, true},                 // a reach of 0 keeps nothing
      {1024 * mib, 5000, 5000, true},        // equal positions: a whole period back
      {1024 * mib, 5000, 5001, true},        // just ahead: almost a whole period back
      {0x201, 0x100, 0xFFFEFF00, false},     // entered before the wrap: distance 0x200
      {0x200, 0x100, 0xFFFEFF00, true},
      {4095 * mib, 0, 0xFFFEFFFF, false},    // distance 1 across the wrap
      {4095 * mib, 0xFFFEFFFF, 0, true},     // distance 0xFFFEFFFF, beyond even 4095 MiB
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "window " << c.window << " pos " << c.pos << " stored " << c.stored);
    small_index s(64, c.window);
    const chunk_key k = make_key(7, 3);
    s.put(7, k, c.stored + 2);
    s.ix.sweep_pos = 7;
    age_sweep(s.ix, c.pos, 64);
    EXPECT_EQ(s.tbl[7].val, c.deleted ? val_deleted : c.stored + 2);
    EXPECT_EQ(s.ix.evict_cnt, c.deleted ? 1u : 0u);
    EXPECT_EQ(std::memcmp(s.tbl[7].key, k.b, 16), 0) << "a deleted entry keeps its key bytes";
  }
}

TEST(age_sweep, empty_and_deleted_slots_cost_a_step_and_stay) {
  small_index s(64, 0);  // a reach of 0 would delete any live entry
  const chunk_key k = make_key(9, 9);
  s.put(9, k, val_deleted);
  s.ix.sweep_pos = 8;
  s.ix.evict_cnt = 5;
  const std::vector<hentry> before = s.tbl;
  age_sweep(s.ix, 1000, 64);  // slot 8, empty
  age_sweep(s.ix, 1064, 64);  // slot 9, deleted
  EXPECT_EQ(s.ix.sweep_pos, 10u);
  EXPECT_EQ(s.ix.evict_cnt, 5u);
  EXPECT_EQ(std::memcmp(before.data(), s.tbl.data(), before.size() * sizeof(hentry)), 0);
}

}  // namespace
}  // namespace longdup::test
