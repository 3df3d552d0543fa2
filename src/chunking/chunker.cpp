#include "chunking/chunker.h"

#include <cstring>

namespace longdup {

// crc_tab[j] is the whole CRC-32 of the single byte j (initial register and
// final XOR included), which is the reflected table entry of j ^ 0xFF with
// its top byte complemented: folding the complemented register and the
// final complement into the table is what lets absorb_byte work on the CRC
// value itself. With that table, fold(x) appends a zero byte to a message
// whose CRC-32 is x.
void chunker_reset(chunker& c, uint32_t avglen) {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t t = i;
    for (int k = 0; k < 8; k++) t = (t >> 1) ^ (t & 1 ? 0xEDB88320u : 0);
    c.crc_tab[i ^ 0xFF] = t ^ 0xFF000000u;
  }
  auto fold = [&c](uint32_t x) { return (x >> 8) ^ c.crc_tab[x & 0xFF]; };

  c.threshold = 0xFFFFFFFFu / (avglen ? avglen : 1);
  c.win_len = chunk_win_len;
  std::memset(c.win_ring, 0, sizeof c.win_ring);

  uint32_t h0 = c.crc_tab[0];  // one zero byte, then 15 more
  for (int k = 0; k < 15; k++) h0 = fold(h0);
  c.rhash = h0;

  for (uint32_t j = 0; j < 256; j++) {
    uint32_t x = c.crc_tab[j];  // byte j, then 16 zero bytes
    for (int k = 0; k < 16; k++) x = fold(x);
    c.crc_out_tab[j] = x ^ h0;
  }

  std::memset(c.fp_block, 0, sizeof c.fp_block);
  c.chunk_len = 0;
  c.byte_cnt = 0;
}

}  // namespace longdup
