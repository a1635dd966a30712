// SPDX-License-Identifier: MIT
// Loading a section whose item lines do not come in name order, as other
// writers of such files leave them: the same items ascending, descending
// and shuffled, each file loaded REPS times; prints the median load time of
// each order and its ratio to the ascending one.
//
//   bench_unordered_items ITEMS REPS DIR

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "workspace/workspace.h"

namespace {

std::string indexFile(const std::vector<int>& order) {
  std::string text =
      "[0]\n$current_counter_uint64 = 2\n$reldatadir_str = data\n"
      "$version_str = 2.1\nextrefcount_sys = 1000\nintrefcount_sys = 0\n"
      "structtype_sys = system_record\n\n[2]\n";
  for (int i : order) {
    text +=
        "item" + std::to_string(i) + "_uint64 = " + std::to_string(i) + "\n";
  }
  return text + "extrefcount_sys = 1\nintrefcount_sys = 0\n\n";
}

double medianLoad(const std::string& path, int reps) {
  std::vector<double> times;
  for (int rep = 0; rep < reps; ++rep) {
    vorla::SpaceMan ws;
    vorla::bench::Stopwatch clock;
    ws.load(path);
    times.push_back(clock.seconds());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ITEMS REPS DIR\n", argv[0]);
    return 2;
  }
  const int items = std::atoi(argv[1]);
  const int reps = std::atoi(argv[2]);
  const std::string dir = argv[3];
  std::vector<int> order(static_cast<size_t>(items));
  for (int i = 0; i < items; ++i) order[static_cast<size_t>(i)] = i;
  // Names sort as text: put them in that order first.
  std::sort(order.begin(), order.end(),
            [](int a, int b) { return std::to_string(a) < std::to_string(b); });
  struct Case {
    const char* name;
    std::vector<int> order;
  };
  std::vector<Case> cases;
  cases.push_back({"ascending", order});
  cases.push_back(
      {"descending", std::vector<int>(order.rbegin(), order.rend())});
  std::vector<int> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(42));
  cases.push_back({"shuffled", shuffled});

  double ascending = 0;
  std::printf("%d items in one section, median load of %d runs\n", items, reps);
  for (const Case& c : cases) {
    const std::string path = dir + "/unordered_" + c.name + ".ini";
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc)
        << indexFile(c.order);
    const double t = medianLoad(path, reps);
    if (ascending == 0) ascending = t;
    std::printf("%-11s %8.3f s  %5.2f x ascending\n", c.name, t, t / ascending);
    std::remove(path.c_str());
  }
  return 0;
}
