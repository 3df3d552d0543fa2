// MB/s of cutting a whole buffer into chunks with the candidate finders, every
// variant in the same run, repetitions interleaved, medians reported. The
// loop is the chunker's: from each boundary, search from 63 bytes on and at
// most to the 65535-byte cap.
//
//   g++ -O2 -std=c++20 -I src bench/kernels/cand_bench.cpp build/cand/liblongdup.a -o /tmp/cand_bench
//   /tmp/cand_bench [MB=256] [repeats=5]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "chunking/candidates.h"

using namespace longdup;

namespace {

struct cut_result {
  std::size_t chunks;
  std::size_t check;  // sum of boundary positions, to compare the variants
};

cut_result cut_all(candidate_fn fn, const uint8_t* p, std::size_t n, uint32_t threshold) {
  cut_result r = {0, 0};
  std::size_t s = 0;
  while (s + 63 < n) {
    std::size_t k = fn(p, s + 63, std::min(n, s + 65534), threshold);
    if (k == n) break;
    r.chunks++;
    r.check += k;
    s = k + 1;
  }
  return r;
}

// Thread CPU time: the machine is shared, and time spent descheduled is not
// the kernel's.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct workload {
  const char* name;
  const std::vector<uint8_t>* data;
  uint32_t avglen;
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::size_t n = mb << 20;

  std::vector<uint8_t> random(n);
  std::mt19937_64 rng(1);
  for (std::size_t i = 0; i < n; i += 8) {
    uint64_t x = rng();
    for (std::size_t j = 0; j < 8 && i + j < n; j++) random[i + j] = static_cast<uint8_t>(x >> 8 * j);
  }
  // Text-like bytes: a short dictionary of words in random order.
  std::vector<uint8_t> text(n);
  {
    static const char* words[] = {"the ", "of ", "and ", "chunk ", "window ", "hash ", "index ", "return ",
                                  "int ", "for (", "i++) ", "{\n", "}\n", "  ", "0x", "boundary "};
    std::size_t i = 0;
    while (i < n)
      for (const char* w = words[rng() % 16]; *w && i < n; w++) text[i++] = static_cast<uint8_t>(*w);
  }
  std::vector<uint8_t> zeros(n, 0);

  const workload loads[] = {
      {"random, avglen 100", &random, 100}, {"random, avglen 1", &random, 1},
      {"random, avglen 7", &random, 7},     {"random, avglen 4096", &random, 4096},
      {"text, avglen 100", &text, 100},     {"zeros (cap only), avglen 100", &zeros, 100},
  };
  const std::vector<candidate_variant> variants = candidate_variants();

  std::printf("%zu MB per run, median of %d runs, MB/s of input cut per second of thread CPU time\n\n", mb, repeats);
  std::printf("%-30s %9s", "workload", "chunks");
  for (const auto& v : variants) std::printf(" %12s", v.name);
  std::printf("\n");
  for (const workload& w : loads) {
    const uint32_t thr = 0xFFFFFFFFu / w.avglen;
    std::vector<std::vector<double>> times(variants.size());
    cut_result first = {0, 0};
    for (int r = 0; r < repeats; r++) {
      for (std::size_t i = 0; i < variants.size(); i++) {
        double t0 = cpu_seconds();
        cut_result c = cut_all(variants[i].fn, w.data->data(), n, thr);
        times[i].push_back(cpu_seconds() - t0);
        if (r == 0 && i == 0) first = c;
        if (c.chunks != first.chunks || c.check != first.check) {
          std::printf("%s: %s cuts differently\n", w.name, variants[i].name);
          return 1;
        }
      }
    }
    std::printf("%-30s %9zu", w.name, first.chunks);
    for (auto& t : times) {
      std::sort(t.begin(), t.end());
      std::printf(" %12.0f", static_cast<double>(n) / 1e6 / t[t.size() / 2]);
    }
    std::printf("\n");
  }
  return 0;
}
