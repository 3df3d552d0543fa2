#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "index/chunk_index.h"
#include "index_fixture.h"

namespace longdup::test {
namespace {

// Keys K1..K4 with homes 2, 2, 3 and 2 in a 64-slot table, walked through
// insertions that shift a run, a hit behind the run, and an insertion that
// meets a deleted entry.
TEST(lookup_insert, worked_example_slot_by_slot) {
  small_index s(64);
  const chunk_key k1 = make_key(130, 1), k2 = make_key(66, 2), k3 = make_key(3, 3),
                  k4 = make_key(194, 4);

  EXPECT_EQ(lookup_insert(s.ix, k1, 0), 0u);
  expect_table(s, {{2, k1, 2}});

  EXPECT_EQ(lookup_insert(s.ix, k2, 100), 0u);
  expect_table(s, {{2, k2, 102}, {3, k1, 2}});

  EXPECT_EQ(lookup_insert(s.ix, k3, 200), 0u);
  expect_table(s, {{2, k2, 102}, {3, k3, 202}, {4, k1, 2}});

  EXPECT_EQ(lookup_insert(s.ix, k1, 300), 1u);
  EXPECT_EQ(s.ix.found_pos, 0u);
  expect_table(s, {{2, k2, 102}, {3, k3, 202}, {4, k1, 2}});

  // One sweep step at slot 2 with a reach that position 100 is out of.
  s.ix.cfg_decwinsize = 50;
  s.ix.sweep_pos = 2;
  age_sweep(s.ix, 400, 64);
  expect_table(s, {{2, k2, 1}, {3, k3, 202}, {4, k1, 2}});

  EXPECT_EQ(lookup_insert(s.ix, k4, 400), 0u);
  expect_table(s, {{2, k4, 402}, {3, k3, 202}, {4, k1, 2}, {5, k2, 1}});
  EXPECT_EQ(s.ix.found_pos, 0u);
}

// 32 keys sharing a home fill their window, newest first; a 33rd drops the
// oldest, unless the window holds a deleted entry, which then absorbs the
// shift. Homes near the end of the table make the window wrap to slot 0.
TEST(lookup_insert, full_window) {
  struct {
    uint32_t home;
    int deleted_at;  // place in the window marked deleted before the 33rd key, or -1
  } cases[] = {{10, -1}, {10, 10}, {50, -1}, {50, 20}, {40, 31}, {63, 0}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "home " << c.home << " deleted " << c.deleted_at);
    small_index s(64);
    std::vector<chunk_key> keys;
    for (uint32_t i = 0; i < 33; ++i) keys.push_back(make_key(c.home + 64 * i, static_cast<uint8_t>(i + 1)));
    for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(lookup_insert(s.ix, keys[i], 10 * i), 0u);

    // Place p of the window holds key 31 - p.
    auto slot = [&](uint32_t p) { return (c.home + p) % 64; };
    std::vector<slot_is> want;
    for (uint32_t p = 0; p < 32; ++p) want.push_back({slot(p), keys[31 - p], 10 * (31 - p) + 2});
    expect_table(s, want);

    if (c.deleted_at >= 0) s.tbl[slot(c.deleted_at)].val = val_deleted;
    ASSERT_EQ(lookup_insert(s.ix, keys[32], 320), 0u);

    // Everything before the dropped place moves one on; after it, nothing moves.
    uint32_t dropped = c.deleted_at >= 0 ? c.deleted_at : 31;
    want.clear();
    want.push_back({slot(0), keys[32], 322});
    for (uint32_t p = 0; p < 32; ++p) {
      if (p == dropped) continue;
      uint32_t to = p < dropped ? p + 1 : p;
      want.push_back({slot(to), keys[31 - p], 10 * (31 - p) + 2});
    }
    expect_table(s, want);
  }
}

// A run shorter than the window with deleted entries at places 1 and 3: the
// farther one is the victim and ends up in the empty slot after the run,
// still deleted; the nearer one moves on with the live entries before it.
TEST(lookup_insert, farthest_deleted_entry_moves_past_the_run) {
  small_index s(64);
  std::vector<chunk_key> k;
  for (uint8_t i = 0; i < 7; ++i) k.push_back(make_key(10, i + 1));
  const uint32_t vals[6] = {500, val_deleted, 400, val_deleted, 300, 200};
  for (uint32_t p = 0; p < 6; ++p) s.put(10 + p, k[p], vals[p]);

  EXPECT_EQ(lookup_insert(s.ix, k[6], 1000), 0u);
  expect_table(s, {{10, k[6], 1002},
                   {11, k[0], 500},
                   {12, k[1], val_deleted},
                   {13, k[2], 400},
                   {14, k[4], 300},
                   {15, k[5], 200},
                   {16, k[3], val_deleted}});
}

TEST(lookup_insert, hit_behind_deleted_entries_changes_nothing) {
  small_index s(64);
  const chunk_key target = make_key(61, 9);
  s.put(61, make_key(61, 1), val_deleted);
  s.put(62, make_key(125, 2), 77);
  s.put(63, make_key(61, 3), val_deleted);
  s.put(0, make_key(189, 4), 88);
  s.put(1, target, 12345);  // past the last slot: the window wraps
  s.put(2, make_key(61, 5), 99);
  const std::vector<hentry> before = s.tbl;
  s.ix.found_pos = 7;

  EXPECT_EQ(lookup_insert(s.ix, target, 50000), 1u);
  EXPECT_EQ(s.ix.found_pos, 12343u);
  EXPECT_EQ(std::memcmp(before.data(), s.tbl.data(), before.size() * sizeof(hentry)), 0);
}

// Only a live entry with all 16 bytes equal is a hit. Each probe differs from
// the stored key in one byte but has the same home.
TEST(lookup_insert, every_key_byte_counts) {
  for (int byte = 0; byte < 16; ++byte) {
    SCOPED_TRACE(testing::Message() << "byte " << byte);
    small_index s(64);
    chunk_key stored = make_key(7, 0x33);
    for (int i = 4; i < 16; ++i) stored.b[i] = static_cast<uint8_t>(i * 17);
    ASSERT_EQ(lookup_insert(s.ix, stored, 100), 0u);

    chunk_key probe = stored;
    probe.b[byte] ^= byte == 0 ? 0x40 : 0x01;  // 0x40 keeps the home in a 64-slot table
    EXPECT_EQ(lookup_insert(s.ix, probe, 200), 0u);
    EXPECT_EQ(lookup_insert(s.ix, stored, 300), 1u);
    EXPECT_EQ(s.ix.found_pos, 100u);
  }
}

// The key bytes of a deleted entry stay, but it must not match: the key is
// entered afresh at its home and the deleted marker moves on.
TEST(lookup_insert, deleted_copy_of_key_misses) {
  small_index s(64);
  const chunk_key k = make_key(5, 1);
  s.put(5, k, val_deleted);
  s.ix.found_pos = 4242;

  EXPECT_EQ(lookup_insert(s.ix, k, 50), 0u);
  EXPECT_EQ(s.ix.found_pos, 4242u);
  expect_table(s, {{5, k, 52}, {6, k, val_deleted}});
  EXPECT_EQ(lookup_insert(s.ix, k, 60), 1u);
  EXPECT_EQ(s.ix.found_pos, 50u);
}

// Misses never touch found_pos: the encoder reads it after every chunk as
// the source of the last match.
TEST(lookup_insert, found_pos_survives_misses) {
  small_index s(64);
  EXPECT_EQ(lookup_insert(s.ix, make_key(1, 1), 10), 0u);
  EXPECT_EQ(s.ix.found_pos, 0u);
  EXPECT_EQ(lookup_insert(s.ix, make_key(1, 1), 20), 1u);
  EXPECT_EQ(s.ix.found_pos, 10u);
  EXPECT_EQ(lookup_insert(s.ix, make_key(1, 2), 30), 0u);
  EXPECT_EQ(lookup_insert(s.ix, make_key(65, 3), 40), 0u);
  EXPECT_EQ(s.ix.found_pos, 10u);
}

TEST(lookup_insert, extreme_positions_round_trip) {
  struct {
    uint32_t pos;
    uint32_t val;
  } cases[] = {{0, 2}, {1, 3}, {0xFFFEFFFF, 0xFFFF0001}};
  for (auto c : cases) {
    small_index s(64);
    const chunk_key k = make_key(20, 1);
    ASSERT_EQ(lookup_insert(s.ix, k, c.pos), 0u);
    EXPECT_EQ(s.tbl[20].val, c.val);
    // The index ignores distances: any later position still hits.
    EXPECT_EQ(lookup_insert(s.ix, k, c.pos == 0 ? 0xFFFEFFFF : 0), 1u);
    EXPECT_EQ(s.ix.found_pos, c.pos);
  }
}

TEST(lookup_insert, home_is_first_word_modulo_size) {
  small_index s(52428);
  const chunk_key k = make_key(0xFFFFFFFF, 1);  // 4294967295 mod 52428 = 13107
  ASSERT_EQ(lookup_insert(s.ix, k, 5), 0u);
  EXPECT_EQ(s.tbl[13107].val, 7u);
  EXPECT_EQ(std::memcmp(s.tbl[13107].key, k.b, 16), 0);
}

// Tables of 32 slots or fewer cannot keep the window rule, and the driver
// refuses them, but even so nothing may be touched outside the table.
TEST(lookup_insert, tiny_tables_stay_inside) {
  std::mt19937 rng(7);
  for (uint32_t size : {1u, 2u, 5u, 16u, 31u, 32u, 33u}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    const uint32_t guard = 40;
    std::vector<hentry> mem(size + 2 * guard);
    for (hentry& e : mem) std::memset(&e, 0xEE, sizeof e);
    for (uint32_t i = 0; i < size; ++i) std::memset(&mem[guard + i], 0, sizeof(hentry));
    chunk_index ix{};
    ix.cfg_tblsize = size;
    ix.cfg_decwinsize = 1000;
    ix.htbl = mem.data() + guard;
    for (uint32_t op = 0; op < 2000; ++op) {
      lookup_insert(ix, make_key(rng() % 100, static_cast<uint8_t>(rng() % 8)), op * 64);
      age_sweep(ix, op * 64 + 64, 64);
    }
    hentry untouched;
    std::memset(&untouched, 0xEE, sizeof untouched);
    for (uint32_t i = 0; i < guard; ++i) {
      ASSERT_EQ(std::memcmp(&mem[i], &untouched, sizeof untouched), 0) << "below the table, " << i;
      ASSERT_EQ(std::memcmp(&mem[guard + size + i], &untouched, sizeof untouched), 0)
          << "above the table, " << i;
    }
  }
}

}  // namespace
}  // namespace longdup::test
