// SPDX-License-Identifier: MIT
// Replays the fuzz targets' seed corpora and every input they ever found
// (fuzz/regressions, fuzz/regressions-anyone) in the ordinary build, so that
// a fixed finding stays fixed without running the fuzzer.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/anyone.h"
#include "fuzz/round_trip.h"

#include <stdlib.h>

#ifndef VORLA_FUZZ_DIR
#error "VORLA_FUZZ_DIR must name the fuzz directory"
#endif

namespace vorla {
namespace {

namespace fs = std::filesystem;

std::string readInput(const fs::path& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The inputs of one folder of fuzz/, dot files left out.
std::vector<fs::path> inputs(const std::string& sub) {
  std::vector<fs::path> found;
  for (const fs::directory_entry& e :
       fs::directory_iterator(std::string(VORLA_FUZZ_DIR) + "/" + sub)) {
    if (e.path().filename().string()[0] != '.') found.push_back(e.path());
  }
  return found;
}

int replay(const std::string& sub) {
  std::string tmpl = (fs::temp_directory_path() / "vorla-replay-XXXXXX");
  const std::string dir = ::mkdtemp(&tmpl[0]);
  int n = 0;
  for (const fs::path& path : inputs(sub)) {
    EXPECT_EQ("", checkIndexBytes(readInput(path), dir)) << path;
    ++n;
  }
  fs::remove_all(dir);
  return n;
}

// Each input in a scratch folder of its own, so that one that breaks a
// decoy does not blame the next.
int replayAnyone(const std::string& sub) {
  int n = 0;
  for (const fs::path& path : inputs(sub)) {
    AnyoneScratch scratch(fs::temp_directory_path());
    EXPECT_EQ("", scratch.check(readInput(path))) << path;
    ++n;
  }
  return n;
}

TEST(FuzzReplayTest, SeedCorpusRoundTrips) { EXPECT_GT(replay("corpus"), 0); }

// Every input a fuzzer ever found is replayed, and there are some: a folder
// that lost its files would otherwise pass for one whose findings are fixed.
TEST(FuzzReplayTest, FoundInputsStayFixed) {
  EXPECT_GT(replay("regressions"), 0);
  EXPECT_GT(replayAnyone("regressions-anyone"), 0);
}

TEST(FuzzReplayTest, WorkspacesFromAnyoneKeepTheirProperties) {
  EXPECT_GT(replayAnyone("corpus-anyone"), 0);
}

}  // namespace
}  // namespace vorla
