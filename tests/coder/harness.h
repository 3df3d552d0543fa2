// Runs the coder in-process over byte vectors, through the same resume
// loop that the command line uses.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "chunking/chunker.h"
#include "coder/coder.h"
#include "driver/page_alloc.h"
#include "driver/resume_loop.h"

namespace longdup::test {

using bytes = std::vector<uint8_t>;

struct coded {
  bytes out;
  uint64_t sum = 0;
  uint64_t x = 0;
  loop_end end = loop_done;
  uint32_t failure = 0;
};

struct vec_source {
  const bytes* data;
  std::size_t at = 0;
  std::size_t max_read = block_size;  // smaller reads exercise block edges
};

inline std::ptrdiff_t vec_read(void* ctx, uint8_t* buf, std::size_t n) {
  auto* s = static_cast<vec_source*>(ctx);
  n = std::min({n, s->max_read, s->data->size() - s->at});
  std::copy(s->data->begin() + s->at, s->data->begin() + s->at + n, buf);
  s->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

inline bool vec_write(void* ctx, const uint8_t* buf, std::size_t n) {
  auto* v = static_cast<bytes*>(ctx);
  v->insert(v->end(), buf, buf + n);
  return true;
}

struct params {
  uint32_t avglen = 100;
  uint32_t tbl_mib = 1;
  uint32_t win_mib = 1;
  std::size_t max_read = block_size;
  bool literal = false;  // the literal coder forms instead of the fast ones
};

inline coded run_coder(bool decode, const bytes& in, const params& p) {
  auto c = std::make_unique<coder>();
  static uint8_t in_buf[block_size], out_buf[block_size];
  if (decode) {
    prepare_decode(*c);
  } else {
    prepare_encode(*c, p.avglen, p.tbl_mib << 20, p.win_mib << 20);
    c->ix.htbl = static_cast<hentry*>(page_alloc_zeroed(uint64_t{c->ix.cfg_tblsize} * sizeof(hentry)));
  }
  c->literal = p.literal;
  coded r;
  vec_source src{&in, 0, p.max_read};
  r.end = resume_loop(*c, in_buf, out_buf, {&src, vec_read}, {&r.out, vec_write});
  r.sum = c->sum;
  r.x = c->x;
  r.failure = c->failure;
  page_free(c->ix.htbl);
  page_free(c->hist);
  return r;
}

inline coded encode(const bytes& in, const params& p = {}) { return run_coder(false, in, p); }
inline coded decode(const bytes& in, const params& p = {}) { return run_coder(true, in, p); }

inline bytes random_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 24);
  return v;
}

inline bytes cat(std::initializer_list<bytes> parts) {
  bytes v;
  for (const bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// Backup-like data: a base with small edits repeated at several distances,
// with runs of zeros that only the length cap cuts, and token-like bytes.
inline bytes backup_like(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes base = random_bytes(n / 5 + 1, seed);
  bytes v;
  while (v.size() < n) {
    bytes edit = base;
    for (int k = 0; k < 10; k++) edit[rng() % edit.size()] = static_cast<uint8_t>(rng());
    if (rng() % 3 == 0) edit.insert(edit.begin() + rng() % edit.size(), 70000, 0);
    const uint8_t marker[] = {0xEF, 0x4D, 0xB6, static_cast<uint8_t>(rng() % 4)};
    edit.insert(edit.begin() + rng() % edit.size(), marker, marker + 4);
    v.insert(v.end(), edit.begin(), edit.end());
  }
  v.resize(n);
  return v;
}

// The first chunks that the boundary rule cuts from `data`.
inline std::vector<bytes> first_chunks(const bytes& data, std::size_t count, uint32_t avglen = 100) {
  auto ck = std::make_unique<chunker>();
  chunker_reset(*ck, avglen);
  std::vector<bytes> chunks;
  std::size_t start = 0;
  for (std::size_t i = 0; i < data.size() && chunks.size() < count; i++) {
    absorb_byte(*ck, data[i]);
    if (at_boundary(*ck)) {
      finish_chunk(*ck);
      chunks.emplace_back(data.begin() + start, data.begin() + i + 1);
      start = i + 1;
    }
  }
  return chunks;
}

}  // namespace longdup::test
