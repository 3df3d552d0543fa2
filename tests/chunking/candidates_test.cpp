#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chunking/candidates.h"
#include "random_bytes.h"
#include "reference.h"

namespace longdup {
// Failing parameterised tests name the variant.
inline void PrintTo(const candidate_variant& v, std::ostream* os) { *os << v.name; }
}  // namespace longdup

namespace {

using namespace longdup;
using bytes = std::vector<uint8_t>;

using test::random_bytes;

bytes pattern_bytes(std::size_t n, const bytes& unit) {
  bytes v(n);
  for (std::size_t i = 0; i < n; i++) v[i] = unit[i % unit.size()];
  return v;
}

bytes text_bytes(std::size_t n, uint32_t seed) {
  static const char words[] = "the quick brown fox jumps over the lazy dog; int main(void) { return 0; }\n";
  std::mt19937 rng(seed);
  bytes v;
  while (v.size() < n) {
    std::size_t at = rng() % (sizeof words - 1), len = 1 + rng() % 12;
    for (std::size_t i = 0; i < len && at + i < sizeof words - 1; i++) v.push_back(static_cast<uint8_t>(words[at + i]));
  }
  v.resize(n);
  return v;
}

// Random stretches, long zero runs (past the 65535-byte cap), runs of one
// byte, text, and repeats of earlier stretches.
bytes mixed_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes v;
  while (v.size() < n) {
    std::size_t len = 1 + rng() % 5000;
    switch (rng() % 6) {
      case 0: v.insert(v.end(), rng() % 4 ? len : 70000 + rng() % 70000, 0); break;
      case 1: v.insert(v.end(), len, static_cast<uint8_t>(rng())); break;
      case 2: {
        bytes t = text_bytes(len, rng());
        v.insert(v.end(), t.begin(), t.end());
        break;
      }
      case 3:
        if (v.size() > len) {
          std::size_t from = rng() % (v.size() - len);
          for (std::size_t i = 0; i < len; i++) v.push_back(v[from + i]);
          break;
        }
        [[fallthrough]];
      default: {
        bytes r = random_bytes(len, rng());
        v.insert(v.end(), r.begin(), r.end());
      }
    }
  }
  v.resize(n);
  return v;
}

// The reference hash at every position: h[k] = CRC-32 of p[k-15..k], for k >= 15.
std::vector<uint32_t> ref_hashes(const uint8_t* p, std::size_t n) {
  std::vector<uint32_t> h(n, 0);
  for (std::size_t k = 15; k < n; k++) h[k] = ref::crc32(p + k - 15, 16);
  return h;
}

std::size_t ref_next(const std::vector<uint32_t>& h, std::size_t from, std::size_t to, uint32_t threshold) {
  for (std::size_t k = from; k < to; k++)
    if (h[k] < threshold) return k;
  return to;
}

uint32_t for_avglen(uint32_t avglen) { return 0xFFFFFFFFu / avglen; }

// Every avglen regime: most positions pass the top-byte filter (1, 2, 3),
// some (7, 16, 17, 100), few (1000, 65535); and the extremes of the function
// itself. Some variants hand high thresholds to the plain chain, at 2^31 and
// at avglen 16.
const uint32_t thresholds[] = {for_avglen(1),    for_avglen(2),    for_avglen(3),     for_avglen(7),
                               for_avglen(16),   for_avglen(17),   for_avglen(100),   for_avglen(1000),
                               for_avglen(65535), 0,               1,                 0x80000000u};

// The variants under test: each one this CPU runs, and the dispatcher.
std::vector<candidate_variant> variants_under_test() {
  std::vector<candidate_variant> v = candidate_variants();
  v.push_back({"dispatched", next_candidate});
  return v;
}

class candidates : public testing::TestWithParam<candidate_variant> {};

