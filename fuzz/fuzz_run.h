// Runs the coder over byte buffers in-process, for the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "coder/coder.h"
#include "driver/page_alloc.h"
#include "driver/resume_loop.h"

namespace longdup::fuzz {

struct mem_source {
  const uint8_t* data;
  std::size_t size;
  std::size_t at;
};

inline std::ptrdiff_t mem_read(void* ctx, uint8_t* buf, std::size_t n) {
  auto* s = static_cast<mem_source*>(ctx);
  // Odd read sizes move the block edges around the records.
  n = std::min({n, s->size - s->at, std::size_t{4093}});
  for (std::size_t i = 0; i < n; i++) buf[i] = s->data[s->at + i];
  s->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

inline bool vec_write(void* ctx, const uint8_t* buf, std::size_t n) {
  static_cast<std::vector<uint8_t>*>(ctx)->insert(static_cast<std::vector<uint8_t>*>(ctx)->end(),
                                                  buf, buf + n);
  return true;
}

struct outcome {
  loop_end end;
  uint64_t sum;
  uint64_t x;
  uint32_t failure;
};

// The coder is large; one static object serves every run.
inline outcome run(bool decode, const uint8_t* data, std::size_t size, std::vector<uint8_t>& out,
                   uint32_t avglen = 0, uint32_t mib = 1, bool literal = false) {
  static coder c;
  static uint8_t in_buf[block_size], out_buf[block_size];
  c = coder{};
  if (decode) {
    prepare_decode(c);
  } else {
    prepare_encode(c, avglen, mib << 20, mib << 20);
    c.ix.htbl = static_cast<hentry*>(page_alloc_zeroed(uint64_t{c.ix.cfg_tblsize} * sizeof(hentry)));
  }
  c.literal = literal;
  mem_source src{data, size, 0};
  loop_end end = resume_loop(c, in_buf, out_buf, {&src, mem_read}, {&out, vec_write});
  page_free(c.ix.htbl);
  page_free(c.hist);
  return {end, c.sum, c.x, c.failure};
}

}  // namespace longdup::fuzz
