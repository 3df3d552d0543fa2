// Writes a deterministic stream of `size` bytes to stdout, built from 16 MiB
// segments that repeat every 37 segments (592 MiB back, inside the default
// window) with a few edited bytes each time, so that repeated chunks occur
// all along the stream, across the point where positions wrap.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: soak_gen BYTES\n");
    return 1;
  }
  uint64_t size = std::strtoull(argv[1], nullptr, 10);
  const std::size_t seg = 16u << 20;
  std::vector<uint64_t> buf(seg / 8);
  for (uint64_t done = 0, i = 0; done < size; i++) {
    uint64_t seed = mix(i % 37 + 1);
    for (std::size_t k = 0; k < buf.size(); k++) buf[k] = mix(seed + k);
    for (int e = 0; e < 16; e++) buf[mix(i * 16 + e) % buf.size()] ^= mix(i) | 1;
    std::size_t n = size - done < seg ? static_cast<std::size_t>(size - done) : seg;
    if (std::fwrite(buf.data(), 1, n, stdout) != n) return 1;
    done += n;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
