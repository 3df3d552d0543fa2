// Chunk keys per second and MB/s of chunk bytes, every path in the same run:
// the byte-at-a-time fp_absorb/fp_finish, fp_chunk, and the lane kernels in
// batches as the encoder hands them over.
//
//   g++ -O2 -std=c++20 -I src bench/kernels/fp_bench.cpp build/fp/liblongdup.a -o /tmp/fp_bench
//   /tmp/fp_bench [MB=256] [repeats=5] [only paths whose name contains this]
//
// Every timed run keys 256 MB of chunks: a buffer of MB megabytes, cut once,
// is keyed 256 / MB times over. At 256 the bytes stream from memory; at 1
// they stay in the core's cache, as the encoder's chunks do, which it keys
// right after finding their ends in a 64 KB input block.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chunking/fp_batch.h"

using namespace longdup;

namespace {

struct cut {
  const char* name;
  std::vector<uint32_t> lens;  // consecutive chunks from the start of the buffer
};

// The chunker's lengths: at least 64, then a boundary after each byte with
// probability 1 / mean, and never more than 65535.
std::vector<uint32_t> chunker_like(std::size_t total, double mean, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::geometric_distribution<uint32_t> geo(1.0 / (mean + 1));
  std::vector<uint32_t> v;
  std::size_t sum = 0;
  for (;;) {
    uint32_t len = 64 + geo(rng);
    if (len > 65535) len = 65535;
    if (sum + len > total) break;
    v.push_back(len);
    sum += len;
  }
  return v;
}

std::vector<uint32_t> all_of(std::size_t total, uint32_t len) { return std::vector<uint32_t>(total / len, len); }

// Time this thread has run, so that time lost to other processes on a
// busy machine is not counted.
double now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

uint64_t fold(const std::vector<chunk_key>& keys) {
  uint64_t h = 0;
  for (const auto& k : keys) {
    uint64_t w;
    std::memcpy(&w, k.b, 8);
    h = h * 31 + w;
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string only = argc > 3 ? argv[3] : "";
  const std::size_t total = mb << 20;
  const std::size_t loops = mb >= 256 ? 1 : 256 / mb;
  std::vector<uint8_t> data(total);
  std::mt19937_64 rng(42);
  for (std::size_t i = 0; i + 8 <= total; i += 8) {
    uint64_t w = rng();
    std::memcpy(&data[i], &w, 8);
  }

  std::vector<cut> cuts = {
      {"avglen 100 (64 + geo 100)", chunker_like(total, 100, 1)},
      {"avglen 1 (all 64)", all_of(total, 64)},
      {"avglen 1000 (64 + geo 1000)", chunker_like(total, 1000, 2)},
      {"avglen 16384 (64 + geo 16384)", chunker_like(total, 16384, 3)},
  };

  struct method {
    std::string name;
    std::size_t batch;  // 0: one chunk at a time
    fp_chunks_fn fn;
    int kind;  // 0 absorb, 1 fp_chunk, 2 batch, 4 sorted groups of `lanes`
    unsigned lanes = 0;
  };
  std::vector<method> methods = {{"fp_chunk", 0, nullptr, 1}, {"fp_absorb per byte", 0, nullptr, 0}};
  fp_variant_list vl = fp_variants();
  for (unsigned i = 1; i < vl.count; i++)
    for (std::size_t b : {std::size_t{16}, std::size_t{32}, std::size_t{64}, std::size_t{256}})
      methods.push_back({std::string(vl.v[i].name) + " batch " + std::to_string(b), b, vl.v[i].fn, 2});
  // The other way to keep lanes busy, for comparison with lanes that take
  // up the next chunk as soon as theirs is done: sort a batch by mix count
  // and run it as groups of one chunk per lane, lanes idle until the group
  // is done.
  for (unsigned i = 1; i < vl.count; i++)
    for (std::size_t b : {std::size_t{32}, std::size_t{64}})
      methods.push_back({std::string(vl.v[i].name) + " groups of " + std::to_string(b), b, vl.v[i].fn, 4, vl.v[i].lanes});

  std::printf("%zu MB random bytes keyed %zu times per run, thread CPU time, median of %d runs\n", mb, loops, repeats);
  for (const cut& c : cuts) {
    const std::size_t n = c.lens.size();
    std::vector<const uint8_t*> ptrs(n);
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; i++) {
      ptrs[i] = data.data() + bytes;
      bytes += c.lens[i];
    }
    std::printf("\n%s: %zu chunks, mean %.0f bytes\n", c.name, n, double(bytes) / double(n));
    std::printf("  %-22s %10s %10s %8s %10s\n", "path", "Mkeys/s", "MB/s", "x scalar", "best MB/s");
    std::vector<chunk_key> keys(n), first;
    double scalar_mbs = 0;
    for (const method& m : methods) {
      if (m.kind != 1 && m.name.find(only) == std::string::npos) continue;
      std::vector<double> t;
      for (int r = 0; r < (m.kind == 0 ? std::min(repeats, 3) : repeats); r++) {
        double t0 = now();
        for (std::size_t loop = 0; loop < loops; loop++)
        if (m.kind == 0) {
          uint8_t block[64] = {};
          for (std::size_t i = 0; i < n; i++) {
            const uint8_t* p = ptrs[i];
            for (uint32_t j = 0; j < c.lens[i]; j++) fp_absorb(block, p[j]);
            keys[i] = fp_finish(block, c.lens[i]);
          }
        } else if (m.kind == 1) {
          for (std::size_t i = 0; i < n; i++) keys[i] = fp_chunk(ptrs[i], c.lens[i]);
        } else if (m.kind == 2) {
          for (std::size_t i = 0; i < n; i += m.batch)
            m.fn(ptrs.data() + i, c.lens.data() + i, std::min(m.batch, n - i), keys.data() + i);
        } else {
          // Mix counts fit in 11 bits: sort (count, index) pairs as one word.
          uint32_t order[256];
          const uint8_t* sp[256];
          uint32_t sl[256];
          chunk_key sk[256];
          for (std::size_t i = 0; i < n; i += m.batch) {
            std::size_t b = std::min(m.batch, n - i);
            for (std::size_t j = 0; j < b; j++)
              order[j] = (c.lens[i + j] ? (c.lens[i + j] - 1) / 63 : 0) << 16 | static_cast<uint32_t>(j);
            std::sort(order, order + b, [](uint32_t x, uint32_t y) { return x > y; });
            for (std::size_t j = 0; j < b; j++) {
              sp[j] = ptrs[i + (order[j] & 0xFFFF)];
              sl[j] = c.lens[i + (order[j] & 0xFFFF)];
            }
            for (std::size_t j = 0; j < b; j += m.lanes)
              m.fn(sp + j, sl + j, std::min<std::size_t>(m.lanes, b - j), sk + j);
            for (std::size_t j = 0; j < b; j++) keys[i + (order[j] & 0xFFFF)] = sk[j];
          }
        }
        t.push_back(now() - t0);
      }
      if (first.empty()) first = keys;
      else if (fold(keys) != fold(first) || keys != first) std::printf("  %s: KEYS DIFFER\n", m.name.c_str());
      std::sort(t.begin(), t.end());
      double s = t[t.size() / 2];
      double mbs = double(bytes * loops) / s / 1e6;
      if (m.kind == 1) scalar_mbs = mbs;
      std::printf("  %-22s %10.2f %10.0f %8.2f %10.0f\n", m.name.c_str(), double(n * loops) / s / 1e6, mbs,
                  scalar_mbs > 0 ? mbs / scalar_mbs : 0.0, double(bytes * loops) / t[0] / 1e6);
    }
  }
}
