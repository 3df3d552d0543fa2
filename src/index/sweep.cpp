#include <algorithm>
#include <cassert>

#include "coder/format.h"
#include "index/chunk_index.h"

namespace longdup {
namespace {

// One stretch of the sweep that does not pass the end of the table.
uint32_t sweep_span(hentry* e, uint32_t count, uint32_t pos, uint32_t window) {
  uint32_t evicted = 0;
  for (hentry* stop = e + count; e != stop; ++e) {
    const uint32_t val = e->val;
    if (val < val_first_pos) continue;
    if (in_reach(pos_distance(pos, val - val_first_pos), window)) continue;
    e->val = val_deleted;
    ++evicted;
  }
  return evicted;
}

}  // namespace

// Positions are counted modulo a period, so an entry left alone for a whole
// period would measure as recent again. Between the moment an entry falls
// out of reach and the moment its distance wraps, the stream moves on by
// period - window bytes; tblsize * len / (period - window) steps per chunk,
// rounded down, plus one, make the cursor pass every slot within that span.
// The encoder applies the same distance rule to the next chunk at this same
// position, so what the sweep leaves live is what the encoder would use.
void age_sweep(chunk_index& ix, uint32_t pos, uint32_t len) {
  assert(ix.cfg_tblsize != 0 && ix.sweep_pos < ix.cfg_tblsize);
  assert(ix.cfg_decwinsize < pos_period);
  const uint32_t size = ix.cfg_tblsize;
  const uint64_t span = uint64_t{pos_period} - ix.cfg_decwinsize;
  uint64_t steps = uint64_t{size} * len / span + 1;

  uint32_t at = ix.sweep_pos;
  uint32_t evicted = 0;
  while (steps != 0) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(steps, size - at));
    evicted += sweep_span(ix.htbl + at, count, pos, ix.cfg_decwinsize);
    steps -= count;
    at += count;
    if (at == size) at = 0;
  }
  ix.sweep_pos = at;
  ix.evict_cnt += evicted;
}

}  // namespace longdup
