#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "chunking/fp_batch.h"
#include "chunking/fp_batch_lanes.h"
#include "known_keys.h"
#include "random_bytes.h"
#include "reference.h"

namespace {

using namespace longdup;
using bytes = std::vector<uint8_t>;

using test::random_bytes;

// Random bytes that live as long as the program, so that a key computed
// for (pointer, length) stays valid and the slow reference runs once per
// chunk, not once per variant.
const bytes& lasting_random_bytes(std::size_t n, uint32_t seed) {
  static std::map<std::pair<std::size_t, uint32_t>, bytes> made;
  auto [it, fresh] = made.try_emplace({n, seed});
  if (fresh) it->second = random_bytes(n, seed);
  return it->second;
}

chunk_key reference_key(const uint8_t* p, uint32_t len, bool lasting) {
  if (!lasting) return ref::key(p, len);
  static std::map<std::pair<const uint8_t*, uint32_t>, chunk_key> known;
  auto [it, fresh] = known.try_emplace({p, len});
  if (fresh) it->second = ref::key(p, len);
  return it->second;
}

// One batch: chunk i is data[begin[i] .. begin[i] + len[i]).
struct batch {
  std::vector<const uint8_t*> ptrs;
  std::vector<uint32_t> lens;
  void add(const uint8_t* p, uint32_t len) {
    ptrs.push_back(p);
    lens.push_back(len);
  }
};

// Runs `fn` on the batch and compares every key with the reference, naming
// the first chunk that differs.
void expect_reference_keys(fp_chunks_fn fn, const batch& b, const std::string& what, bool lasting = true) {
  std::vector<chunk_key> got(b.ptrs.size());
  // Filler that no key has, so a key that is never written shows up.
  for (auto& k : got) std::memset(k.b, 0xEE, sizeof k.b);
  fn(b.ptrs.data(), b.lens.data(), b.ptrs.size(), got.data());
  for (std::size_t i = 0; i < b.ptrs.size(); i++) {
    ASSERT_EQ(got[i], reference_key(b.ptrs[i], b.lens[i], lasting))
        << what << ": chunk " << i << " of " << b.ptrs.size() << ", length " << b.lens[i];
  }
}

// The fingerprint's own examples, through the one-chunk path.
TEST(fp_batch, fp_chunk_gives_the_known_keys) {
  for (const auto& c : test::known_keys()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fp_chunk(c.chunk.data(), static_cast<uint32_t>(c.chunk.size())), c.key);
  }
}

TEST(fp_batch, fp_chunk_agrees_with_byte_at_a_time_absorption) {
  bytes data = random_bytes(1000, 11);
  for (uint32_t len = 0; len <= 1000; len += 7) {
    uint8_t block[64] = {};
    for (uint32_t i = 0; i < len; i++) fp_absorb(block, data[i]);
    ASSERT_EQ(fp_chunk(data.data(), len), fp_finish(block, len)) << "length " << len;
  }
}

TEST(fp_batch, scalar_is_always_listed_and_the_list_is_fixed_by_the_cpu) {
  fp_variant_list l = fp_variants();
  ASSERT_GE(l.count, 1u);
  EXPECT_STREQ(l.v[0].name, "scalar");
  EXPECT_EQ(l.v[0].fn, &fp_chunks_scalar);
  fp_variant_list again = fp_variants();
  ASSERT_EQ(again.count, l.count);
  for (unsigned i = 0; i < l.count; i++) EXPECT_EQ(again.v[i].fn, l.v[i].fn);
}

// The lane order is a permutation of the window, and where it reorders,
// a chunk with many mixes is taken up before the short ones.
TEST(fp_batch, lane_order_puts_long_chunks_first_and_loses_none) {
  std::mt19937 rng(8);
  struct {
    const char* name;
    std::vector<uint32_t> lens;
  } cases[] = {
      {"equal", std::vector<uint32_t>(40, 64)},
      {"one long last", {70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 70, 40000}},
      {"two long among empty ones", {0, 0, 5000, 0, 0, 65535, 0, 0}},
      {"random", {}},
      {"a full window", {}},
  };
  for (int i = 0; i < 100; i++) cases[3].lens.push_back(rng() % 65536);
  for (std::size_t i = 0; i < fp_window; i++) cases[4].lens.push_back(i % 7 ? 64 + rng() % 300 : rng() % 65536);
  for (const auto& c : cases) {
    for (unsigned lanes : {8u, 16u}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(lanes) + " lanes");
      std::vector<uint16_t> ord(c.lens.size());
      fp_lane_order(c.lens.data(), c.lens.size(), lanes, ord.data());
      std::vector<bool> seen(c.lens.size());
      for (uint16_t i : ord) {
        ASSERT_LT(i, c.lens.size());
        EXPECT_FALSE(seen[i]) << "chunk " << i << " twice";
        seen[i] = true;
      }
      uint32_t longest = 0;
      for (uint32_t len : c.lens) longest = len > longest ? len : longest;
      // Only buckets of mix counts are ordered, so the first chunk need not
      // be the longest, but it is within a factor of two of it.
      EXPECT_GE(2 * (c.lens[ord[0]] / 63 + 1), longest / 63 + 1) << "first taken up: chunk " << ord[0];
    }
  }
}

