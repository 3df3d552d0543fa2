// Encode arbitrary bytes with small parameters, decode, and require the
// same bytes and the same counts back, and the literal encoder's stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace longdup;
  if (size < 1) return 0;
  // The first byte picks avglen, mostly small so that chunks end often.
  static const uint32_t avglens[] = {1, 2, 3, 7, 16, 100, 1000, 65535};
  uint32_t avglen = avglens[data[0] & 7];
  data++;
  size--;
  std::vector<uint8_t> enc, dec;
  fuzz::outcome e = fuzz::run(false, data, size, enc, avglen, 1);
  fuzz::outcome d = fuzz::run(true, enc.data(), enc.size(), dec);
  if (e.end != loop_done || d.end != loop_done) std::abort();
  // The fast encoder writes the literal encoder's stream byte for byte.
  std::vector<uint8_t> slow;
  fuzz::run(false, data, size, slow, avglen, 1, true);
  if (slow != enc) std::abort();
  if (dec.size() != size || (size && !std::equal(dec.begin(), dec.end(), data))) std::abort();
  if (e.sum != size || d.sum != size || e.x != d.x) std::abort();
  return 0;
}
