// SPDX-License-Identifier: MIT
// The property that the index file reader is fuzzed for: any bytes either
// load or fail with one of the reader's messages, and a file that loads
// survives save -> load -> save unchanged. Its pieces serve the other fuzz
// targets too.

#ifndef VORLA_FUZZ_ROUND_TRIP_H_
#define VORLA_FUZZ_ROUND_TRIP_H_

#include <string>

namespace vorla {

class SpaceMan;

// Loads `bytes` as an index file placed in `dir` and, when that succeeds,
// saves, loads and saves again. Returns the empty string when everything
// held, otherwise what went wrong.
std::string checkIndexBytes(const std::string& bytes, const std::string& dir);

// Whether `what` is one of the messages by which the reader refuses a file.
bool isLoadMessage(const std::string& what);

// The records, their items, counts and owners, the counter and the data
// directory name, as text: equal images mean equal content.
std::string workspaceImage(const SpaceMan& w);

// Saves `w` to `path` and loads that file into a fresh workspace. Returns
// the empty string when both worked and the fresh workspace has `w`'s
// image, otherwise what went wrong.
std::string checkSaveAndReload(SpaceMan& w, const std::string& path);

}  // namespace vorla

#endif  // VORLA_FUZZ_ROUND_TRIP_H_
