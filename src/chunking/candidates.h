// Where can the next chunk end? A fast search for the positions whose window
// hash passes the boundary test.
//
// The rolling hash at byte k is the CRC-32 of the 16 bytes p[k-15..k] and of
// nothing before them, so it can be computed from scratch at any position, or
// at many positions at once. A chunk that starts at s ends at the first
// k >= s + 63 whose hash is below the threshold, or at s + 65534, whichever
// comes first; with these functions a whole input is cut as
//
//   s = 0;
//   while (s < n) {
//     k = next_candidate(p, s + 63, min(n, s + 65534), threshold);   // needs s + 63 <= n
//     if (k == n) break;     // the last chunk, [s, n), ends with the input
//     boundary after p[k];   // by the hash, or by the cap when k == s + 65534
//     s = k + 1;
//   }
//
// (with a last chunk [s, n) of fewer than 64 bytes when s + 63 > n). A
// chunker that skips ahead like this can restore its rolling hash at a
// boundary k with window_crc(p + k - 15).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace longdup {

// The first k in [from, to) whose window p[k-15..k] has a CRC-32 below
// `threshold`, or `to` if there is none. Requires from >= 15 (the window lies
// inside the buffer) and from <= to; reads p[from-15..to-1] and nothing else.
using candidate_fn = std::size_t (*)(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// The fastest variant that this CPU runs, picked at the first call.
std::size_t next_candidate(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// One rolling chain: the literal form, and the fallback of every other variant.
std::size_t next_candidate_scalar(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// Four rolling chains over adjacent segments, so that their table loads
// overlap. The best variant for CPUs without AVX2.
std::size_t next_candidate_interleaved(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// 32 positions per step from nibble tables and byte shuffles. Needs AVX2.
std::size_t next_candidate_avx2(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// 32 positions per step, one GF(2) affine instruction per window byte.
// Needs AVX2 and GFNI.
std::size_t next_candidate_gfni(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

// As the GFNI variant, then 64 positions per step once a search runs long.
// Needs AVX-512 F, BW and VL, and GFNI.
std::size_t next_candidate_avx512(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);

struct candidate_variant {
  const char* name;
  candidate_fn fn;
};

// The variants that this CPU can run, the scalar ones first; next_candidate
// uses the last.
std::vector<candidate_variant> candidate_variants();

// The CRC-32 of the 16 bytes w[0..15], from slicing tables.
uint32_t window_crc(const uint8_t* w);

}  // namespace longdup
