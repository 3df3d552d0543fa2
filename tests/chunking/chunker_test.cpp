#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "chunking/chunker.h"
#include "random_bytes.h"
#include "reference.h"

namespace {

using namespace longdup;
using bytes = std::vector<uint8_t>;

using test::random_bytes;

// Random data interleaved with the structures that chunkers meet in real
// files: long zero runs (longer than the cap), runs of one byte, text-like
// bytes from a small alphabet, and repeats of earlier content.
bytes mixed_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes v;
  while (v.size() < n) {
    std::size_t len = 1 + rng() % 5000;
    switch (rng() % 6) {
      case 0: v.insert(v.end(), rng() % 4 ? len : 70000 + rng() % 70000, 0); break;
      case 1: v.insert(v.end(), len, static_cast<uint8_t>(rng())); break;
      case 2:
        for (std::size_t i = 0; i < len; i++) v.push_back(static_cast<uint8_t>("etaoin shrdlu\n"[rng() % 14]));
        break;
      case 3:
        if (v.size() > len) {
          std::size_t from = rng() % (v.size() - len);
          for (std::size_t i = 0; i < len; i++) v.push_back(v[from + i]);
          break;
        }
        [[fallthrough]];
      default:
        for (std::size_t i = 0; i < len; i++) v.push_back(static_cast<uint8_t>(rng()));
    }
  }
  v.resize(n);
  return v;
}

bytes concat(std::initializer_list<bytes> parts) {
  bytes v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// Runs the chunker over `data` in the documented calling order and returns
// the chunks, the one that the end of the data finishes included. The first
// `batch` bytes of every chunk are absorbed without a test in between.
std::vector<ref::chunk> cut_all(chunker& c, const bytes& data, std::size_t batch = 0) {
  std::vector<ref::chunk> out;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < data.size(); i++) {
    absorb_byte(c, data[i]);
    if (c.chunk_len < batch) continue;
    if (at_boundary(c)) {
      finish_chunk(c);
      out.push_back({begin, i + 1 - begin, c.cur_key});
      begin = i + 1;
    }
  }
  finish_chunk(c);
  out.push_back({begin, data.size() - begin, c.cur_key});
  return out;
}

std::vector<ref::chunk> cut_all(const bytes& data, uint32_t avglen, std::size_t batch = 0) {
  static chunker c;
  chunker_reset(c, avglen);
  return cut_all(c, data, batch);
}

std::vector<std::size_t> lengths(const std::vector<ref::chunk>& v) {
  std::vector<std::size_t> out;
  for (const auto& c : v) out.push_back(c.len);
  return out;
}

void expect_same_chunks(const std::vector<ref::chunk>& got, const std::vector<ref::chunk>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(got[i].begin, want[i].begin) << "chunk " << i;
    ASSERT_EQ(got[i].len, want[i].len) << "chunk " << i;
    ASSERT_EQ(got[i].key, want[i].key) << "chunk " << i;
  }
}

uint32_t crc_of_run(uint8_t v, std::size_t n) {
  bytes run(n, v);
  return ref::crc32(run.data(), n);
}

TEST(chunker, record_layout) {
  EXPECT_EQ(offsetof(chunker, rhash), 0u);
  EXPECT_EQ(offsetof(chunker, chunk_len), 4u);
  EXPECT_EQ(offsetof(chunker, byte_cnt), 8u);
  EXPECT_EQ(offsetof(chunker, win_len), 12u);
  EXPECT_EQ(offsetof(chunker, threshold), 16u);
  EXPECT_EQ(offsetof(chunker, fp_block), 20u);
  EXPECT_EQ(offsetof(chunker, crc_tab), 84u);
  EXPECT_EQ(offsetof(chunker, crc_out_tab), 84u + 1024);
  EXPECT_EQ(offsetof(chunker, win_ring), 84u + 2048);
  EXPECT_EQ(offsetof(chunker, cur_key), 84u + 2048 + 256);
  EXPECT_EQ(sizeof(chunker), 84u + 2048 + 256 + 16);
}

TEST(chunker, reset_state) {
  chunker c;
  std::memset(&c, 0xA5, sizeof c);
  chunker_reset(c, 100);
  EXPECT_EQ(c.rhash, 0xECBB4B55u);
  EXPECT_EQ(c.rhash, chunk_h0);
  EXPECT_EQ(c.chunk_len, 0u);
  EXPECT_EQ(c.byte_cnt, 0u);
  EXPECT_EQ(c.win_len, 16u);
  for (int i = 0; i < 256; i++) ASSERT_EQ(c.win_ring[i], 0) << i;
  for (int i = 0; i < 64; i++) ASSERT_EQ(c.fp_block[i], 0) << i;
  for (int i = 0; i < 16; i++) EXPECT_EQ(c.cur_key.b[i], 0xA5) << "reset must leave cur_key alone";
}

