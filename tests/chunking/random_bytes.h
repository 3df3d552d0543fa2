// Reproducible random bytes for the chunking tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace longdup::test {

inline std::vector<uint8_t> random_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

}  // namespace longdup::test
