// A stream being coded: the coder, its block buffers and the host state,
// kept together so that none of them moves while the coroutine is
// suspended (its saved stack holds their addresses).
#pragma once

#include "coder/coder.h"
#include "driver/resume_loop.h"
#include "longdup/longdup.h"

namespace longdup {

struct job {
  coder c;
  uint8_t in_buf[block_size];
  uint8_t out_buf[block_size];
  host h;
  result r;
  bool started;
  bool finished;

};

// The parameter checks, in one place for the library and the command line.
// Fills r.what and r.problem and returns false when a value is unusable.
bool check_params(const params& p, result& r);

}  // namespace longdup
