// SPDX-License-Identifier: MIT
// Small helpers shared by the benchmark programs: a wall clock, the peak
// resident memory of the process and the one result line that bench/run.sh
// reads.

#ifndef VORLA_BENCH_BENCH_UTIL_H_
#define VORLA_BENCH_BENCH_UTIL_H_

#include <fcntl.h>         // open
#include <sys/resource.h>  // getrusage
#include <unistd.h>        // fsync, close

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace vorla {
namespace bench {

// Seconds elapsed since construction or the last restart().
class Stopwatch {
 public:
  Stopwatch() : start(std::chrono::steady_clock::now()) {}

  void restart() { start = std::chrono::steady_clock::now(); }

  double seconds() const {
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
    return d.count();
  }

 private:
  std::chrono::steady_clock::time_point start;
};

// The largest resident set of this process so far, in KiB.
inline long peak_rss_kib() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return usage.ru_maxrss;
}

// Flushes a written file to disk. The peers' save calls do not, while
// vorla's save does, so the peers pay it separately and the table shows
// both sums. False when the file cannot be opened or flushed.
inline bool sync_file(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// One line per run, "key=value" fields separated by blanks; `sync` is what
// sync_file took after the save (0 where the save flushes by itself).
inline void print_result(const char* peer, double load, double save,
                         double sync, std::size_t sections) {
  std::printf(
      "peer=%s load_s=%.4f save_s=%.4f sync_s=%.4f peak_rss_kib=%ld "
      "sections=%zu\n",
      peer, load, save, sync, peak_rss_kib(), sections);
}

}  // namespace bench
}  // namespace vorla

#endif  // VORLA_BENCH_BENCH_UTIL_H_
