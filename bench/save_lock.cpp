// SPDX-License-Identifier: MIT
// What the writer lock costs a save. A fresh workspace object that loads an
// index file and saves it takes the lock inside that save: it finds the
// index file's directory, takes the lock slot and reads the index file's
// identity. The same object that took the lock before the save
// (lockForWriting) saves with no lock work at all, as a save did before the
// lock existed. The two kinds of run alternate on copies of one file, each
// with a fresh object; the medians and their difference are printed, with
// the time of taking and giving back the lock alone.
//
//   bench_save_lock INPUT DIR [REPS]
//
// INPUT is loaded and saved once into DIR/index.ini, which the runs then
// load and save over; REPS (default 9) runs of each kind.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One save by a fresh object that loaded `index`; with `held`, the object
// takes the lock before the clock starts.
double timedSave(const std::string& index, bool held) {
  vorla::SpaceMan space;
  space.load(index);
  if (held) space.lockForWriting();
  vorla::bench::Stopwatch watch;
  space.save();
  return watch.seconds();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s INPUT DIR [REPS]\n", argv[0]);
    return 1;
  }
  const std::string index = std::string(argv[2]) + "/index.ini";
  const int reps = argc > 3 ? std::atoi(argv[3]) : 9;
  try {
    std::size_t records = 0;
    {
      vorla::SpaceMan space;
      space.load(argv[1]);
      space.save(index);
      records = space.getStructs().size();
    }
    std::vector<double> taking, held, lock;
    for (int rep = 0; rep < reps; ++rep) {
      // Alternating, and in both orders, so that the machine's load and the
      // caches treat both kinds alike.
      const bool heldFirst = rep % 2 == 1;
      if (heldFirst) held.push_back(timedSave(index, true));
      taking.push_back(timedSave(index, false));
      if (!heldFirst) held.push_back(timedSave(index, true));
      const int takes = 200;
      vorla::WriterLock writer;
      vorla::bench::Stopwatch watch;
      for (int i = 0; i < takes; ++i) {
        writer.hold(index);
        writer.release();
      }
      lock.push_back(watch.seconds() / takes);
    }
    const double t = median(taking), h = median(held), l = median(lock);
    std::printf(
        "records=%zu reps=%d save_taking_lock_s=%.5f save_lock_held_s=%.5f "
        "difference_s=%.5f lock_take_us=%.1f lock_share=%.4f\n",
        records, reps, t, h, t - h, l * 1e6, l / h);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
