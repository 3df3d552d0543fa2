// What the lane kernels of fp_batch share besides the MD5 tables: the order
// in which lanes take up the chunks of a batch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace longdup {

// The kernels work through a batch in windows of at most this many chunks.
inline constexpr std::size_t fp_window = 256;

// Fills ord[0..n), n <= fp_window, with the chunk numbers in the order in
// which lanes should take them up.
void fp_lane_order(const uint32_t* lens, std::size_t n, unsigned lanes, uint16_t* ord);

}  // namespace longdup
