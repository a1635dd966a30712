// SPDX-License-Identifier: MIT
// What a save of a small workspace costs with the writer lock held, and
// what taking the lock costs (lockForWriting on an object that loaded the
// workspace and holds no lock). Run side by side with another build to
// see what a change to the save's checks costs; the medians of the
// per-call times over many repetitions are printed.
//
//   bench_save_small DIR [REPS]
//
// DIR is an empty folder; REPS (default 3000) saves and as many lock takes.

#include <sys/stat.h>  // mkdir

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "workspace/workspace.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s DIR [REPS]\n", argv[0]);
    return 1;
  }
  const std::string dir = argv[1];
  const std::string index = dir + "/small.ini";
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3000;
  try {
    ::mkdir((dir + "/data").c_str(), 0755);
    std::vector<double> saves, takes;
    vorla::bench::Stopwatch watch;
    {
      vorla::SpaceMan ws;
      ws.init(index, "data");
      for (int i = 0; i < 10; ++i) {
        std::shared_ptr<vorla::StructConfig> rec = ws.newStruct();
        rec->setType("photo");
        rec->addStr("title", "record " + std::to_string(i));
        rec->addUInt64("size", static_cast<uint64_t>(i) * 1000);
      }
      ws.save();
      for (int i = 0; i < reps; ++i) {
        watch.restart();
        ws.save();
        saves.push_back(watch.seconds());
      }
    }
    // Each object takes the lock from the kernel and gives it back when it
    // goes.
    for (int i = 0; i < reps; ++i) {
      vorla::SpaceMan fresh;
      fresh.load(index);
      watch.restart();
      fresh.lockForWriting();
      takes.push_back(watch.seconds());
    }
    std::printf("reps=%d save_small_us=%.1f lock_for_writing_us=%.1f\n", reps,
                median(saves) * 1e6, median(takes) * 1e6);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
