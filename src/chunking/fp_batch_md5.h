// The MD5 compression's fixed tables, shared by the lane kernels of
// fp_batch. The one-block mix itself is fp_mix; the kernels run the same
// 64 steps on whole vectors of blocks at once.
#pragma once

#include <cstdint>

namespace longdup::fp_md5 {

inline constexpr uint32_t iv[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// Step constants: k[i] = floor(abs(sin(i + 1)) * 2^32).
inline constexpr uint32_t k[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};

// Left rotation of step i.
constexpr unsigned rot(unsigned i) {
  constexpr unsigned r[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  return r[i / 16][i % 4];
}

// Message word read by step i.
constexpr unsigned word(unsigned i) {
  switch (i / 16) {
    case 0: return i % 16;
    case 1: return (1 + 5 * i) % 16;
    case 2: return (5 + 3 * i) % 16;
    default: return 7 * i % 16;
  }
}

// The round's boolean function of (b, c, d), per bit.
constexpr unsigned fn(unsigned round, unsigned b, unsigned c, unsigned d) {
  switch (round) {
    case 0: return (b & c) | (~b & d);
    case 1: return (b & d) | (c & ~d);
    case 2: return b ^ c ^ d;
    default: return c ^ (b | ~d);
  }
}

// The same function as a three-input truth table: evaluated on the columns
// 0xF0, 0xCC, 0xAA, bit j of the result is fn of bit j of each column, and
// those bits run through all eight input combinations.
constexpr uint8_t truth_table(unsigned round) { return static_cast<uint8_t>(fn(round, 0xF0, 0xCC, 0xAA)); }

}  // namespace longdup::fp_md5
