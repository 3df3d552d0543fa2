// The command line: arguments, files, the printed lines and exit statuses.
#pragma once

#include <cstdint>

namespace longdup {

// Exit statuses. 0 to 3 are what scripts have always seen; the others name
// failures that earlier versions did not report.
enum exit_status : int {
  exit_ok = 0,
  exit_usage = 1,        // fewer than three arguments
  exit_input = 2,        // input cannot be opened
  exit_output = 3,       // output cannot be created, or is the input
  exit_params = 4,       // a run parameter outside its limits
  exit_corrupt = 5,      // the encoded stream is damaged
  exit_io = 6,           // a read or write failed
  exit_memory = 7,       // the table or the ring cannot be allocated
};

// A numeric argument: one leading '-' is skipped, then the rest is read like
// atoi (white space, one sign, digits up to the first non-digit; 0 if none).
int32_t parse_number(const char* arg);

int cli_main(int argc, char** argv);

}  // namespace longdup