TEST(chunker, table_reference_values) {
  chunker c;
  chunker_reset(c, 100);
  struct {
    int index;
    uint32_t in, out;
  } cases[] = {
      {0x00, 0xD202EF8D, 0x2554BAE8},
      {0x01, 0xA505DF1B, 0xA2F271AB},
      {0x80, 0x3FBA6CAD, 0x9FD87100},
      {0xFF, 0xFF000000, 0x3DEE8CA6},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(c.crc_tab[k.index], k.in) << "crc_tab[" << k.index << "]";
    EXPECT_EQ(c.crc_out_tab[k.index], k.out) << "crc_out_tab[" << k.index << "]";
  }
}

TEST(chunker, tables_mean_crcs) {
  // crc_tab[j] is the CRC-32 of byte j; crc_out_tab[j] that of byte j and 16
  // zeros, XOR that of 16 zeros; h0 that of 16 zeros.
  chunker c;
  chunker_reset(c, 7);
  uint32_t h0 = crc_of_run(0, 16);
  EXPECT_EQ(h0, 0xECBB4B55u);
  for (int j = 0; j < 256; j++) {
    uint8_t msg[17] = {static_cast<uint8_t>(j)};
    ASSERT_EQ(c.crc_tab[j], ref::crc32(msg, 1)) << j;
    ASSERT_EQ(c.crc_out_tab[j], ref::crc32(msg, 17) ^ h0) << j;
  }
}

TEST(chunker, threshold_from_avglen) {
  struct {
    uint32_t avglen, threshold;
  } cases[] = {
      {100, 42949672},  {100, 0x028F5C28}, {1, 0xFFFFFFFF}, {65535, 65537}, {2, 0x7FFFFFFF},
      {7, 0x24924924},  {1024, 0x003FFFFF},
      {0, 0xFFFFFFFF},  // treated as 1, never divided by
  };
  chunker c;
  for (const auto& k : cases) {
    chunker_reset(c, k.avglen);
    EXPECT_EQ(c.threshold, k.threshold) << "avglen " << k.avglen;
  }
}

TEST(chunker, reset_after_use_starts_afresh) {
  static chunker fresh, used;
  chunker_reset(fresh, 100);
  chunker_reset(used, 7);
  bytes data = random_bytes(1000, 11);
  for (std::size_t i = 0; i < 937; i++) absorb_byte(used, data[i]);  // mid-chunk, mid-fingerprint
  chunker_reset(used, 100);
  used.cur_key = fresh.cur_key;
  EXPECT_EQ(std::memcmp(&fresh, &used, sizeof fresh), 0);
}

TEST(chunker, rhash_examples) {
  chunker c;
  chunker_reset(c, 100);
  for (char d = '1'; d <= '9'; d++) absorb_byte(c, static_cast<uint8_t>(d));
  EXPECT_EQ(c.rhash, 0xC14666DDu);

  // 16 bytes 61 give the same rhash whatever came before them.
  struct {
    const char* name;
    bytes before;
  } cases[] = {
      {"nothing", {}},
      {"digits", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}},
      {"one byte", {0xFF}},
      {"random", random_bytes(1001, 12)},
      {"zeros", bytes(300, 0)},
      {"more 61", bytes(40, 0x61)},
  };
  for (const auto& k : cases) {
    chunker_reset(c, 100);
    for (uint8_t b : k.before) absorb_byte(c, b);
    for (int i = 0; i < 16; i++) absorb_byte(c, 0x61);
    EXPECT_EQ(c.rhash, 0xCFD668D5u) << k.name;
  }
}

TEST(chunker, rhash_is_the_window_crc_at_every_byte) {
  // Across chunk boundaries, and from the zero-padded start on.
  bytes data = concat({random_bytes(20000, 13), mixed_bytes(20000, 14)});
  static chunker c;
  chunker_reset(c, 7);
  for (std::size_t i = 0; i < data.size(); i++) {
    absorb_byte(c, data[i]);
    ASSERT_EQ(c.rhash, ref::window_hash(data.data(), i + 1)) << "after byte " << i;
    ASSERT_EQ(c.byte_cnt, i + 1);
    if (at_boundary(c)) finish_chunk(c);
  }
}

