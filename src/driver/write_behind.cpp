#include "driver/write_behind.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace longdup {
namespace {

uint8_t* slab(write_behind& w, uint64_t i) {
  return w.slabs.get() + (i % write_behind::slab_count) * write_behind::slab_bytes;
}

// Returns 0, or the errno of the failure.
int write_all(int fd, const uint8_t* buf, std::size_t n) {
  while (n) {
    ssize_t k = write(fd, buf, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return k < 0 ? errno : EIO;
    buf += k;
    n -= static_cast<std::size_t>(k);
  }
  return 0;
}

void drain(write_behind& w) {
  std::unique_lock lock(w.m);
  for (;;) {
    w.cv.wait(lock, [&] { return w.done < w.queued || w.closing || w.drop; });
    if (w.drop || w.done == w.queued) break;
    const uint8_t* p = slab(w, w.done);
    std::size_t n = w.len[w.done % write_behind::slab_count];
    bool go = w.err == 0;
    lock.unlock();
    int e = go ? write_all(w.fd, p, n) : 0;
    lock.lock();
    if (e) w.err = e;
    w.done++;
    w.cv.notify_all();
  }
}

// Passes the slab being filled to the thread and waits for a free one.
bool hand_over(write_behind& w) {
  std::unique_lock lock(w.m);
  w.len[w.queued % write_behind::slab_count] = w.fill;
  w.queued++;
  w.cv.notify_all();
  w.cv.wait(lock, [&] { return w.queued - w.done < write_behind::slab_count || w.err; });
  w.fill = 0;
  return w.err == 0;
}

}  // namespace

bool wb_start(write_behind& w, int fd) {
  w.fd = fd;
  w.slabs.reset(new (std::nothrow) uint8_t[write_behind::slab_count * write_behind::slab_bytes]);
  if (!w.slabs) return false;
  // Signals stay with the main thread, whose handler removes the output;
  // but a write to a closed pipe must end the process as it would on the
  // main thread, and SIGPIPE goes to the thread that wrote.
  sigset_t all, old;
  sigfillset(&all);
  sigdelset(&all, SIGPIPE);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    w.t = std::thread(drain, std::ref(w));
  } catch (const std::system_error&) {
    w.slabs.reset();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return w.t.joinable();
}

uint8_t* wb_buffer(write_behind& w, std::size_t n) {
  if (write_behind::slab_bytes - w.fill < n && !hand_over(w)) return nullptr;
  return slab(w, w.queued) + w.fill;
}

bool wb_write(write_behind& w, const uint8_t* buf, std::size_t n) {
  // Bytes written in place, in the room wb_buffer gave.
  if (buf == slab(w, w.queued) + w.fill && n <= write_behind::slab_bytes - w.fill) {
    w.fill += n;
    return true;
  }
  while (n) {
    if (w.fill == write_behind::slab_bytes && !hand_over(w)) return false;
    std::size_t k = std::min(n, write_behind::slab_bytes - w.fill);
    std::memcpy(slab(w, w.queued) + w.fill, buf, k);
    w.fill += k;
    buf += k;
    n -= k;
  }
  return true;
}

bool wb_finish(write_behind& w, bool keep) {
  if (!w.t.joinable()) return w.err == 0;
  {
    std::lock_guard lock(w.m);
    // The slab being filled is always free: hand_over waited for it.
    if (keep && w.fill) {
      w.len[w.queued % write_behind::slab_count] = w.fill;
      w.queued++;
      w.fill = 0;
    }
    w.closing = true;
    w.drop = !keep;
    w.cv.notify_all();
  }
  w.t.join();
  return w.err == 0;
}

}  // namespace longdup