// Every test below runs once per variant; variants this CPU lacks are
// skipped, and "dispatch" is whatever fp_chunks picked.
class fp_batch_variant : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string want = GetParam();
    if (want == "dispatch") {
      fp_variant_list l = fp_variants();
      fn = &fp_chunks;
      lanes = l.v[l.count - 1].lanes;
      return;
    }
    fp_variant_list l = fp_variants();
    for (unsigned i = 0; i < l.count; i++)
      if (want == l.v[i].name) {
        fn = l.v[i].fn;
        lanes = l.v[i].lanes;
      }
    if (!fn) GTEST_SKIP() << "this CPU has no " << want;
  }
  fp_chunks_fn fn = nullptr;
  unsigned lanes = 1;
};

INSTANTIATE_TEST_SUITE_P(fp_batch, fp_batch_variant,
                         ::testing::Values("scalar", "avx2", "avx512", "dispatch"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(fp_batch_variant, every_length_up_to_300_alone_and_together) {
  const bytes& data = lasting_random_bytes(301 * 302 / 2 + 1, 1);
  batch all;
  std::size_t off = 0;
  for (uint32_t len = 0; len <= 300; len++) {
    batch one;
    one.add(data.data() + off, len);
    expect_reference_keys(fn, one, "alone");
    all.add(data.data() + off, len);
    off += len;
  }
  expect_reference_keys(fn, all, "301 in one batch");
}

// Lengths at both sides of every run boundary that matters: the mix count
// steps up between 63k and 63k + 1, and a run of 63 that ends the chunk is
// read without its 64th byte.
TEST_P(fp_batch_variant, lengths_around_multiples_of_63_up_to_the_maximum) {
  const bytes& data = lasting_random_bytes(65535, 2);
  std::vector<uint32_t> lens;
  for (uint32_t k = 1; k * 63 <= 65535 + 1; k += (k < 24 ? 1 : 61)) {
    for (uint32_t d : {62u, 63u, 64u}) {  // 63k - 1, 63k, 63k + 1
      uint32_t len = 63 * k + d - 63;
      if (len <= 65535) lens.push_back(len);
    }
  }
  for (uint32_t len : {65535u, 65534u, 65521u, 65520u, 65519u, 65458u, 65457u}) lens.push_back(len);
  batch all;
  for (uint32_t len : lens) {
    // The chunk ends where the data ends, so a read past it would leave
    // the buffer.
    const uint8_t* p = data.data() + data.size() - len;
    batch one;
    one.add(p, len);
    expect_reference_keys(fn, one, "alone");
    all.add(p, len);
  }
  expect_reference_keys(fn, all, "together");
}

// Lanes finish at different times and take up new chunks; every key must
// still go to its own chunk's slot.
TEST_P(fp_batch_variant, batches_of_mixed_lengths) {
  const bytes& data = lasting_random_bytes(1 << 20, 3);
  std::mt19937 rng(4);
  auto at = [&](uint32_t len) { return data.data() + rng() % (data.size() - len); };
  struct shape {
    const char* name;
    uint32_t (*len)(std::mt19937&, std::size_t i, std::size_t n);
  };
  const shape shapes[] = {
      {"all 64", [](std::mt19937&, std::size_t, std::size_t) { return 64u; }},
      {"all 0", [](std::mt19937&, std::size_t, std::size_t) { return 0u; }},
      {"all 63", [](std::mt19937&, std::size_t, std::size_t) { return 63u; }},
      {"all 200", [](std::mt19937&, std::size_t, std::size_t) { return 200u; }},
      {"one long first", [](std::mt19937&, std::size_t i, std::size_t) { return i == 0 ? 40000u : 70u; }},
      {"one long last", [](std::mt19937&, std::size_t i, std::size_t n) { return i + 1 == n ? 40000u : 70u; }},
      {"one long in the middle",
       [](std::mt19937&, std::size_t i, std::size_t n) { return i == n / 2 ? 65535u : 100u; }},
      {"short and long alternating",
       [](std::mt19937&, std::size_t i, std::size_t) { return i % 2 ? 3000u : 1u; }},
      {"64 plus geometric mean 100",
       [](std::mt19937& r, std::size_t, std::size_t) {
         return 64u + static_cast<uint32_t>(std::geometric_distribution<uint32_t>(0.01)(r) % 60000);
       }},
      {"uniform 0..1000", [](std::mt19937& r, std::size_t, std::size_t) { return static_cast<uint32_t>(r() % 1001); }},
      {"uniform 0..65535", [](std::mt19937& r, std::size_t, std::size_t) { return static_cast<uint32_t>(r() % 65536); }},
  };
  for (const shape& s : shapes) {
    for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{lanes - 1}, std::size_t{lanes},
                          std::size_t{lanes + 1}, std::size_t{2 * lanes + 3}, std::size_t{33}, std::size_t{64}, std::size_t{100},
                          std::size_t{257}}) {
      if (n == 0) continue;
      batch b;
      for (std::size_t i = 0; i < n; i++) {
        uint32_t len = s.len(rng, i, n);
        b.add(at(len), len);
      }
      expect_reference_keys(fn, b, std::string(s.name) + ", n = " + std::to_string(n));
    }
  }
}

