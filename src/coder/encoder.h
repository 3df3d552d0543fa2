// The encoder. It writes exactly the bytes of the literal form in
// encoder_literal.h, but works on whole spans of the input block:
//
// - A chunk's end depends only on its own bytes: the boundary test at a
//   chunk's k-th byte reads the 16-byte window ending there, which lies
//   inside the chunk from the 64th byte on, and no test passes earlier. So
//   the end of a chunk starting at s is the first position from s + 63 on
//   whose window hashes below the threshold, or s + 65534. next_candidate
//   finds that position without rolling the hash over the chunk's first
//   bytes.
// - A chunk's key depends only on its bytes too, so the keys of a batch of
//   chunks are computed together in parallel lanes, and their home slots
//   are prefetched before the lookups, which stay in stream order.
// - Chunks that lie wholly inside the input block are written straight from
//   it. Only a chunk that straddles two blocks is gathered in chunk_buf.
#pragma once

#include <cstring>

#include "chunking/candidates.h"
#include "chunking/fp_batch.h"
#include "coder/coder.h"
#include "coder/record.h"
#include "coro/stream_io.h"

namespace longdup {

inline constexpr std::size_t encode_batch = 32;

// The length of the chunk that starts at q, given `have` bytes from q on of
// which the first `checked` are known to hold no candidate; 0 when the
// chunk needs more bytes than that.
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

inline void prefetch_home(const chunk_index& ix, const chunk_key& key) {
  uint32_t word;
  std::memcpy(&word, key.b, 4);
  __builtin_prefetch(ix.htbl + word % ix.cfg_tblsize);
}

[[gnu::always_inline]] inline void encode_loop(coder& c) {
  const uint32_t threshold = c.ck.threshold;
  uint32_t next_src = 0;
  uint32_t pending = 0;   // bytes of a straddling chunk gathered in chunk_buf
  uint32_t checked = 0;   // of those, the ones known not to end the chunk
  const uint8_t* ptrs[encode_batch];
  uint32_t lens[encode_batch];
  chunk_key keys[encode_batch];
  for (;;) {
    if (c.in.ptr == c.in.end) {
      // get_byte yields until input arrives; the byte it takes stays in
      // the buffer, so step back over it.
      if (get_byte(&c.in) < 0) break;
      c.in.ptr--;
    }
    const uint8_t* p = c.in.ptr;
    const uint8_t* const e = c.in.end;

    if (pending) {
      std::size_t take = static_cast<std::size_t>(e - p);
      if (take > chunk_max_len - pending) take = chunk_max_len - pending;
      std::memcpy(c.chunk_buf + pending, p, take);
      std::size_t len = chunk_end(c.chunk_buf, pending + take, checked, threshold);
      if (!len) {
        pending += static_cast<uint32_t>(take);
        checked = pending;
        c.in.ptr = e;
        continue;
      }
      c.in.ptr = p + (len - pending);
      pending = 0;
      checked = 0;
      c.ck.cur_key = fp_chunk(c.chunk_buf, static_cast<uint32_t>(len));
      write_record<false>(c, c.chunk_buf, static_cast<uint32_t>(len), next_src);
      age_sweep(c.ix, c.stream_pos, static_cast<uint32_t>(len));
      continue;
    }

    // Cut as many whole chunks from the block as a batch holds; a rest that
    // starts a chunk ending in a later block is gathered in chunk_buf.
    std::size_t n = 0;
    while (n < encode_batch) {
      std::size_t len = chunk_end(p, static_cast<std::size_t>(e - p), 0, threshold);
      if (!len) {
        pending = static_cast<uint32_t>(e - p);
        checked = pending;
        std::memcpy(c.chunk_buf, p, pending);
        p = e;
        break;
      }
      ptrs[n] = p;
      lens[n] = static_cast<uint32_t>(len);
      p += len;
      n++;
    }
    c.in.ptr = p;
    if (n == 0) continue;
    fp_chunks(ptrs, lens, n, keys);
    for (std::size_t i = 0; i < n; i++) prefetch_home(c.ix, keys[i]);
    for (std::size_t i = 0; i < n; i++) {
      c.ck.cur_key = keys[i];
      write_record<false>(c, ptrs[i], lens[i], next_src);
      age_sweep(c.ix, c.stream_pos, lens[i]);
    }
  }
  // The final chunk, possibly empty, is recorded like any other but is not
  // followed by a sweep.
  c.ck.cur_key = fp_chunk(c.chunk_buf, pending);
  write_record<false>(c, c.chunk_buf, pending, next_src);
}

}  // namespace longdup
