#include "driver/resume_loop.h"

#include "coro/stream_io.h"

namespace longdup {

void prepare_encode(coder& c, uint32_t avglen, uint32_t tblbytes, uint32_t winbytes) {
  c.decode = 0;
  c.avglen = avglen;
  c.ix.sweep_pos = 0;
  c.ix.evict_cnt = 0;
  c.ix.cfg_decwinsize = winbytes;
  c.ix.cfg_tblbytes = tblbytes;
  c.ix.cfg_tblsize = tblbytes / sizeof(hentry);
}

void prepare_decode(coder& c) {
  c.decode = 1;
  c.avglen = 0;
  c.ix.cfg_tblbytes = 0;
  c.ix.cfg_decwinsize = 0;
  c.hist = nullptr;
  c.hist_pos = 0;
  c.hist_size = 0;
}

namespace {

uint8_t* next_out_block(host& h) {
  uint8_t* b = h.dst.buffer ? h.dst.buffer(h.dst.ctx, block_size) : nullptr;
  return b ? b : h.out_buf;
}

}  // namespace

void host_start(host& h) {
  coro_prepare(h.c, coder_body());
  stream_attach(&h.c->out, next_out_block(h), block_size);
  h.bytes_in = 0;
}

loop_end resume_step(host& h) {
  coder& c = *h.c;
  for (;;) {
    uint32_t code = coro_resume(&c);
    if (code == yield_input) {
      const uint8_t* data = h.in_buf;
      std::ptrdiff_t n = h.src.borrow ? h.src.borrow(h.src.ctx, &data, block_size)
                                      : h.src.read(h.src.ctx, h.in_buf, block_size);
      if (n < 0) return loop_read_error;
      if (n == 0) c.co.eof = 1;
      h.bytes_in += static_cast<uint64_t>(n);
      // The coder only reads its input.
      stream_attach(&c.in, const_cast<uint8_t*>(data), static_cast<std::size_t>(n));
      return loop_running;
    }
    if (code == yield_failed) return loop_failed;
    std::size_t pending = static_cast<std::size_t>(c.out.ptr - c.out.begin);
    if (pending && !h.dst.write(h.dst.ctx, c.out.begin, pending)) return loop_write_error;
    if (code == yield_output) {
      stream_attach(&c.out, next_out_block(h), block_size);
      continue;
    }
    return code == yield_no_table ? loop_no_table : loop_done;
  }
}

loop_end resume_loop(coder& c, uint8_t* in_buf, uint8_t* out_buf, byte_source src, byte_sink dst) {
  host h = {&c, in_buf, out_buf, src, dst, 0};
  host_start(h);
  loop_end end;
  while ((end = resume_step(h)) == loop_running) {
  }
  return end;
}

}  // namespace longdup