TEST(chunker, equal_byte_runs_hold_rhash) {
  struct {
    uint8_t v;
    uint32_t want;
  } cases[] = {{0x00, 0xECBB4B55}, {0x61, 0xCFD668D5}, {0xFF, crc_of_run(0xFF, 16)}, {0x80, crc_of_run(0x80, 16)}};
  chunker c;
  for (const auto& k : cases) {
    chunker_reset(c, 2);
    for (uint8_t b : random_bytes(50, 15)) absorb_byte(c, b);
    for (int i = 0; i < 16; i++) absorb_byte(c, k.v);
    for (int i = 0; i < 500; i++) {
      ASSERT_EQ(c.rhash, k.want) << "value " << int(k.v) << ", byte " << i;
      absorb_byte(c, k.v);
      if (at_boundary(c)) finish_chunk(c);
    }
  }
}

TEST(chunker, boundary_rule_cases) {
  // chunk_len > 63 and (rhash < threshold or chunk_len > 65534), all strict.
  const uint32_t t = 42949672;  // avglen 100
  struct {
    uint32_t chunk_len, rhash;
    bool boundary;
  } cases[] = {
      {0, 0, false},          {1, 0, false},           {62, 0, false},
      {63, 0, false},         {64, 0, true},           {64, t - 1, true},
      {64, t, false},         {64, 0xFFFFFFFF, false}, {65, 0, true},
      {1000, t - 1, true},    {1000, t, false},        {65534, t, false},
      {65534, 0xFFFFFFFF, false}, {65535, t, true},    {65535, 0xFFFFFFFF, true},
      {65535, 0, true},
  };
  chunker c;
  chunker_reset(c, 100);
  ASSERT_EQ(c.threshold, t);
  for (const auto& k : cases) {
    c.chunk_len = k.chunk_len;
    c.rhash = k.rhash;
    EXPECT_EQ(at_boundary(c), k.boundary) << "chunk_len " << k.chunk_len << ", rhash " << k.rhash;
  }
}

// Random bytes in which the 16 bytes that end with byte number `at` of the
// data (counted from 1) have CRC-32 `hash`.
bytes with_window_hash(bytes data, std::size_t at, uint32_t hash) {
  auto w = ref::window_with_hash(hash, data.data() + at - 16);
  std::copy(w.begin(), w.end(), data.begin() + at - 16);
  return data;
}

TEST(chunker, no_boundary_before_64_even_when_hash_is_low) {
  for (uint32_t avglen : {1u, 2u, 100u, 65535u}) {
    for (std::size_t at : {16u, 17u, 40u, 63u}) {
      // The chunk is the first after a reset, or follows one of 100 bytes.
      for (std::size_t lead : {0u, 100u}) {
        SCOPED_TRACE(testing::Message() << "avglen " << avglen << ", low at " << at << ", after " << lead);
        bytes data = with_window_hash(random_bytes(lead + 200, 16 + at), lead + at, 0);
        chunker c;
        chunker_reset(c, avglen);
        for (std::size_t i = 0; i < lead; i++) absorb_byte(c, data[i]);
        if (lead) finish_chunk(c);
        for (std::size_t i = lead; i < lead + at; i++) {
          absorb_byte(c, data[i]);
          ASSERT_FALSE(at_boundary(c)) << "chunk_len " << c.chunk_len;
        }
        ASSERT_EQ(c.rhash, 0u);
        ASSERT_LT(c.rhash, c.threshold);
      }
    }
  }
}

TEST(chunker, low_hash_at_byte_64_cuts_there) {
  // Even with avglen 65535, whose test passes on about one byte in 65536.
  for (uint32_t avglen : {1u, 100u, 65535u}) {
    bytes data = with_window_hash(random_bytes(300, 17), 64, 0);
    auto got = cut_all(data, avglen);
    EXPECT_EQ(got[0].len, 64u) << "avglen " << avglen;
  }
}