std::string variant_name(const testing::TestParamInfo<candidate_variant>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(variants, candidates, testing::ValuesIn(variants_under_test()), variant_name);

TEST(candidates_list, scalar_forms_always_present) {
  std::vector<candidate_variant> v = candidate_variants();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(std::string(v[0].name), "scalar");
  EXPECT_EQ(std::string(v[1].name), "interleaved");
}

TEST(window_crc, matches_bitwise_crc) {
  std::vector<bytes> windows = {bytes(16, 0), bytes(16, 0xFF), pattern_bytes(16, {'1', '2', '3'})};
  for (int i = 0; i < 16; i++) {  // one bit set, at each offset, so each slice table is reached
    windows.push_back(bytes(16, 0));
    windows.back()[i] = static_cast<uint8_t>(1u << (i % 8));
  }
  for (uint32_t s = 0; s < 200; s++) windows.push_back(random_bytes(16, s));
  for (const bytes& w : windows) ASSERT_EQ(window_crc(w.data()), ref::crc32(w.data(), 16));
  EXPECT_EQ(window_crc(bytes(16, 0).data()), 0xECBB4B55u);
  EXPECT_EQ(window_crc(bytes(16, 0x61).data()), 0xCFD668D5u);
}

// Every from/to pair with to - from up to 300, across the 32- and 64-lane
// blocks and the growing blocks of the interleaved chains, with p at odd
// addresses, on data of each kind and with thresholds from each regime.
TEST_P(candidates, all_short_ranges) {
  const candidate_fn fn = GetParam().fn;
  struct {
    const char* name;
    bytes data;
  } inputs[] = {
      {"random", random_bytes(420, 1)},
      {"zeros", bytes(420, 0)},
      {"period 3", pattern_bytes(420, {7, 0x81, 0xFE})},
      {"period 16", pattern_bytes(420, random_bytes(16, 2))},
      {"text", text_bytes(420, 3)},
      {"zeros then random", [] {
         bytes v(420, 0);
         bytes r = random_bytes(200, 4);
         std::copy(r.begin(), r.end(), v.begin() + 220);
         return v;
       }()},
  };
  for (const auto& in : inputs) {
    for (std::size_t shift : {0, 1, 7}) {
      bytes buf(shift + in.data.size());
      std::copy(in.data.begin(), in.data.end(), buf.begin() + shift);
      const uint8_t* p = buf.data() + shift;
      std::vector<uint32_t> h = ref_hashes(p, in.data.size());
      for (uint32_t thr : thresholds) {
        for (std::size_t from : {15, 16, 33, 78, 115}) {
          for (std::size_t to = from; to <= std::min(in.data.size(), from + 300); to++) {
            ASSERT_EQ(fn(p, from, to, thr), ref_next(h, from, to, thr))
                << in.name << ", shift " << shift << ", threshold " << thr << ", from " << from << ", to " << to;
          }
        }
      }
    }
  }
}

// A window that hashes to exactly threshold - 1 is found and one that hashes
// to exactly threshold is not, at every lane of a block. The background is
// zeros, whose windows hash to 0xECBB4B55, above all these thresholds; the
// planted window also makes up the neighbouring windows, so the reference
// decides.
TEST_P(candidates, planted_windows_at_the_threshold) {
  const candidate_fn fn = GetParam().fn;
  std::mt19937 rng(5);
  for (uint32_t thr : {for_avglen(2), for_avglen(7), for_avglen(100), for_avglen(65535), 0x00000100u}) {
    for (uint32_t target : {thr - 1, thr}) {
      for (std::size_t end = 15; end < 15 + 140; end++) {
        uint8_t lead[12];
        for (auto& b : lead) b = static_cast<uint8_t>(rng());
        std::array<uint8_t, 16> w = ref::window_with_hash(target, lead);
        ASSERT_EQ(ref::crc32(w.data(), 16), target);
        bytes data(400, 0);
        std::copy(w.begin(), w.end(), data.begin() + static_cast<std::ptrdiff_t>(end - 15) + 100);
        std::vector<uint32_t> h = ref_hashes(data.data(), data.size());
        for (std::size_t from : {15, 100, 115, 116}) {
          std::size_t to = data.size();
          std::size_t want = ref_next(h, from, to, thr);
          if (target < thr && from <= end + 100) {
            ASSERT_LE(want, end + 100) << "the planted window must count";
          }
          ASSERT_EQ(fn(data.data(), from, to, thr), want)
              << "threshold " << thr << ", hash " << target << ", window ending at " << end + 100 << ", from " << from;
        }
      }
    }
  }
}

// Data with a short period has a few hashes over and over. Thresholds that
// share the top byte (or the top two or three bytes) with one of them leave
// whole blocks of lanes undecided by the top byte, which sends the fast
// variants down their tie-breaking paths; the byte where the threshold
// differs decides. The periodic stretch comes after 300 zeros, so that the
// first ties fall into the first or the later blocks of a search, as `from`
// moves (the zero windows hash to 0xECBB4B55).
TEST_P(candidates, ties_in_every_byte) {
  const candidate_fn fn = GetParam().fn;
  std::mt19937 rng(8);
  const bytes units[] = {{0x00}, {0x5A}, {0xFF}, {1, 2}, {0x10, 0x20, 0x30}, random_bytes(5, 6), random_bytes(16, 7)};
  for (const bytes& unit : units) {
    bytes data(300, 0);
    bytes body = pattern_bytes(700, unit), tail = random_bytes(40, rng());
    data.insert(data.end(), body.begin(), body.end());
    data.insert(data.end(), tail.begin(), tail.end());
    std::vector<uint32_t> h = ref_hashes(data.data(), data.size());
    for (std::size_t at : {500, 501, 503}) {
      const uint32_t hash = h[at];
      std::vector<uint32_t> thrs = {hash, hash + 1};
      for (int d = 0; d < 4; d++) {
        const uint32_t low = d ? (1u << 8 * d) - 1 : 0, above = d < 3 ? ~((1u << 8 * (d + 1)) - 1) : 0;
        const uint32_t byte = hash >> 8 * d & 0xFF;
        for (int delta : {-1, 1}) {
          if ((byte == 0 && delta < 0) || (byte == 0xFF && delta > 0)) continue;
          thrs.push_back((hash & above) | (byte + delta) << 8 * d | (static_cast<uint32_t>(rng()) & low));
        }
      }
      for (uint32_t thr : thrs) {
        for (std::size_t from : {15, 100, 180, 250, 290, 333, 600}) {
          for (std::size_t to : {from, from + 1, from + 63, from + 64, from + 65, from + 200, data.size() - 41,
                                 data.size()}) {
            if (to < from || to > data.size()) continue;
            ASSERT_EQ(fn(data.data(), from, to, thr), ref_next(h, from, to, thr))
                << "unit of " << unit.size() << ", hash " << hash << ", threshold " << thr << ", from " << from
                << ", to " << to;
          }
        }
      }
    }
  }
}

// Many ties in one block wherever a search meets them first. A 16-byte
// window with a chosen hash, repeated, puts that hash at every 16th position
// after a run of zeros; the hash's top byte is 00, and the lead bytes are
// drawn until no other window of the buffer has a top byte of 00, so that
// only the planted windows are undecided by the top byte. Moving `from`
// back from the first planted window sends it into every block of a search,
// the 256-bit and 512-bit ones alike.
TEST_P(candidates, ties_every_16_positions) {
  const candidate_fn fn = GetParam().fn;
  const uint32_t hash = 0x00A1B2C3;
  std::mt19937 rng(19);
  bytes data;
  std::vector<uint32_t> h;
  for (;;) {
    uint8_t lead[12];
    for (auto& b : lead) b = static_cast<uint8_t>(rng());
    std::array<uint8_t, 16> w = ref::window_with_hash(hash, lead);
    data.assign(400, 0);
    for (int r = 0; r < 40; r++) data.insert(data.end(), w.begin(), w.end());
    h = ref_hashes(data.data(), data.size());
    bool alone = true;
    for (std::size_t k = 15; k < data.size(); k++)
      if (h[k] >> 24 == 0 && (k < 415 || (k - 415) % 16 != 0)) alone = false;
    if (alone) break;
  }
  ASSERT_EQ(h[415], hash);
  // Equal, one above; then decided by byte 2, byte 1 and byte 0, either way.
  const uint32_t thrs[] = {hash,        hash + 1,    0x00A2'0000, 0x00A0'FFFF,
                           0x00A1'B300, 0x00A1'B1FF, 0x00A1'B2C4, 0x00A1'B2C2};
  for (uint32_t thr : thrs) {
    for (std::size_t back = 0; back <= 300; back++) {
      const std::size_t from = 415 - back;
      for (std::size_t to : {from + back + 1, from + 192, from + 300, data.size()}) {
        if (to > data.size()) continue;
        ASSERT_EQ(fn(data.data(), from, to, thr), ref_next(h, from, to, thr))
            << "threshold " << thr << ", from " << from << ", to " << to;
      }
    }
  }
}

// Long searches: whole buffers of each kind, from many starting points to
// the end, so the fast paths run over many blocks before the answer.
TEST_P(candidates, long_ranges) {
  const candidate_fn fn = GetParam().fn;
  const bytes inputs[] = {random_bytes(200000, 9), mixed_bytes(300000, 10), text_bytes(100000, 11),
                          pattern_bytes(100000, random_bytes(7, 12))};
  std::mt19937 rng(13);
  for (const bytes& data : inputs) {
    std::vector<uint32_t> h = ref_hashes(data.data(), data.size());
    for (uint32_t thr : thresholds) {
      for (int i = 0; i < 40; i++) {
        std::size_t from = 15 + rng() % (data.size() - 15);
        std::size_t to = i % 2 ? data.size() : std::min(data.size(), from + rng() % 70000);
        ASSERT_EQ(fn(data.data(), from, to, thr), ref_next(h, from, to, thr))
            << "threshold " << thr << ", from " << from << ", to " << to;
      }
    }
  }
}

// A variant reads p[from-15..to-1] and not a byte more, even in its last,
// partial block: the range is put right after one inaccessible page and
// right before another, so a stray read ends the test.
TEST_P(candidates, reads_only_the_windows) {
  const candidate_fn fn = GetParam().fn;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  uint8_t* map =
      static_cast<uint8_t*>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  uint8_t* lo = map + page;
  uint8_t* hi = map + 3 * page;
  ASSERT_EQ(mprotect(map, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(hi, page, PROT_NONE), 0);
  bytes r = random_bytes(2 * page, 14);
  std::copy(r.begin(), r.end(), lo);
  for (uint32_t thr : {0u, for_avglen(65535), for_avglen(100), for_avglen(1)}) {
    for (std::size_t len = 0; len <= 300; len++) {
      // Against the end: p[to-1] is the last readable byte.
      const uint8_t* p = hi - len - 15;
      std::vector<uint32_t> h = ref_hashes(p, len + 15);
      ASSERT_EQ(fn(p, 15, 15 + len, thr), ref_next(h, 15, 15 + len, thr)) << "at the end, length " << len;
      // Against the start: p[from-15] is the first readable byte.
      ASSERT_EQ(fn(lo, 15, 15 + len, thr), ref_next(ref_hashes(lo, len + 15), 15, 15 + len, thr))
          << "at the start, length " << len;
    }
  }
  munmap(map, 4 * page);
}

// The boundaries that the reference chunker finds, found by skipping from
// candidate to candidate under the 64-byte minimum and the 65535-byte cap.
std::vector<std::size_t> cut_with(candidate_fn fn, const bytes& data, uint32_t avglen) {
  const uint32_t thr = 0xFFFFFFFFu / avglen;
  const std::size_t n = data.size();
  std::vector<std::size_t> ends;
  std::size_t s = 0;
  while (s + 63 < n) {
    std::size_t k = fn(data.data(), s + 63, std::min(n, s + 65534), thr);
    if (k == n) break;
    ends.push_back(k + 1);
    s = k + 1;
  }
  ends.push_back(n);
  return ends;
}

TEST(candidates_chunking, same_boundaries_as_the_reference_chunker) {
  const struct {
    const char* name;
    bytes data;
  } inputs[] = {
      {"random", random_bytes(300000, 15)},
      {"mixed", mixed_bytes(400000, 16)},
      {"zeros", bytes(200000, 0)},
      {"text", text_bytes(100000, 17)},
      {"short", random_bytes(100, 18)},
      {"empty", {}},
  };
  for (const auto& in : inputs) {
    for (uint32_t avglen : {1u, 2u, 7u, 100u, 4096u, 65535u}) {
      std::vector<std::size_t> want;
      for (const ref::chunk& c : ref::chunks(in.data.data(), in.data.size(), avglen)) want.push_back(c.begin + c.len);
      for (const candidate_variant& v : variants_under_test())
        ASSERT_EQ(cut_with(v.fn, in.data, avglen), want) << in.name << ", avglen " << avglen << ", " << v.name;
    }
  }
}

}  // namespace