TEST_P(fp_batch_variant, random_batch_sizes_and_alignments) {
  const bytes& data = lasting_random_bytes(1 << 20, 5);
  std::mt19937 rng(6);
  for (int round = 0; round < 200; round++) {
    std::size_t n = 1 + rng() % 64;
    batch b;
    for (std::size_t i = 0; i < n; i++) {
      uint32_t len = rng() % 4 ? rng() % 600 : rng() % 5000;
      b.add(data.data() + rng() % (data.size() - len), len);
    }
    expect_reference_keys(fn, b, "round " + std::to_string(round));
  }
}

TEST_P(fp_batch_variant, structured_bytes) {
  struct {
    const char* name;
    uint8_t (*byte)(std::size_t i);
  } fills[] = {
      {"zeros", [](std::size_t) -> uint8_t { return 0; }},
      {"ones", [](std::size_t) -> uint8_t { return 0xFF; }},
      {"counting", [](std::size_t i) { return static_cast<uint8_t>(i); }},
      {"period 63", [](std::size_t i) { return static_cast<uint8_t>(i % 63 * 4 + 1); }},
      {"period 64", [](std::size_t i) { return static_cast<uint8_t>(i % 64 * 4 + 1); }},
      // Only the bytes that share the fill byte's word are set: a fill or a
      // stray 64th byte shows up here first.
      {"bytes 60..63 of each 64", [](std::size_t i) -> uint8_t { return i % 64 >= 60 ? 0xA5 : 0; }},
      {"bytes 60..62 of each run", [](std::size_t i) -> uint8_t { return i % 63 >= 60 ? 0x5A : 0; }},
  };
  for (const auto& f : fills) {
    bytes data(70000);
    for (std::size_t i = 0; i < data.size(); i++) data[i] = f.byte(i);
    batch b;
    // Same-content chunks in neighbouring lanes, and chunks that begin at
    // every phase of the pattern.
    for (uint32_t len : {0u, 1u, 62u, 63u, 64u, 126u, 127u, 200u, 4096u, 65535u})
      for (std::size_t start : {0u, 1u, 60u, 63u})
        b.add(data.data() + start, len);
    expect_reference_keys(fn, b, f.name, false);
  }
}

// Whatever lane a chunk is in, only its own bytes may be read: a chunk that
// ends at the last byte before an unmapped page, or begins at the first byte
// after one, must not fault.
TEST_P(fp_batch_variant, reads_nothing_outside_the_chunks) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t mapped = 16 * page;
  void* m = mmap(nullptr, mapped + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  uint8_t* lo_guard = static_cast<uint8_t*>(m);
  uint8_t* body = lo_guard + page;
  uint8_t* hi_guard = body + mapped;
  bytes fill = random_bytes(mapped, 7);
  std::memcpy(body, fill.data(), mapped);
  ASSERT_EQ(mprotect(lo_guard, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(hi_guard, page, PROT_NONE), 0);

  batch b;
  for (uint32_t len = 0; len <= 200; len++) {
    b.add(hi_guard - len, len);
    b.add(body, len);
  }
  for (uint32_t len : {252u, 253u, 254u, 4095u, 4096u, 4097u, 65535u - 16u})
    if (len <= mapped) {
      b.add(hi_guard - len, len);
      b.add(body, len);
    }
  expect_reference_keys(fn, b, "at the guard pages", false);
  munmap(m, mapped + 2 * page);
}

TEST_P(fp_batch_variant, an_empty_batch_writes_nothing) {
  chunk_key k;
  std::memset(k.b, 0x77, sizeof k.b);
  fn(nullptr, nullptr, 0, &k);
  for (uint8_t b : k.b) EXPECT_EQ(b, 0x77);
}

}  // namespace
