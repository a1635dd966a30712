// Replays the fuzz target's seed corpus and every input it ever found
// (fuzz/regressions) in the ordinary build, so that a fixed finding stays
// fixed without running the fuzzer.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fuzz/round_trip.h"

#include <stdlib.h>

#ifndef VORLA_FUZZ_DIR
#error "VORLA_FUZZ_DIR must name the fuzz directory"
#endif

namespace vorla {
namespace {

namespace fs = std::filesystem;

int replay(const std::string& sub) {
  std::string tmpl = (fs::temp_directory_path() / "vorla-replay-XXXXXX");
  const std::string dir = ::mkdtemp(&tmpl[0]);
  int n = 0;
  for (const fs::directory_entry& e :
       fs::directory_iterator(std::string(VORLA_FUZZ_DIR) + "/" + sub)) {
    if (e.path().filename().string()[0] == '.') continue;
    std::ifstream in(e.path().c_str(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ("", checkIndexBytes(bytes.str(), dir)) << e.path();
    ++n;
  }
  fs::remove_all(dir);
  return n;
}

TEST(FuzzReplayTest, SeedCorpusRoundTrips) { EXPECT_GT(replay("corpus"), 0); }

TEST(FuzzReplayTest, FoundInputsStayFixed) { replay("regressions"); }

}  // namespace
}  // namespace vorla
