#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "chunking/fingerprint.h"
#include "known_keys.h"
#include "random_bytes.h"
#include "reference.h"

namespace {

using namespace longdup;
using bytes = std::vector<uint8_t>;

using test::make_key;
using test::random_bytes;

chunk_key key_of(const bytes& chunk) {
  uint8_t block[64] = {};
  for (uint8_t b : chunk) fp_absorb(block, b);
  return fp_finish(block, static_cast<uint32_t>(chunk.size()));
}

std::string hex(const uint8_t* p, std::size_t n) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < n; i++) {
    std::snprintf(buf, sizeof buf, "%02X ", p[i]);
    s += buf;
  }
  return s;
}

TEST(fingerprint, reference_keys) {
  for (const auto& c : test::known_keys()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(key_of(c.chunk), c.key);
    EXPECT_EQ(ref::key(c.chunk.data(), c.chunk.size()), c.key);
  }
}

TEST(fingerprint, bytes_00_to_3F_step_by_step) {
  uint8_t block[64] = {};
  for (uint8_t b = 0; b < 63; b++) fp_absorb(block, b);
  for (int i = 0; i < 63; i++) ASSERT_EQ(block[i], i) << "no mix before the 64th byte";
  EXPECT_EQ(block[63], 63);

  // The 64th byte finds the block full: the mix reads X[15] = 0x3F3E3D3C,
  // then 3F goes into byte 0.
  fp_absorb(block, 0x3F);
  const uint8_t mixed[16] = {0xCA, 0xD8, 0x46, 0x92, 0xCD, 0xE1, 0x07, 0xDE,
                             0x30, 0x52, 0xF6, 0x79, 0x12, 0xF8, 0x51, 0x6D};
  EXPECT_EQ(block[0], mixed[0] ^ 0x3F);
  for (int i = 1; i < 16; i++) EXPECT_EQ(block[i], mixed[i]) << "byte " << i;
  for (int i = 16; i < 63; i++) EXPECT_EQ(block[i], i) << "byte " << i;
  EXPECT_EQ(block[63], 1);

  chunk_key k = fp_finish(block, 64);
  EXPECT_EQ(k, make_key({0x61, 0x84, 0xC1, 0xC3, 0xBC, 0x92, 0x56, 0x85, 0x27, 0xD0, 0x5B, 0xD6, 0xD6, 0x1C, 0x40, 0x00}));
  for (int i = 0; i < 64; i++) EXPECT_EQ(block[i], 0) << "byte " << i << " not cleared";
}

