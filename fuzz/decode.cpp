// Arbitrary bytes as an encoded stream: the decoder must either restore
// something or report corruption, never crash, hang or read outside its
// ring; the fast decoder must agree with the literal one on the output and
// the failure; and what it restores must survive a round trip of its own.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace longdup;
  std::vector<uint8_t> stream(data, data + size);
  // Keep the window small (0 to 16 MiB, 0 included) so that a run stays
  // cheap; the decoder's handling of a window does not depend on its size.
  if (stream.size() >= 4) {
    uint32_t mib = (stream[2] | stream[3] << 8) % 17;
    stream[2] = static_cast<uint8_t>(mib);
    stream[3] = 0;
  }
  std::vector<uint8_t> plain;
  fuzz::outcome d = fuzz::run(true, stream.data(), stream.size(), plain);
  if (d.end != loop_done && d.end != loop_failed) std::abort();
  std::vector<uint8_t> slow;
  fuzz::outcome l = fuzz::run(true, stream.data(), stream.size(), slow, 0, 1, true);
  if (l.end != d.end || l.failure != d.failure || slow != plain) std::abort();
  if (d.end != loop_done) return 0;
  if (d.sum != plain.size()) std::abort();
  uint32_t avglen = stream[0] | stream[1] << 8;
  std::vector<uint8_t> again, back;
  fuzz::run(false, plain.data(), plain.size(), again, avglen, 1);
  fuzz::outcome r = fuzz::run(true, again.data(), again.size(), back);
  if (r.end != loop_done || back != plain) std::abort();
  return 0;
}
