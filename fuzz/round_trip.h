// The property that the index file reader is fuzzed for: any bytes either
// load or fail with one of the reader's messages, and a file that loads
// survives save -> load -> save unchanged.

#ifndef VORLA_FUZZ_ROUND_TRIP_H_
#define VORLA_FUZZ_ROUND_TRIP_H_

#include <string>

namespace vorla {

// Loads `bytes` as an index file placed in `dir` and, when that succeeds,
// saves, loads and saves again. Returns the empty string when everything
// held, otherwise what went wrong.
std::string checkIndexBytes(const std::string& bytes, const std::string& dir);

}  // namespace vorla

#endif  // VORLA_FUZZ_ROUND_TRIP_H_
