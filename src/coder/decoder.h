// The decoder. It produces exactly the output of the literal form in
// decoder_literal.h, with the same failures, but moves whole spans:
//
// - A literal chunk's end is found with chunk_end over its bytes where they
//   lie in the input block (a chunk that straddles two blocks is gathered
//   in chunk_buf), and the chunk is stored in the ring and written out with
//   block copies.
// - A copy ends after as many bytes as its source chunk had, and its bytes
//   are the source's, so its end is found with chunk_end over the source
//   bytes in the ring, before anything is copied. The one exception is a
//   distance shorter than the chunk, which no encoder writes but a damaged
//   stream may hold: the copy then reads bytes it has itself just written,
//   so its bytes repeat with the period of the distance, and are laid out
//   in chunk_buf first.
// - Nothing here absorbs bytes into the chunker one at a time: the end of a
//   chunk depends on the chunk's own bytes only, and the decoder never
//   needs a key.
#pragma once

#include <cstring>

#include "chunking/chunk_end.h"
#include "coder/coder.h"
#include "coder/format.h"
#include "coder/gather.h"
#include "coder/record.h"
#include "coro/stream_io.h"
#include "driver/page_alloc.h"

namespace longdup {

// Chunk lengths by where the chunks start. A copy whose source is the start
// of a chunk the decoder produced is as long as that chunk (its bytes are
// the chunk's, and a chunk's end depends on its bytes alone), so its length
// is known without scanning the source. Every source an encoder names is
// such a start. The cache lives just past the ring, in the same block; an
// entry holds the chunk's offset in the plain stream (counted from 0, never
// wrapping) above its 16-bit length. Chunks start at least 64 bytes apart,
// so consecutive chunks never share a slot, and runs of copies read the
// cache in order.
//
// Slots follow the output, so past a short output the whole cache is
// touched: it is capped at 32 MiB (sources up to 256 MiB back), which keeps
// the decoder within its output plus 64 MiB for every window; a copy from
// further back under a larger window scans its source instead.
inline constexpr unsigned len_cache_shift = 6;
inline constexpr uint64_t len_cache_max_entries = uint64_t{1} << 22;

inline uint64_t len_cache_entries(uint32_t window) {
  uint64_t n = 1;
  // An entry per 256 bytes of window, up to the cap.
  while (n < window / 256 && n < len_cache_max_entries) n <<= 1;
  return n;
}

inline uint64_t len_cache_bytes(uint32_t window) { return len_cache_entries(window) * 8 + 8; }

inline uint64_t* len_cache(const coder& c) {
  auto end = reinterpret_cast<uintptr_t>(c.hist + c.hist_size);
  return reinterpret_cast<uint64_t*>((end + 7) & ~uintptr_t{7});
}

inline void len_cache_put(const coder& c, uint64_t mask, uint64_t start, std::size_t len) {
  len_cache(c)[(start >> len_cache_shift) & mask] = start << 16 | len;
}

// The cached length of the chunk that starts at `start`, or 0.
inline std::size_t len_cache_get(const coder& c, uint64_t mask, uint64_t start) {
  uint64_t e = len_cache(c)[(start >> len_cache_shift) & mask];
  return e >> 16 == start ? static_cast<std::size_t>(e & 0xFFFF) : 0;
}

// Appends n plain bytes (n below the window) to the ring.
inline void ring_store(coder& c, const uint8_t* p, std::size_t n) {
  std::size_t room = c.hist_size - c.hist_pos;
  if (n < room) {
    std::memcpy(c.hist + c.hist_pos, p, n);
    c.hist_pos += static_cast<uint32_t>(n);
    return;
  }
  std::memcpy(c.hist + c.hist_pos, p, room);
  std::memcpy(c.hist, p + room, n - room);
  c.hist_pos = static_cast<uint32_t>(n - room);
}

// Copies n ring bytes from index r on into dst, across the ring's end.
inline void ring_load(const coder& c, uint32_t r, uint8_t* dst, std::size_t n) {
  std::size_t first = c.hist_size - r;
  if (n <= first) {
    std::memcpy(dst, c.hist + r, n);
    return;
  }
  std::memcpy(dst, c.hist + r, first);
  std::memcpy(dst + first, c.hist, n - first);
}

// The bytes of a copy from `dist` back, where the ring holds them in one
// piece, else in chunk_buf. Sets len to the chunk's length.
inline const uint8_t* copy_source(coder& c, uint32_t dist, uint32_t threshold, uint64_t mask,
                                  std::size_t& len) {
  const uint32_t window = c.hist_size;
  uint32_t r = static_cast<uint32_t>((uint64_t{c.hist_pos} + window - dist) % window);
  len = len_cache_get(c, mask, c.sum - dist);
  std::size_t limit = len ? len : dist < chunk_max_len ? dist : chunk_max_len;
  const uint8_t* q = c.hist + r;
  if (r + limit > window) {
    ring_load(c, r, c.chunk_buf, limit);
    q = c.chunk_buf;
  }
  if (!len) len = chunk_end(q, limit, 0, threshold);
  if (len == 0) {
    // The chunk runs past its own source: lay out the repeating bytes.
    ring_load(c, r, c.chunk_buf, dist);
    for (std::size_t i = dist; i < chunk_max_len; i++) c.chunk_buf[i] = c.chunk_buf[i - dist];
    len = chunk_end(c.chunk_buf, chunk_max_len, 0, threshold);
    return c.chunk_buf;
  }
  // Storing the copy overwrites the ring's oldest bytes; when the window is
  // short of source plus copy, those are source bytes not yet read.
  if (q != c.chunk_buf && uint64_t{dist} + len > window) {
    std::memcpy(c.chunk_buf, q, len);
    q = c.chunk_buf;
  }
  return q;
}

// The ring is written straight through, so its pages are committed ahead
// of the writes, a few MiB per call, instead of one fault per page. The
// lead gives a background commit time to finish before the writes arrive;
// it grows with the output, so that a short one commits little more than
// it fills.
inline constexpr uint32_t ring_commit_step = 4u << 20;
inline constexpr uint64_t ring_commit_lead = 8u << 20;

// One finished chunk of plain bytes: into the ring, out, and counted.
// `committed` is how far the ring's pages are known to be in place.
[[gnu::always_inline]] inline void put_plain(coder& c, const uint8_t* p, std::size_t len,
                                             uint32_t last_src, uint32_t& next_src,
                                             uint32_t& committed, uint64_t mask) {
  const uint64_t lead = c.sum < ring_commit_lead ? c.sum : ring_commit_lead;
  if (c.hist_pos + len + lead > committed && committed < c.hist_size) {
    uint32_t n = c.hist_size - committed < ring_commit_step ? c.hist_size - committed : ring_commit_step;
    page_commit(c.hist + committed, n);
    committed += n;
  }
  ring_store(c, p, len);
  put_bytes(&c.out, p, len);
  len_cache_put(c, mask, c.sum, len);
  c.x++;
  c.sum += len;
  c.stream_pos = pos_advance(c.stream_pos, static_cast<uint32_t>(len));
  next_src = continuation(last_src, static_cast<uint32_t>(len));
}

// Reads n more record bytes into dst; false if the stream ends first.
[[gnu::always_inline]] inline bool take_bytes(coder& c, uint8_t* dst, uint32_t n, uint32_t& got) {
  got = 0;
  if (c.in.end - c.in.ptr >= n) {
    std::memcpy(dst, c.in.ptr, n);
    c.in.ptr += n;
    got = n;
    return true;
  }
  while (got < n) {
    int b = get_byte(&c.in);
    if (b < 0) return false;
    dst[got++] = static_cast<uint8_t>(b);
  }
  return true;
}

[[gnu::always_inline]] inline void decode_loop(coder& c) {
  const uint32_t threshold = c.ck.threshold;
  uint32_t last_src = 0;
  uint32_t next_src = 0;
  uint32_t committed = c.hist_pos;
  const uint64_t mask = len_cache_entries(c.hist_size) - 1;
  for (;;) {
    uint8_t head[4];
    uint32_t got;
    bool in_block = c.in.end - c.in.ptr >= 4;  // the head lies in the block
    if (!take_bytes(c, head, 4, got)) {
      // One to three bytes after the last record are plain bytes.
      put_plain(c, head, got, last_src, next_src, committed, mask);
      return;
    }
    int type = token_type(head);
    if (type == tok_far || type == tok_next) {
      uint32_t dist;
      if (type == tok_far) {
        uint8_t d[4];
        if (!take_bytes(c, d, 4, got)) {
          c.failure = fail_cut_token;
          return;
        }
        dist = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
      } else {
        dist = pos_distance(c.stream_pos, next_src);
      }
      if (!distance_ok(dist, c.hist_size, c.sum)) {
        c.failure = fail_bad_distance;
        return;
      }
      last_src = pos_source(c.stream_pos, dist);
      std::size_t len;
      const uint8_t* q = copy_source(c, dist, threshold, mask, len);
      put_plain(c, q, len, last_src, next_src, committed, mask);
      continue;
    }

    // A literal chunk: after an escape its bytes start here, else the head
    // bytes are its first four.
    uint32_t pending = 0;
    if (type != tok_escape) {
      if (in_block) {
        c.in.ptr -= 4;
      } else {
        std::memcpy(c.chunk_buf, head, 4);
        pending = 4;
      }
    }
    if (pending == 0) {
      uint8_t* start = c.in.ptr;
      std::size_t have = static_cast<std::size_t>(c.in.end - start);
      std::size_t len = chunk_end(start, have, 0, threshold);
      if (len) {
        c.in.ptr = start + len;
        put_plain(c, start, len, last_src, next_src, committed, mask);
        continue;
      }
      std::memcpy(c.chunk_buf, start, have);
      pending = static_cast<uint32_t>(have);
      c.in.ptr = c.in.end;
    }
    // The chunk straddles input blocks: gather it.
    for (;;) {
      if (c.in.ptr == c.in.end) {
        if (get_byte(&c.in) < 0) {
          put_plain(c, c.chunk_buf, pending, last_src, next_src, committed, mask);
          return;
        }
        c.in.ptr--;
      }
      std::size_t len = gather_chunk(c, pending, threshold);
      if (len) {
        put_plain(c, c.chunk_buf, len, last_src, next_src, committed, mask);
        break;
      }
    }
  }
}

}  // namespace longdup
