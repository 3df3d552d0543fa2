// Output written on a thread of its own. The bytes, their order and every
// error stay what direct writes would give; an error is seen a slab or so
// later, by the next write or by wb_finish.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/slab_ring.h"

namespace longdup {

struct write_behind {
  slab_ring r;
  int fd = -1;
  uint8_t* cur = nullptr;  // the slab being filled; null once writing has failed
  std::size_t fill = 0;    // bytes in it
};

// Starts the thread for fd. False if memory or a thread cannot be had; the
// caller then writes directly.
bool wb_start(write_behind& w, int fd);

// Queues n bytes. False once a write has failed; wb_error says why.
bool wb_write(write_behind& w, const uint8_t* buf, std::size_t n);

// Room for the next n <= slab_ring::bytes bytes inside a slab: a caller that
// writes them there and then passes that address to wb_write spares the
// copy. Null once a write has failed.
uint8_t* wb_buffer(write_behind& w, std::size_t n);

// Ends the thread: with keep, after writing everything queued; without, as
// soon as the write in progress returns. False if any write failed.
bool wb_finish(write_behind& w, bool keep);

inline int wb_error(const write_behind& w) { return w.r.err; }

}  // namespace longdup
