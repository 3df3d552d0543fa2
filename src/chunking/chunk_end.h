// Where a chunk ends, found from its bytes alone.
//
// The boundary test at a chunk's k-th byte reads the 16-byte window ending
// there, and no test passes before the 64th byte, by which time the window
// lies wholly inside the chunk. So the end of a chunk depends on nothing
// before its first byte: it is the first position from its 64th byte on
// whose window hashes below the threshold, or its 65535th byte. Both
// directions use this to cut spans at once instead of rolling the hash byte
// by byte; the literal chunker gives the same cuts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/candidates.h"
#include "chunking/chunker.h"

namespace longdup {

// The length of the chunk that starts at q, given `have` contiguous bytes
// from q on, of which the first `checked` are known not to end it; 0 when
// the chunk runs past them.
inline std::size_t chunk_end(const uint8_t* q, std::size_t have, std::size_t checked,
                             uint32_t threshold) {
  std::size_t limit = have < chunk_max_len ? have : chunk_max_len;
  std::size_t from = checked > chunk_min_len - 1 ? checked : chunk_min_len - 1;
  if (from < limit) {
    std::size_t k = next_candidate(q, from, limit, threshold);
    if (k < limit) return k + 1;
  }
  return limit == chunk_max_len ? chunk_max_len : 0;
}

}  // namespace longdup
