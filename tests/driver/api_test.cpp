// The library API: callbacks, results, and several jobs on one thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "longdup/longdup.h"

namespace {

using bytes = std::vector<uint8_t>;

struct mem_in {
  const bytes* data;
  std::size_t at = 0;
  bool fail = false;
};

std::ptrdiff_t mem_read(void* ctx, uint8_t* buf, std::size_t n) {
  auto* s = static_cast<mem_in*>(ctx);
  if (s->fail) return -1;
  n = std::min(n, s->data->size() - s->at);
  std::memcpy(buf, s->data->data() + s->at, n);
  s->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

bool mem_write(void* ctx, const uint8_t* buf, std::size_t n) {
  static_cast<bytes*>(ctx)->insert(static_cast<bytes*>(ctx)->end(), buf, buf + n);
  return true;
}

bool refuse_write(void*, const uint8_t*, std::size_t) { return false; }

bytes sample(uint32_t seed) {
  std::mt19937 rng(seed);
  bytes block(150000);
  for (auto& b : block) b = static_cast<uint8_t>(rng());
  bytes v;
  for (int i = 0; i < 4; i++) {
    v.insert(v.end(), block.begin(), block.end());
    block[rng() % block.size()] ^= 1;
  }
  return v;
}

const longdup::params small = {100, 8, 8};

TEST(api, encode_then_decode_restores) {
  bytes plain = sample(1), enc, dec;
  mem_in in{&plain};
  longdup::result e = longdup::encode(small, {&in, mem_read}, {&enc, mem_write});
  ASSERT_TRUE(e) << e.message();
  EXPECT_EQ(e.bytes, plain.size());
  EXPECT_LT(enc.size(), plain.size() / 2);
  mem_in in2{&enc};
  longdup::result d = longdup::decode({&in2, mem_read}, {&dec, mem_write});
  ASSERT_TRUE(d) << d.message();
  EXPECT_EQ(dec, plain);
  EXPECT_EQ(d.chunks, e.chunks);
}

// A sink that hands out its own room: the coder writes each block there,
// and write() receives that very address. The room moves between blocks so
// that a coder writing to a stale address would be caught.
struct room_sink {
  bytes out;
  uint8_t room[2][1 << 17];
  int turn = 0;
  const uint8_t* given = nullptr;
  int misplaced = 0;
};

uint8_t* room_buffer(void* ctx, std::size_t n) {
  auto* s = static_cast<room_sink*>(ctx);
  EXPECT_LE(n, sizeof s->room[0]);
  s->turn ^= 1;
  std::memset(s->room[s->turn], 0xA5, sizeof s->room[0]);
  s->given = s->room[s->turn];
  return s->room[s->turn];
}

bool room_write(void* ctx, const uint8_t* buf, std::size_t n) {
  auto* s = static_cast<room_sink*>(ctx);
  if (buf != s->given) s->misplaced++;
  s->out.insert(s->out.end(), buf, buf + n);
  return true;
}

// A source that lends its bytes in place, in uneven pieces; read() must
// never be called.
std::ptrdiff_t lend(void* ctx, const uint8_t** data, std::size_t n) {
  auto* s = static_cast<mem_in*>(ctx);
  n = std::min({n, s->data->size() - s->at, std::size_t{1000} + s->at % 70000});
  *data = s->data->data() + s->at;
  s->at += n;
  return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t no_read(void*, uint8_t*, std::size_t) {
  ADD_FAILURE() << "read() called on a source that lends";
  return -1;
}

TEST(api, callbacks_that_lend_their_own_memory) {
  bytes plain = sample(5), enc;
  mem_in in{&plain};
  ASSERT_TRUE(longdup::encode(small, {&in, mem_read}, {&enc, mem_write}));
  auto encoded = std::make_unique<room_sink>();
  mem_in in1{&plain};
  ASSERT_TRUE(longdup::encode(small, {&in1, no_read, lend}, {encoded.get(), room_write, room_buffer}));
  EXPECT_EQ(encoded->out, enc);
  EXPECT_EQ(encoded->misplaced, 0);
  auto decoded = std::make_unique<room_sink>();
  mem_in in2{&enc};
  ASSERT_TRUE(longdup::decode({&in2, no_read, lend}, {decoded.get(), room_write, room_buffer}));
  EXPECT_EQ(decoded->out, plain);
  EXPECT_EQ(decoded->misplaced, 0);
}

TEST(api, failures_come_back_as_results) {
  bytes plain = sample(2), out;
  struct {
    const char* name;
    longdup::params p;
    bool read_fails;
    bool write_fails;
    longdup::status code;
    const char* what;
  } cases[] = {
      {"avglen", {0, 8, 8}, false, false, longdup::status::bad_params, "avglen"},
      {"index", {100, 4096, 8}, false, false, longdup::status::bad_params, "index size"},
      {"window", {100, 8, 0}, false, false, longdup::status::bad_params, "window size"},
      {"read", small, true, false, longdup::status::io, "input"},
      {"write", small, false, true, longdup::status::io, "output"},
  };
  for (auto& k : cases) {
    mem_in in{&plain, 0, k.read_fails};
    longdup::sink s = k.write_fails ? longdup::sink{nullptr, refuse_write} : longdup::sink{&out, mem_write};
    longdup::result r = longdup::encode(k.p, {&in, mem_read}, s);
    EXPECT_EQ(r.code, k.code) << k.name;
    EXPECT_EQ(r.what, k.what) << k.name;
    EXPECT_FALSE(r.problem.empty()) << k.name;
  }
  EXPECT_EQ(longdup::check({100, 256, 1024}), "");
  EXPECT_EQ(longdup::check({70000, 256, 1024}), "avglen: 70000 is outside 1..65535");

  bytes junk = {0xEF, 0x4D, 0xB6};
  mem_in in{&junk};
  longdup::result d = longdup::decode({&in, mem_read}, {&out, mem_write});
  EXPECT_EQ(d.code, longdup::status::corrupt);
}

// Two streams coded side by side: each job's coroutine saves and restores
// its own stack region at the same addresses, so stepping them in turn from
// one loop keeps both intact.
TEST(api, jobs_interleave_on_one_thread) {
  bytes a = sample(3), b = sample(4), enc_a, enc_b;
  mem_in in_a{&a}, in_b{&b};
  longdup::job* ja = longdup::job_open_encode(small, {&in_a, mem_read}, {&enc_a, mem_write});
  longdup::job* jb = longdup::job_open_encode({7, 8, 8}, {&in_b, mem_read}, {&enc_b, mem_write});
  bool more_a = true, more_b = true;
  while (more_a || more_b) {
    if (more_a) more_a = longdup::job_step(ja);
    if (more_b) more_b = longdup::job_step(jb);
  }
  ASSERT_TRUE(longdup::job_close(ja));
  ASSERT_TRUE(longdup::job_close(jb));

  // Now decode both, interleaved the same way, and compare.
  bytes dec_a, dec_b;
  mem_in ea{&enc_a}, eb{&enc_b};
  ja = longdup::job_open_decode({&ea, mem_read}, {&dec_a, mem_write});
  jb = longdup::job_open_decode({&eb, mem_read}, {&dec_b, mem_write});
  more_a = more_b = true;
  while (more_a || more_b) {
    if (more_b) more_b = longdup::job_step(jb);
    if (more_a) more_a = longdup::job_step(ja);
  }
  EXPECT_TRUE(longdup::job_close(ja));
  EXPECT_TRUE(longdup::job_close(jb));
  EXPECT_EQ(dec_a, a);
  EXPECT_EQ(dec_b, b);
}

[[gnu::noinline]] bool step_deeper(longdup::job* j, int depth) {
  char pad[4096];
  std::memset(pad, depth, sizeof pad);
  asm volatile("" : : "r"(pad) : "memory");  // the frame must really hold pad
  bool more = depth == 0 ? longdup::job_step(j) : step_deeper(j, depth - 1);
  asm volatile("" : : "r"(pad) : "memory");
  return more;
}

TEST(api, stepping_from_a_much_deeper_stack_is_refused) {
  bytes plain = sample(5), enc;
  mem_in in{&plain};
  longdup::job* j = longdup::job_open_encode(small, {&in, mem_read}, {&enc, mem_write});
  ASSERT_TRUE(longdup::job_step(j));
  EXPECT_FALSE(step_deeper(j, 40));  // about 160 KiB further down
  longdup::result r = longdup::job_close(j);
  EXPECT_EQ(r.code, longdup::status::misuse);
}

}  // namespace
