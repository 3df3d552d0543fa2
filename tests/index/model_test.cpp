// The index against a plain model written step by step, the victim chosen by
// distance from home and the slots reassigned one candidate at a time, over
// random work on small tables where runs collide, fill their windows and
// wrap past the last slot.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "coder/format.h"
#include "index_fixture.h"

namespace longdup::test {
namespace {

struct model {
  uint32_t size;
  uint32_t window;
  std::vector<hentry> tbl;
  uint32_t found_pos = 0;
  uint32_t sweep_pos = 0;
  uint32_t evict_cnt = 0;

  uint32_t home_of(const chunk_key& k) const {
    uint32_t w = k.b[0] | k.b[1] << 8 | k.b[2] << 16 | uint32_t{k.b[3]} << 24;
    return w % size;
  }

  uint32_t lookup_insert(const chunk_key& key, uint32_t pos) {
    const uint32_t home = home_of(key), end = (home + 32) % size;
    for (uint32_t i = home;;) {
      if (tbl[i].val == 0) break;
      if (tbl[i].val != 1 && std::memcmp(tbl[i].key, key.b, 16) == 0) {
        found_pos = tbl[i].val - 2;
        return 1;
      }
      i = (i + 1) % size;
      if (i == end) break;
    }
    struct cand {
      hentry e;
      uint32_t slot;
    };
    std::vector<cand> run;
    for (uint32_t j = home; tbl[j].val != 0;) {
      run.push_back({tbl[j], j});
      j = (j + 1) % size;
      if (j == end) break;
    }
    hentry fresh;
    fresh.val = pos + 2;
    std::memcpy(fresh.key, key.b, 16);
    const size_t n = run.size();
    if (n == 0) {
      tbl[home] = fresh;
      return 0;
    }
    size_t v = 0;
    uint32_t best = 0;
    for (size_t k = 0; k < n; ++k) {
      if (run[k].e.val == 1) {
        v = k;
        best = 0xFFFFFFFF;
      } else if (uint32_t d = (run[k].slot + size - home) % size; d >= best) {
        v = k;
        best = d;
      }
    }
    const uint32_t s = run[n - 1].slot;
    for (size_t k = n - 1; k-- > v;) run[k + 1].slot = run[k].slot;
    run[v].slot = s;
    for (cand& c : run) c.slot = (c.slot + 1) % size;
    if (n < 32)
      run.push_back({fresh, home});
    else
      run[v] = {fresh, home};
    for (const cand& c : run) tbl[c.slot] = c.e;
    return 0;
  }

  void age_sweep(uint32_t pos, uint32_t len) {
    uint64_t q = uint64_t{size} * len / (uint64_t{0xFFFF0000} - window);
    for (uint64_t step = 0; step <= q; ++step) {
      hentry& e = tbl[sweep_pos];
      if (e.val > 1) {
        uint32_t stored = e.val - 2;
        uint32_t d = stored < pos ? pos - stored : pos - stored + 0xFFFF0000u;
        if (d >= window) {
          e.val = 1;
          ++evict_cnt;
        }
      }
      if (++sweep_pos >= size) sweep_pos -= size;
    }
  }
};

TEST(index_model, random_work_matches_model) {
  struct {
    uint32_t size;
    uint32_t window;
    uint32_t homes;  // distinct home words in use; few means long runs
    uint32_t keys;
  } cases[] = {
      {33, 3000, 6, 80}, {40, 8000, 5, 120}, {64, 20000, 12, 300}, {97, 1u << 20, 20, 500},
      {64, 0, 8, 100},           // every entry the cursor meets is out of reach
      {64, 0xFFF00000, 8, 100},  // a reach near the period: several steps per chunk
  };
  std::mt19937 rng(12345);
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " window " << c.window);
    small_index s(c.size, c.window);
    model m{c.size, c.window, std::vector<hentry>(c.size)};
    // Homes near the top of the table so that windows wrap, and near 0.
    std::vector<chunk_key> pool;
    for (uint32_t i = 0; i < c.keys; ++i) {
      uint32_t h = i % c.homes;
      uint32_t word = (h % 2 ? c.size - 1 - h : h) + c.size * (rng() % 1000);
      chunk_key k = make_key(word, static_cast<uint8_t>(i));
      k.b[5] = static_cast<uint8_t>(i >> 8);
      k.b[14] = static_cast<uint8_t>(64 + rng() % 32);
      pool.push_back(k);
    }
    // Positions start near the wrap so that the sweep sees stored positions
    // on both sides of it.
    uint32_t pos = 0xFFFF0000u - 40000;
    for (int op = 0; op < 20000; ++op) {
      const chunk_key& k = pool[rng() % pool.size()];
      uint32_t len = k.b[14];
      ASSERT_EQ(lookup_insert(s.ix, k, pos), m.lookup_insert(k, pos)) << "op " << op;
      ASSERT_EQ(s.ix.found_pos, m.found_pos) << "op " << op;
      pos = pos_advance(pos, len);
      if (rng() % 4 != 0) {
        // Lengths up to the largest chunk, for sweeps of several steps.
        uint32_t sweep_len = len * (1 + rng() % 400);
        age_sweep(s.ix, pos, sweep_len);
        m.age_sweep(pos, sweep_len);
      }
      ASSERT_EQ(std::memcmp(s.tbl.data(), m.tbl.data(), c.size * sizeof(hentry)), 0) << "op " << op;
      ASSERT_EQ(s.ix.sweep_pos, m.sweep_pos) << "op " << op;
      ASSERT_EQ(s.ix.evict_cnt, m.evict_cnt) << "op " << op;
    }
  }
}

}  // namespace
}  // namespace longdup::test
