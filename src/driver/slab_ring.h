// Slabs handed between the coder's thread and an I/O thread, in order.
//
// Reading and writing files costs the kernel a copy to or from the page
// cache, and a write also the pages to copy into: about as much time again
// as the coding itself. On a thread of its own that work overlaps the
// coder's. One side fills slabs and passes them on, the other takes them in
// the same order and gives them back; four slabs of 1 MiB keep both busy.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace longdup {

struct slab_ring {
  static constexpr uint32_t count = 4;
  static constexpr std::size_t bytes = std::size_t{1} << 20;

  std::unique_ptr<uint8_t[]> mem;  // count * bytes
  std::size_t len[count] = {};     // bytes passed on in each slab
  uint64_t made = 0;               // slabs passed on by the filling side
  uint64_t used = 0;               // slabs given back by the taking side
  bool closing = false;            // the filling side passes on no more
  bool stop = false;               // the coder's side is done: the thread ends as soon as it can
  int err = 0;                     // errno of the I/O thread's first failure
  std::mutex m;
  std::condition_variable cv;
  std::thread t;
};

inline uint8_t* slab_at(slab_ring& r, uint64_t i) { return r.mem.get() + (i % slab_ring::count) * slab_ring::bytes; }

// Allocates the slabs and starts body(arg) with the signals blocked that
// belong to the main thread (all but SIGPIPE, which must end the process
// from whatever thread wrote to a closed pipe). False if memory or a thread
// cannot be had.
bool slab_ring_start(slab_ring& r, void (*body)(void*), void* arg);

// The filling side: waits for a free slab and returns it; null once the
// ring is stopped or the I/O thread has failed.
uint8_t* slab_to_fill(slab_ring& r);
// Passes on the slab from slab_to_fill with n bytes; `last` closes the ring.
void slab_pass(slab_ring& r, std::size_t n, bool last);

// The taking side: waits for the next slab; null when the ring is closed
// and drained, or stopped.
uint8_t* slab_to_take(slab_ring& r, std::size_t& n);
// Gives the slab from slab_to_take back.
void slab_give_back(slab_ring& r);

// The I/O thread's failure: err is kept, and the filling side stops.
void slab_fail(slab_ring& r, int err);

// Stops the ring and joins its thread.
void slab_ring_stop(slab_ring& r);

}  // namespace longdup
