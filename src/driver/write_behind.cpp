#include "driver/write_behind.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace longdup {
namespace {

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

void drain(void* arg) {
  auto& w = *static_cast<write_behind*>(arg);
  std::size_t n;
  while (const uint8_t* p = slab_to_take(w.r, n)) {
    if (int e = write_all(w.fd, p, n)) {
      slab_fail(w.r, e);
      return;
    }
    slab_give_back(w.r);
  }
}

// Passes the full slab on and takes a free one.
bool next_slab(write_behind& w) {
  slab_pass(w.r, w.fill, false);
  w.fill = 0;
  w.cur = slab_to_fill(w.r);
  return w.cur != nullptr;
}

}  // namespace

bool wb_start(write_behind& w, int fd) {
  w.fd = fd;
  if (!slab_ring_start(w.r, drain, &w)) return false;
  w.cur = slab_to_fill(w.r);
  return true;
}

uint8_t* wb_buffer(write_behind& w, std::size_t n) {
  if (w.cur && slab_ring::bytes - w.fill < n) next_slab(w);
  return w.cur ? w.cur + w.fill : nullptr;
}

bool wb_write(write_behind& w, const uint8_t* buf, std::size_t n) {
  if (!w.cur) return false;
  // Bytes written in place, in the room wb_buffer gave.
  if (buf == w.cur + w.fill && n <= slab_ring::bytes - w.fill) {
    w.fill += n;
    return true;
  }
  while (n) {
    if (w.fill == slab_ring::bytes && !next_slab(w)) return false;
    std::size_t k = std::min(n, slab_ring::bytes - w.fill);
    std::memcpy(w.cur + w.fill, buf, k);
    w.fill += k;
    buf += k;
    n -= k;
  }
  return true;
}

bool wb_finish(write_behind& w, bool keep) {
  if (!w.r.t.joinable()) return w.r.err == 0;
  if (keep && w.cur) {
    slab_pass(w.r, w.fill, true);
    w.r.t.join();
  } else {
    slab_ring_stop(w.r);
  }
  w.cur = nullptr;
  return w.r.err == 0;
}

}  // namespace longdup
