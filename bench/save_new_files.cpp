// SPDX-License-Identifier: MIT
// What a save costs when it adds data files. Each run starts from a copy of
// one index file, loads it, gives N new records a data file of SIZE bytes
// each, written and closed by the program as the README says (no fsync of
// its own), and times save(). The files are removed after each run so that
// the data directory stays as it was. Built against another tree's library
// (bench/run.sh save-new-files does so for BEFORE), it measures that code.
//
//   bench_save_new_files INPUT DIR N [REPS] [SIZE]
//
// INPUT is loaded and saved once into DIR/base.ini; REPS (default 5) runs,
// SIZE (default 4096). Prints the median save time.

#include <sys/stat.h>  // mkdir
#include <unistd.h>    // unlink

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "workspace/workspace.h"

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double timedSave(const std::string& base, const std::string& index, int n,
                 std::size_t size) {
  vorla::SpaceMan space;
  space.load(base);
  space.save(index);
  space.load(index);
  space.lockForWriting();
  const std::string bytes(size, 'd');
  std::vector<std::string> files;
  for (int i = 0; i < n; ++i) {
    files.push_back(space.newStruct()->newFile("pixels"));
    std::ofstream out(files.back().c_str(), std::ios::binary);
    out << bytes;
  }
  vorla::bench::Stopwatch watch;
  space.save();
  const double s = watch.seconds();
  for (const std::string& f : files) ::unlink(f.c_str());
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr, "usage: %s INPUT DIR N [REPS] [SIZE]\n", argv[0]);
    return 1;
  }
  const std::string dir = argv[2];
  const int n = std::atoi(argv[3]);
  const int reps = argc > 4 ? std::atoi(argv[4]) : 5;
  const std::size_t size = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 4096;
  try {
    ::mkdir((dir + "/data").c_str(), 0777);
    std::size_t records = 0;
    {
      vorla::SpaceMan space;
      space.load(argv[1]);
      space.save(dir + "/base.ini");
      records = space.getStructs().size();
    }
    std::vector<double> times;
    for (int rep = 0; rep < reps; ++rep)
      times.push_back(
          timedSave(dir + "/base.ini", dir + "/index.ini", n, size));
    std::printf("records=%zu new_files=%d size=%zu reps=%d save_s=%.5f\n",
                records, n, size, reps, median(times));
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
