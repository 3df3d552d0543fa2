#include "driver/slab_ring.h"

#include <signal.h>

#include <new>
#include <system_error>

namespace longdup {

bool slab_ring_start(slab_ring& r, void (*body)(void*), void* arg) {
  r.mem.reset(new (std::nothrow) uint8_t[slab_ring::count * slab_ring::bytes]);
  if (!r.mem) return false;
  sigset_t all, old;
  sigfillset(&all);
  sigdelset(&all, SIGPIPE);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    r.t = std::thread(body, arg);
  } catch (const std::system_error&) {
    r.mem.reset();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return r.t.joinable();
}

uint8_t* slab_to_fill(slab_ring& r) {
  std::unique_lock lock(r.m);
  r.cv.wait(lock, [&] { return r.made - r.used < slab_ring::count || r.stop || r.err; });
  return r.stop || r.err ? nullptr : slab_at(r, r.made);
}

void slab_pass(slab_ring& r, std::size_t n, bool last) {
  std::lock_guard lock(r.m);
  r.len[r.made % slab_ring::count] = n;
  r.made++;
  r.closing = last;
  r.cv.notify_all();
}

uint8_t* slab_to_take(slab_ring& r, std::size_t& n) {
  std::unique_lock lock(r.m);
  r.cv.wait(lock, [&] { return r.used < r.made || r.closing || r.stop; });
  if (r.stop || r.used == r.made) return nullptr;
  n = r.len[r.used % slab_ring::count];
  return slab_at(r, r.used);
}

void slab_give_back(slab_ring& r) {
  std::lock_guard lock(r.m);
  r.used++;
  r.cv.notify_all();
}

void slab_fail(slab_ring& r, int err) {
  std::lock_guard lock(r.m);
  r.err = err;
  r.cv.notify_all();
}

void slab_ring_stop(slab_ring& r) {
  if (!r.t.joinable()) return;
  {
    std::lock_guard lock(r.m);
    r.stop = true;
    r.cv.notify_all();
  }
  r.t.join();
}

}  // namespace longdup
