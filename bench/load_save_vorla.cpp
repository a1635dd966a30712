// SPDX-License-Identifier: MIT
// Times vorla's SpaceMan::load + save of one index file, the subject of the
// load/save benchmark. One run per process, so that the peak memory it
// reports belongs to vorla alone.
//
//   bench_load_save_vorla INPUT OUTPUT
//
// save writes to OUTPUT through a temporary file that it flushes to disk
// before renaming it, so its time includes what the peers pay separately
// as sync_s.

#include <cstdio>
#include <stdexcept>

#include "bench/bench_util.h"
#include "workspace/workspace.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 1;
  }
  try {
    vorla::bench::Stopwatch watch;
    vorla::SpaceMan space;
    space.load(argv[1]);
    double load = watch.seconds();
    watch.restart();
    space.save(argv[2]);
    double save = watch.seconds();
    vorla::bench::print_result("vorla", load, save, 0.0,
                               space.getStructs().size());
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
