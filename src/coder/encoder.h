// The encoder. It writes exactly the bytes of the literal form in
// encoder_literal.h, but works on whole spans of the input block:
//
// - A chunk's end depends only on its own bytes (chunk_end.h), so it is
//   found without rolling the hash over the chunk's first bytes.
// - A chunk's key depends only on its bytes too, so the keys of a batch of
//   chunks are computed together in parallel lanes, and their home slots
//   are prefetched before the lookups, which stay in stream order.
// - Chunks that lie wholly inside the input block are written straight from
//   it. Only a chunk that straddles two blocks is gathered in chunk_buf.
#pragma once

#include <cstring>

#include "chunking/chunk_end.h"
#include "chunking/fp_batch.h"
#include "coder/coder.h"
#include "coder/gather.h"
#include "coder/record.h"
#include "coro/stream_io.h"

namespace longdup {

inline constexpr std::size_t encode_batch = 64;

inline void prefetch_home(const chunk_index& ix, const chunk_key& key) {
  uint32_t word;
  std::memcpy(&word, key.b, 4);
  __builtin_prefetch(ix.htbl + word % ix.cfg_tblsize);
}

// Chunks cut from the input block whose keys are known and whose home
// slots are being fetched.
struct chunk_batch {
  std::size_t n;
  const uint8_t* ptrs[encode_batch];
  uint32_t lens[encode_batch];
  chunk_key keys[encode_batch];
};

// Cuts whole chunks from [p, e) into b, up to a batch, and starts fetching
// their slots. A rest that begins a chunk ending in a later block is
// gathered in chunk_buf (pending bytes, all known not to end it). Returns
// where the next chunk starts.
inline uint8_t* cut_batch(coder& c, uint8_t* p, uint8_t* e, chunk_batch& b, uint32_t& pending) {
  b.n = 0;
  while (b.n < encode_batch && p < e) {
    std::size_t len = chunk_end(p, static_cast<std::size_t>(e - p), 0, c.ck.threshold);
    if (!len) {
      pending = static_cast<uint32_t>(e - p);
      std::memcpy(c.chunk_buf, p, pending);
      p = e;
      break;
    }
    b.ptrs[b.n] = p;
    b.lens[b.n] = static_cast<uint32_t>(len);
    b.n++;
    p += len;
  }
  fp_chunks(b.ptrs, b.lens, b.n, b.keys);
  for (std::size_t i = 0; i < b.n; i++) prefetch_home(c.ix, b.keys[i]);
  return p;
}

[[gnu::always_inline]] inline void encode_loop(coder& c) {
  const uint32_t threshold = c.ck.threshold;
  uint32_t next_src = 0;
  uint32_t pending = 0;  // bytes of a straddling chunk gathered in chunk_buf
  chunk_batch batch[2];
  for (;;) {
    if (c.in.ptr == c.in.end) {
      // get_byte yields until input arrives; the byte it takes stays in
      // the buffer, so step back over it.
      if (get_byte(&c.in) < 0) break;
      c.in.ptr--;
    }
    if (pending) {
      std::size_t len = gather_chunk(c, pending, threshold);
      if (!len) continue;
      c.ck.cur_key = fp_chunk(c.chunk_buf, static_cast<uint32_t>(len));
      write_record<false>(c, c.chunk_buf, static_cast<uint32_t>(len), next_src);
      age_sweep(c.ix, c.stream_pos, static_cast<uint32_t>(len));
      continue;
    }

    uint8_t* p = c.in.ptr;
    uint8_t* const e = c.in.end;
    // Two batches in flight: the slots of the next are being fetched while
    // the current one is looked up and written, in stream order.
    int cur = 0;
    p = cut_batch(c, p, e, batch[cur], pending);
    while (batch[cur].n) {
      p = cut_batch(c, p, e, batch[cur ^ 1], pending);
      const chunk_batch& b = batch[cur];
      for (std::size_t i = 0; i < b.n; i++) {
        c.ck.cur_key = b.keys[i];
        write_record<false>(c, b.ptrs[i], b.lens[i], next_src);
        age_sweep(c.ix, c.stream_pos, b.lens[i]);
      }
      cur ^= 1;
    }
    c.in.ptr = p;
  }
  // The final chunk, possibly empty, is recorded like any other but is not
  // followed by a sweep.
  c.ck.cur_key = fp_chunk(c.chunk_buf, pending);
  write_record<false>(c, c.chunk_buf, pending, next_src);
}

}  // namespace longdup
