#include <cassert>
#include <cstring>

#include "index/chunk_index.h"

namespace longdup {
namespace {

uint32_t next_slot(uint32_t i, uint32_t size) { return i + 1 == size ? 0 : i + 1; }

uint32_t home_slot(const chunk_key& key, uint32_t size) {
  uint32_t word = key.b[0] | key.b[1] << 8 | key.b[2] << 16 | static_cast<uint32_t>(key.b[3]) << 24;
  return word % size;
}

// The length bytes and byte 13 go first: keys of different chunks seldom
// share them, so most mismatches are settled by the first compare or two.
// The two 8-byte words overlap in bytes 5..7 to cover bytes 0..12 in two
// loads.
bool same_key(const uint8_t* a, const uint8_t* b) {
  uint16_t len_a, len_b;
  std::memcpy(&len_a, a + 14, 2);
  std::memcpy(&len_b, b + 14, 2);
  if (len_a != len_b || a[13] != b[13]) return false;
  uint64_t lo_a, lo_b, mid_a, mid_b;
  std::memcpy(&lo_a, a, 8);
  std::memcpy(&lo_b, b, 8);
  if (lo_a != lo_b) return false;
  std::memcpy(&mid_a, a + 5, 8);
  std::memcpy(&mid_b, b + 5, 8);
  return mid_a == mid_b;
}

void set_candidate(hinf& c, const uint8_t* key, uint32_t val, uint32_t home, uint32_t slot) {
  std::memcpy(c.key, key, sizeof c.key);
  c.val = val;
  c.home = home;
  c.slot = slot;
}

// Enters a key that the lookup missed. The newest key always takes its home
// slot; the run behind it moves one slot on, except that the last deleted
// entry of the run (or, with none, the last entry) is the victim: everything
// after it stays put and it alone moves to the end of the run, into the
// empty slot there, or out of the table when the run fills the window.
// So a deleted place absorbs the shift and no live entry is lost while the
// window holds a deleted one.
void insert(chunk_index& ix, const chunk_key& key, uint32_t pos, uint32_t home, uint32_t end) {
  const uint32_t size = ix.cfg_tblsize;
  hentry* const tbl = ix.htbl;
  hinf* const cand = ix.hinf;

  // Collect the run: every occupied slot from home up to the first empty
  // one or the end of the window.
  constexpr uint32_t none = ~uint32_t{0};
  uint32_t n = 0;
  uint32_t last_deleted = none;
  uint32_t j = home;
  do {
    const hentry& e = tbl[j];
    if (e.val == val_empty) break;
    if (e.val == val_deleted) last_deleted = n;
    set_candidate(cand[n], e.key, e.val, home, j);
    ++n;
    j = next_slot(j, size);
  } while (j != end && n < probe_window);

  const uint32_t val = pos + val_first_pos;
  if (n == 0) {
    tbl[home].val = val;
    std::memcpy(tbl[home].key, key.b, sizeof key.b);
    return;
  }

  // Candidate k was collected at home + k, so its distance from home is k:
  // a victim chosen by greatest distance, any deleted candidate outranking
  // every live one, is the last deleted candidate, else the last one.
  const uint32_t victim = last_deleted != none ? last_deleted : n - 1;

  // The victim takes the run's last slot and each candidate after it the
  // slot of the one before; then every candidate moves one on. That frees
  // home, moves the candidates before the victim one on, leaves the ones
  // after it where they were and sends the victim just past the run.
  const uint32_t last_slot = cand[n - 1].slot;
  for (uint32_t k = n - 1; k > victim; --k) cand[k].slot = cand[k - 1].slot;
  cand[victim].slot = last_slot;
  for (uint32_t k = 0; k < n; ++k) cand[k].slot = next_slot(cand[k].slot, size);

  // A run shorter than the window ended at an empty slot, which the victim
  // now fills; a full window has no room, so the new key replaces the
  // victim's record and the victim leaves the table.
  uint32_t count = n;
  uint32_t new_rec = victim;
  if (n < probe_window) new_rec = count++;
  set_candidate(cand[new_rec], key.b, val, home, home);

  for (uint32_t k = 0; k < count; ++k) {
    hentry& e = tbl[cand[k].slot];
    e.val = cand[k].val;
    std::memcpy(e.key, cand[k].key, sizeof e.key);
  }
}

}  // namespace

uint32_t lookup_insert(chunk_index& ix, const chunk_key& key, uint32_t pos) {
  assert(ix.cfg_tblsize != 0);
  const uint32_t size = ix.cfg_tblsize;
  const hentry* const tbl = ix.htbl;
  const uint32_t home = home_slot(key, size);
  const uint32_t end = (home + probe_window) % size;

  uint32_t i = home;
  do {
    const hentry& e = tbl[i];
    const uint32_t val = e.val;
    if (val == val_empty) break;
    if (val != val_deleted && same_key(e.key, key.b)) {
      ix.found_pos = val - val_first_pos;
      return 1;
    }
    i = next_slot(i, size);
  } while (i != end);

  insert(ix, key, pos, home, end);
  return 0;
}

}  // namespace longdup