TEST(fingerprint, mix_of_known_blocks) {
  struct {
    const char* name;
    uint8_t byte0;  // the rest of the block is zero
    std::array<uint8_t, 16> result;
  } cases[] = {
      {"all zero", 0x00, {0xAC, 0x1D, 0x1F, 0x03, 0xD0, 0x8E, 0xA5, 0x6E, 0xB7, 0x67, 0xAB, 0x1F, 0x91, 0x77, 0x31, 0x74}},
      // MD5's one padded block for the empty message: its digest
      // D4 1D 8C D9 8F 00 B2 04 E9 80 09 98 EC F8 42 7E, XORed over the 80.
      {"empty-message MD5 block", 0x80, {0xD4 ^ 0x80, 0x1D, 0x8C, 0xD9, 0x8F, 0x00, 0xB2, 0x04, 0xE9, 0x80, 0x09, 0x98, 0xEC, 0xF8, 0x42, 0x7E}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t block[64] = {c.byte0};
    fp_mix(block);
    EXPECT_EQ(hex(block, 16), hex(c.result.data(), 16));
    for (int i = 16; i < 64; i++) EXPECT_EQ(block[i], 0) << "byte " << i;
  }
}

TEST(fingerprint, mix_agrees_with_reference_and_keeps_bytes_16_to_62) {
  std::mt19937 rng(1);
  for (int round = 0; round < 2000; round++) {
    uint8_t block[64], expect[64];
    for (auto& b : block) b = static_cast<uint8_t>(rng());
    if (round % 4 == 0) block[63] = static_cast<uint8_t>(round % 64);  // fills as the chunker leaves them
    std::memcpy(expect, block, 64);
    ref::mix(expect);
    fp_mix(block);
    ASSERT_EQ(hex(block, 64), hex(expect, 64)) << "round " << round;
    ASSERT_EQ(block[63], 0);
  }
}

TEST(fingerprint, mix_is_not_chained) {
  // Every mix starts from the same initial value: the same block always
  // mixes to the same result, whatever was mixed before.
  uint8_t first[64] = {}, again[64] = {}, other[64];
  std::memset(other, 0x5A, 64);
  fp_mix(first);
  fp_mix(other);
  fp_mix(again);
  EXPECT_EQ(hex(first, 64), hex(again, 64));
}

TEST(fingerprint, fill_is_part_of_the_mixed_data) {
  // 63 zero bytes and no bytes leave the accumulator equally zero; only the
  // fill byte tells them apart.
  chunk_key empty = key_of({}), zeros = key_of(bytes(63, 0));
  EXPECT_NE(hex(empty.b, 14), hex(zeros.b, 14));
  for (uint8_t fill = 1; fill < 64; fill++) {
    uint8_t a[64] = {}, b[64] = {};
    b[63] = fill;
    fp_mix(a);
    fp_mix(b);
    EXPECT_NE(hex(a, 16), hex(b, 16)) << "fill " << int(fill);
    EXPECT_EQ(b[63], 0);
  }
}

TEST(fingerprint, mixes_per_chunk) {
  // A chunk of exactly 63 bytes is only mixed by fp_finish; a 64th byte
  // mixes before it goes in; the second segment XORs over the first.
  bytes data = random_bytes(127, 2);
  uint8_t block[64] = {};
  for (int i = 0; i < 63; i++) fp_absorb(block, data[i]);
  EXPECT_EQ(hex(block, 63), hex(data.data(), 63));

  uint8_t before[64];
  std::memcpy(before, block, 64);
  ref::mix(before);
  fp_absorb(block, data[63]);
  before[0] ^= data[63];
  before[63] = 1;
  EXPECT_EQ(hex(block, 64), hex(before, 64));

  for (int i = 64; i < 126; i++) fp_absorb(block, data[i]);
  EXPECT_EQ(block[63], 63);
  for (int i = 16; i < 63; i++) EXPECT_EQ(block[i], data[i] ^ data[63 + i]) << "byte " << i;
  fp_absorb(block, data[126]);  // the third segment begins with a mix
  EXPECT_EQ(block[63], 1);
}

TEST(fingerprint, every_length_agrees_with_reference) {
  // Covers each place where a mix falls: lengths around multiples of 63.
  bytes data = random_bytes(1000, 3);
  uint8_t block[64] = {};
  for (std::size_t len = 0; len <= data.size(); len++) {
    for (std::size_t i = 0; i < len; i++) fp_absorb(block, data[i]);
    chunk_key k = fp_finish(block, static_cast<uint32_t>(len));
    ASSERT_EQ(k, ref::key(data.data(), len)) << "length " << len;
    ASSERT_EQ(key_len(k), len);
  }
}

TEST(fingerprint, long_chunks_agree_with_reference) {
  bytes data = random_bytes(65535, 4);
  for (std::size_t len : {4095u, 63u * 1040, 65534u, 65535u}) {
    bytes chunk(data.begin(), data.begin() + len);
    chunk_key k = key_of(chunk);
    EXPECT_EQ(k, ref::key(chunk.data(), len)) << "length " << len;
    EXPECT_EQ(key_len(k), len);
  }
}

TEST(fingerprint, finish_clears_block_and_key_is_position_independent) {
  bytes chunk = random_bytes(200, 5), before = random_bytes(77, 6);
  uint8_t block[64] = {};
  for (uint8_t b : before) fp_absorb(block, b);
  fp_finish(block, static_cast<uint32_t>(before.size()));
  for (int i = 0; i < 64; i++) ASSERT_EQ(block[i], 0) << "byte " << i;
  for (uint8_t b : chunk) fp_absorb(block, b);
  EXPECT_EQ(fp_finish(block, 200), key_of(chunk));
}

TEST(fingerprint, key_length_field) {
  struct {
    uint32_t len;
    uint8_t b14, b15;
  } cases[] = {{0, 0x00, 0x00}, {3, 0x03, 0x00}, {64, 0x40, 0x00}, {255, 0xFF, 0x00},
               {256, 0x00, 0x01}, {0x1234, 0x34, 0x12}, {65535, 0xFF, 0xFF}};
  for (const auto& c : cases) {
    uint8_t block[64] = {};
    chunk_key k = fp_finish(block, c.len);
    EXPECT_EQ(k.b[14], c.b14) << c.len;
    EXPECT_EQ(k.b[15], c.b15) << c.len;
    EXPECT_EQ(key_len(k), c.len);
  }
}

TEST(fingerprint, keys_compare_over_all_16_bytes) {
  chunk_key a = key_of(random_bytes(90, 7));
  chunk_key b = a;
  EXPECT_TRUE(a == b);
  for (int i = 0; i < 16; i++) {
    chunk_key c = a;
    c.b[i] ^= 1;
    EXPECT_FALSE(a == c) << "byte " << i;
    EXPECT_TRUE(a != c) << "byte " << i;
  }
}

}  // namespace
