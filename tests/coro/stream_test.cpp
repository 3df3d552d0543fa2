#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "coro/stream_io.h"

namespace {

using namespace longdup;

constexpr std::size_t block = 65536;

// A body that copies its input to its output byte by byte and records what
// it saw, driven by a host that follows the stream contract.
struct copier : coro_object {
  std::vector<int> seen_end;  // values after the input ended
  int extra_reads = 0;

  void run() {
    int c;
    while ((c = get_byte(&in)) >= 0) put_byte(&out, c);
    for (int i = 0; i < 3; i++) seen_end.push_back(get_byte(&in));
    coro_yield(this, 0);
  }
};

struct host_result {
  std::vector<uint8_t> out;
  int reads = 0;
  int full_writes = 0;
  std::vector<std::size_t> write_sizes;
};

host_result drive(copier& c, const std::vector<uint8_t>& input) {
  static uint8_t in_buf[block], out_buf[block];
  coro_prepare(&c, static_cast<coro_body>(&copier::run));
  stream_attach(&c.out, out_buf, block);
  host_result r;
  std::size_t at = 0;
  for (;;) {
    uint32_t code = coro_resume(&c);
    if (code == yield_input) {
      std::size_t n = std::min(block, input.size() - at);
      std::copy(input.begin() + at, input.begin() + at + n, in_buf);
      at += n;
      r.reads++;
      if (n == 0) c.co.eof = 1;
      stream_attach(&c.in, in_buf, n);
      continue;
    }
    std::size_t pending = c.out.ptr - c.out.begin;
    r.out.insert(r.out.end(), c.out.begin, c.out.ptr);
    r.write_sizes.push_back(pending);
    if (code != yield_output) break;
    r.full_writes++;
    stream_attach(&c.out, out_buf, block);
  }
  return r;
}

copier cp;

TEST(stream, layout_and_back_offsets) {
  coro_prepare(&cp, static_cast<coro_body>(&copier::run));
  bstream* all[] = {&cp.in, &cp.out, &cp.spare3, &cp.spare4};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(all[i]->back, 32 * i);
    EXPECT_EQ(all[i]->code, i + 1);
    EXPECT_EQ(stream_owner(all[i]), &cp);
    EXPECT_EQ(all[i]->ptr, nullptr);
  }
}

TEST(stream, copies_across_block_sizes) {
  struct { std::size_t len; int reads; int full_writes; } cases[] = {
      {0, 1, 0},
      {1, 2, 0},
      {block - 1, 2, 0},
      {block, 2, 1},  // exactly one block: the second read returns nothing
      {block + 1, 3, 1},
      {3 * block, 4, 3},
  };
  for (auto& k : cases) {
    std::vector<uint8_t> input(k.len);
    for (std::size_t i = 0; i < k.len; i++) input[i] = static_cast<uint8_t>(i * 131 + 7);
    cp.seen_end.clear();
    host_result r = drive(cp, input);
    EXPECT_EQ(r.out, input) << k.len;
    EXPECT_EQ(r.reads, k.reads) << k.len;
    EXPECT_EQ(r.full_writes, k.full_writes) << k.len;
    for (std::size_t i = 0; i + 1 < r.write_sizes.size(); i++) EXPECT_EQ(r.write_sizes[i], block);
    // A length that is a multiple of the block leaves nothing pending at the end.
    EXPECT_EQ(r.write_sizes.back(), k.len % block) << k.len;
    EXPECT_EQ(cp.seen_end, (std::vector<int>{-1, -1, -1})) << k.len;
  }
}

// Code 1 again when the host resumes without attaching data or the flag;
// once the flag is set, -1 for ever without another yield.
struct counter : coro_object {
  int got[4] = {};
  void run() {
    for (int& g : got) g = get_byte(&in);
    coro_yield(this, 0);
  }
};

TEST(stream, input_contract_rounds) {
  static counter k;
  static uint8_t one[1] = {0xAB};
  coro_prepare(&k, static_cast<coro_body>(&counter::run));
  EXPECT_EQ(coro_resume(&k), yield_input);
  EXPECT_EQ(coro_resume(&k), yield_input);  // nothing attached: asked again
  stream_attach(&k.in, one, 1);
  EXPECT_EQ(coro_resume(&k), yield_input);  // took the byte, wants more
  k.co.eof = 1;
  EXPECT_EQ(coro_resume(&k), yield_done);   // the rest are -1 without yields
  EXPECT_EQ(k.got[0], 0xAB);
  EXPECT_EQ(k.got[1], -1);
  EXPECT_EQ(k.got[3], -1);
}

TEST(stream, own_eof_flag_ends_input_too) {
  static counter k;
  coro_prepare(&k, static_cast<coro_body>(&counter::run));
  k.in.eof = 1;
  EXPECT_EQ(coro_resume(&k), yield_done);
  EXPECT_EQ(k.got[0], -1);
}

}  // namespace
