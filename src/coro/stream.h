// The byte-stream record through which the coder body reads and writes.
#pragma once

#include <cstdint>

namespace longdup {

struct bstream {
  uint8_t* ptr;    // next byte to read or write
  uint8_t* begin;  // start of the attached buffer
  uint8_t* end;    // end (exclusive) of the data or of the free space
  uint32_t eof;    // the stream's own end flag, treated like the coroutine's
  uint16_t back;   // offset of this record from the start of the coroutine object
  uint16_t code;   // the yield code with which this stream suspends the body
};
static_assert(sizeof(bstream) == 32);

}  // namespace longdup