TEST(chunker, cap_at_65535) {
  // A run of zeros keeps rhash at 0xECBB4B55, which no threshold of avglen
  // 2 or more lies above, so only the cap cuts it.
  struct {
    const char* name;
    bytes data;
    uint32_t avglen;
    std::vector<std::size_t> lens;
  } cases[] = {
      {"zeros, avglen 2", bytes(3 * 65535 + 1000, 0), 2, {65535, 65535, 65535, 1000}},
      {"zeros, avglen 100", bytes(3 * 65535 + 1000, 0), 100, {65535, 65535, 65535, 1000}},
      {"zeros, avglen 65535", bytes(2 * 65535, 0), 65535, {65535, 65535, 0}},
      {"zeros, one short of the cap", bytes(65534, 0), 100, {65534}},
      {"zeros, one past the cap", bytes(65536, 0), 100, {65535, 1}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(lengths(cut_all(k.data, k.avglen)), k.lens);
  }
}

TEST(chunker, zero_runs_are_cut_only_by_the_cap) {
  // Inside a zero run that follows other data, every chunk that starts once
  // the window holds only zeros runs to the cap.
  bytes data = concat({random_bytes(1000, 18), bytes(300000, 0), random_bytes(1000, 19)});
  for (uint32_t avglen : {2u, 100u, 65535u}) {
    auto got = cut_all(data, avglen);
    int capped = 0;
    for (const auto& ch : got) {
      if (ch.begin < 1000 + 16 || ch.begin + ch.len > 1000 + 300000) continue;
      EXPECT_EQ(ch.len, 65535u) << "avglen " << avglen << ", chunk at " << ch.begin;
      capped++;
    }
    EXPECT_GE(capped, 3) << "avglen " << avglen;
  }
}

TEST(chunker, avglen_1_cuts_every_64_bytes) {
  struct {
    const char* name;
    bytes data;
  } cases[] = {
      {"random", random_bytes(64 * 500 + 10, 20)},
      {"zeros", bytes(64 * 500 + 10, 0)},
      {"ones", bytes(64 * 500 + 10, 0xFF)},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto lens = lengths(cut_all(k.data, 1));
    ASSERT_EQ(lens.size(), 501u);
    for (std::size_t i = 0; i < 500; i++) ASSERT_EQ(lens[i], 64u) << "chunk " << i;
    EXPECT_EQ(lens[500], 10u);
  }
}

TEST(chunker, avglen_1_passes_over_rhash_ffffffff) {
  // The hash test is strict: rhash 0xFFFFFFFF at the 64th byte is not below
  // the threshold 0xFFFFFFFF, so the chunk runs on to its 65th byte.
  bytes data = with_window_hash(random_bytes(64 * 4, 21), 64, 0xFFFFFFFF);
  ASSERT_EQ(ref::window_hash(data.data(), 64), 0xFFFFFFFFu);
  ASSERT_NE(ref::window_hash(data.data(), 65), 0xFFFFFFFFu);
  chunker c;
  chunker_reset(c, 1);
  for (int i = 0; i < 64; i++) absorb_byte(c, data[i]);
  EXPECT_EQ(c.rhash, 0xFFFFFFFFu);
  EXPECT_FALSE(at_boundary(c));
  EXPECT_EQ(lengths(cut_all(data, 1)), (std::vector<std::size_t>{65, 64, 64, 63}));
}

TEST(chunker, end_right_after_a_boundary_gives_an_empty_last_chunk) {
  bytes data = random_bytes(64, 22);
  auto got = cut_all(data, 1);
  ASSERT_EQ(lengths(got), (std::vector<std::size_t>{64, 0}));
  EXPECT_EQ(got[1].key, ref::key(nullptr, 0));
  EXPECT_EQ(key_len(got[1].key), 0u);
}

TEST(chunker, agrees_with_reference) {
  struct {
    uint32_t avglen;
    std::size_t random_len, mixed_len;
  } cases[] = {{1, 30000, 30000}, {7, 60000, 60000}, {100, 150000, 150000}, {65535, 450000, 300000}};
  for (const auto& k : cases) {
    for (int kind = 0; kind < 2; kind++) {
      SCOPED_TRACE(testing::Message() << "avglen " << k.avglen << (kind ? ", mixed" : ", random"));
      bytes data = kind ? mixed_bytes(k.mixed_len, 23 + k.avglen) : random_bytes(k.random_len, 24 + k.avglen);
      auto want = ref::chunks(data.data(), data.size(), k.avglen);
      expect_same_chunks(cut_all(data, k.avglen), want);
      if (k.avglen == 65535 && kind == 0) {
        int capped = 0;
        for (const auto& ch : want) capped += ch.len == 65535;
        EXPECT_GE(capped, 1) << "the data should reach the cap somewhere";
      }
    }
  }
}

TEST(chunker, batch_absorption_equals_testing_every_byte) {
  bytes data = concat({random_bytes(40000, 25), mixed_bytes(40000, 26)});
  for (uint32_t avglen : {1u, 2u, 7u, 100u}) {
    auto want = cut_all(data, avglen);
    for (std::size_t batch = 1; batch <= 63; batch++) {
      SCOPED_TRACE(testing::Message() << "avglen " << avglen << ", batch " << batch);
      expect_same_chunks(cut_all(data, avglen, batch), want);
    }
  }
}

TEST(chunker, a_chunk_repeated_later_ends_alike_with_the_same_key) {
  // Sources: chunks cut from random data, from text-like data, and from a
  // zero run (cut by the cap). Each is absorbed again after other bytes.
  bytes src = concat({random_bytes(20000, 27), mixed_bytes(20000, 28), bytes(140000, 0), random_bytes(500, 29)});
  const uint32_t avglen = 100;
  auto chunks = cut_all(src, avglen);
  chunks.pop_back();  // the last one was ended by the end of the data

  std::vector<const ref::chunk*> picks;
  for (std::size_t i = 0; i < chunks.size(); i += 1 + chunks.size() / 40) picks.push_back(&chunks[i]);
  for (const auto& ch : chunks)
    if (ch.len == 65535) picks.push_back(&ch);

  bytes any = random_bytes(3000, 30);
  for (const ref::chunk* ch : picks) {
    bytes chunk(src.begin() + ch->begin, src.begin() + ch->begin + ch->len);
    struct {
      const char* name;
      bytes before;
      uint32_t start_cnt;
    } befores[] = {
        {"nothing", {}, 0},
        {"1 byte", bytes(any.begin(), any.begin() + 1), 0},
        {"15 bytes", bytes(any.begin(), any.begin() + 15), 0},
        {"16 bytes", bytes(any.begin(), any.begin() + 16), 0},
        {"17 bytes", bytes(any.begin(), any.begin() + 17), 0},
        {"64 bytes", bytes(any.begin(), any.begin() + 64), 0},
        {"3000 bytes", any, 0},
        {"zeros", bytes(500, 0), 0},
        {"its own start", bytes(chunk.begin(), chunk.begin() + std::min<std::size_t>(chunk.size(), 40)), 0},
        {"itself", chunk, 0},
        {"bytes across the count wrap", bytes(any.begin(), any.begin() + 333), 0xFFFFFF00u},
    };
    for (const auto& b : befores) {
      SCOPED_TRACE(testing::Message() << "chunk at " << ch->begin << " of " << ch->len << " bytes, after " << b.name);
      chunker c;
      chunker_reset(c, avglen);
      c.byte_cnt = b.start_cnt;  // the ring is all zero, so any count is consistent
      for (uint8_t v : b.before) {
        absorb_byte(c, v);
        if (at_boundary(c)) finish_chunk(c);
      }
      if (c.chunk_len) finish_chunk(c);  // a repeat always starts after a chunk end
      for (std::size_t i = 0; i + 1 < chunk.size(); i++) {
        absorb_byte(c, chunk[i]);
        ASSERT_FALSE(at_boundary(c)) << "early boundary after " << i + 1 << " bytes";
      }
      absorb_byte(c, chunk.back());
      ASSERT_TRUE(at_boundary(c));
      finish_chunk(c);
      ASSERT_EQ(c.cur_key, ch->key);
      ASSERT_EQ(key_len(c.cur_key), ch->len);
    }
  }
}

TEST(chunker, byte_cnt_wrap_does_not_disturb_rhash) {
  bytes data = concat({random_bytes(5000, 31), mixed_bytes(5000, 32)});
  for (uint32_t start : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFEFu, 0xFFFFFF01u, 0xFFFFE000u}) {
    SCOPED_TRACE(testing::Message() << "byte_cnt from " << std::hex << start);
    chunker a, b;
    chunker_reset(a, 7);
    chunker_reset(b, 7);
    b.byte_cnt = start;  // right after a reset the ring is all zero, so any count is consistent
    for (std::size_t i = 0; i < data.size(); i++) {
      absorb_byte(a, data[i]);
      absorb_byte(b, data[i]);
      ASSERT_EQ(b.rhash, a.rhash) << "after byte " << i;
      ASSERT_EQ(b.rhash, ref::window_hash(data.data(), i + 1)) << "after byte " << i;
      bool cut = at_boundary(a);
      ASSERT_EQ(at_boundary(b), cut) << "after byte " << i;
      if (cut) {
        finish_chunk(a);
        finish_chunk(b);
        ASSERT_EQ(b.cur_key, a.cur_key) << "after byte " << i;
      }
    }
    EXPECT_EQ(b.byte_cnt, static_cast<uint32_t>(start + data.size()));
    EXPECT_LT(b.byte_cnt, start) << "the count should have wrapped";
  }
}

}  // namespace
