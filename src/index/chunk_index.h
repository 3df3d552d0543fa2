// The chunk index: an open-addressed table from chunk keys to the stream
// positions where those chunks began, with a probe window of 32 slots, and
// the ageing sweep that deletes entries that have fallen out of reach.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/fingerprint.h"

namespace longdup {

// Values of hentry::val below val_first_pos are markers; anything else is a
// stream position + 2. Positions stay below the period 0xFFFF0000, so stored
// values never reach the markers.
inline constexpr uint32_t val_empty = 0;
inline constexpr uint32_t val_deleted = 1;
inline constexpr uint32_t val_first_pos = 2;

// A key can only be found in the 32 slots starting at its home slot.
inline constexpr uint32_t probe_window = 32;

// One table slot, packed so that the table is a plain array of 20-byte
// entries. A deleted entry keeps its key bytes.
struct [[gnu::packed]] hentry {
  uint32_t val;
  uint8_t key[16];
};
static_assert(sizeof(hentry) == 20);

// One candidate of an insertion: an entry of the run being shifted, and the
// slot it occupies (rewritten to the slot it moves to).
struct hinf {
  uint8_t key[16];
  uint32_t val;
  uint32_t home;  // home slot of the key being inserted
  uint32_t slot;
};
static_assert(sizeof(hinf) == 28);

struct chunk_index {
  uint32_t cfg_tblsize;     // slots in htbl; must exceed probe_window
  uint32_t cfg_tblbytes;    // the table's byte budget; the index operations ignore it
  uint32_t cfg_decwinsize;  // the reach in bytes
  uint32_t found_pos;       // position returned by the last hit
  uint32_t sweep_pos;       // next slot the ageing sweep examines; below cfg_tblsize
  uint32_t evict_cnt;       // entries the sweep has marked deleted
  ::longdup::hinf hinf[probe_window];  // scratch of one insertion
  hentry* htbl;             // cfg_tblsize entries, all empty to begin with
};
static_assert(offsetof(chunk_index, hinf) == 24);
static_assert(offsetof(chunk_index, htbl) == 24 + 32 * sizeof(hinf));

// Both operations need more slots than the probe window and a table whose
// slots were all empty to begin with. Smaller tables stay memory-safe but
// lose entries that they should keep.
//
// Looks the key up in its probe window. On a hit, returns 1 and sets
// found_pos to the stored position; the table is not touched. On a miss,
// returns 0 and enters the key with `pos` at its home slot, shifting the run
// there one slot on; found_pos keeps its value.
uint32_t lookup_insert(chunk_index& ix, const chunk_key& key, uint32_t pos);

// Advances the sweep cursor after a chunk of `len` bytes that ended at `pos`,
// marking deleted every live entry it passes whose position lies at least
// cfg_decwinsize behind pos. Longer chunks move it further, so that the
// cursor laps the table before any entry's distance can wrap around.
void age_sweep(chunk_index& ix, uint32_t pos, uint32_t len);

}  // namespace longdup
