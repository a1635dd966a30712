// SPDX-License-Identifier: MIT
// Shows how the sweep of temporary records scales: builds a workspace of N
// ordinary and T temporary records, times save() (which sweeps first) and,
// on a second identical workspace, cleanTemp() alone, then doubles N and T.
// A sweep linear in the number of records takes about twice as long at each
// doubling; one that restarts from the lowest id after every release takes
// about four times as long.
//
//   bench_clean_temp [RECORDS TEMPS LEVELS REPS DIR]
//
// Defaults: 25000 2500 4 3 . — that is (25000, 2500) up to (200000, 20000),
// each the median of 3 runs, in a scratch directory made under DIR.
//
// Temporary records are spread evenly among the ordinary ones. Each has a
// number, a text and a data file on disk; every second one has a dependent
// child with a data file of its own; one in fifty is linked from an ordinary
// record, so the sweep keeps it as an ordinary record. After every timed
// call the program checks the outcome (records left, data files left, no
// temporary mark left) and fails if it is wrong, so a faster but wrong
// sweep does not pass unnoticed.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "workspace/workspace.h"

#include <stdlib.h>  // mkdtemp

namespace {

namespace fs = std::filesystem;

struct Expected {
  std::size_t records = 0;
  std::size_t files = 0;
};

void write_file(const std::string& path) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out << "payload\n";
  if (!out) throw std::runtime_error("cannot write data file");
}

void add_ordinary(vorla::SpaceMan& space, unsigned n,
                  std::shared_ptr<vorla::StructConfig>* last) {
  std::shared_ptr<vorla::StructConfig> rec = space.newStruct();
  rec->setType("image");
  rec->addUInt64("count", n);
  rec->addStr("label", "Blue door near the old mill");
  *last = rec;
}

// Fills a freshly initialised workspace and returns what a correct sweep
// leaves behind. Ordinary records hold no data files, so every file left in
// the data directory belongs to a temporary record that was linked.
Expected populate(vorla::SpaceMan& space, std::size_t records,
                  std::size_t temps) {
  Expected expected;
  expected.records = 1 + records;
  std::size_t per_temp = temps == 0 ? records : records / temps;
  std::shared_ptr<vorla::StructConfig> last;
  std::size_t made = 0;
  for (std::size_t t = 0; t < temps; ++t) {
    for (std::size_t k = 0; k < per_temp; ++k)
      add_ordinary(space, static_cast<unsigned>(made++), &last);
    std::shared_ptr<vorla::StructConfig> temp = space.newTempStruct();
    temp->setType("preview");
    temp->addUInt64("count", t);
    temp->addStr("label", "Scratch copy of the evening scan");
    write_file(temp->newFile("payload"));
    bool with_child = t % 2 == 0;
    if (with_child) {
      std::shared_ptr<vorla::StructConfig> child =
          temp->newChildStruct("thumb");
      child->setType("thumbnail");
      write_file(child->newFile("payload"));
    }
    if (t % 50 == 25 && last) {
      last->addIntChild("keep", temp);
      expected.records += with_child ? 2 : 1;
      expected.files += with_child ? 2 : 1;
    }
  }
  while (made < records)
    add_ordinary(space, static_cast<unsigned>(made++), &last);
  return expected;
}

void check(const vorla::SpaceMan& space, const Expected& expected,
           const std::string& datadir) {
  const vorla::SpaceMan::Registry& registry = space.getStructs();
  std::size_t files = static_cast<std::size_t>(
      std::distance(fs::directory_iterator(datadir), fs::directory_iterator()));
  bool marked =
      std::any_of(registry.begin(), registry.end(),
                  [](const vorla::SpaceMan::Registry::value_type& entry) {
                    return entry.second->temporary;
                  });
  if (registry.size() != expected.records || files != expected.files ||
      marked) {
    std::fprintf(stderr,
                 "wrong outcome: %zu records (want %zu), %zu files (want "
                 "%zu), temporary mark left: %s\n",
                 registry.size(), expected.records, files, expected.files,
                 marked ? "yes" : "no");
    throw std::runtime_error("wrong outcome");
  }
}

// One timed run on a fresh workspace under `dir`: save() when `sweep_only`
// is false, cleanTemp() alone when it is true.
double run_once(const std::string& dir, std::size_t records, std::size_t temps,
                bool sweep_only) {
  std::string datadir = dir + "/data";
  fs::remove_all(datadir);
  fs::create_directory(datadir);
  std::string index = dir + "/index.ini";
  double seconds = 0;
  {
    vorla::SpaceMan space;
    space.init(index, "data");
    Expected expected = populate(space, records, temps);
    vorla::bench::Stopwatch watch;
    if (sweep_only) {
      space.cleanTemp();
    } else {
      space.save();
    }
    seconds = watch.seconds();
    check(space, expected, datadir);
  }
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::size_t parse_count(const char* text) {
  char* end = nullptr;
  unsigned long long n = std::strtoull(text, &end, 10);
  if (*end != '\0' || end == text) {
    std::fprintf(stderr, "bad number: %s\n", text);
    std::exit(1);
  }
  return static_cast<std::size_t>(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 6) {
    std::fprintf(stderr, "usage: %s [RECORDS TEMPS LEVELS REPS DIR]\n",
                 argv[0]);
    return 1;
  }
  std::size_t records = argc > 1 ? parse_count(argv[1]) : 25000;
  std::size_t temps = argc > 2 ? parse_count(argv[2]) : 2500;
  std::size_t levels = argc > 3 ? parse_count(argv[3]) : 4;
  std::size_t reps = argc > 4 ? parse_count(argv[4]) : 3;
  std::string base = argc > 5 ? argv[5] : ".";
  if (temps > records || levels == 0 || reps == 0) {
    std::fprintf(stderr, "need TEMPS <= RECORDS, LEVELS and REPS >= 1\n");
    return 1;
  }

  std::string pattern = base + "/clean_temp.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a scratch directory in %s\n",
                 base.c_str());
    return 1;
  }
  std::string dir(buf.data());

  int status = 0;
  try {
    std::printf("%10s %8s %10s %8s %14s %8s\n", "records", "temps", "save_s",
                "ratio", "clean_temp_s", "ratio");
    double prev_save = 0, prev_sweep = 0;
    for (std::size_t level = 0; level < levels; ++level) {
      std::vector<double> saves, sweeps;
      for (std::size_t r = 0; r < reps; ++r) {
        saves.push_back(run_once(dir, records, temps, false));
        sweeps.push_back(run_once(dir, records, temps, true));
      }
      double save = median(saves), sweep = median(sweeps);
      if (level == 0) {
        std::printf("%10zu %8zu %10.4f %8s %14.4f %8s\n", records, temps, save,
                    "-", sweep, "-");
      } else {
        std::printf("%10zu %8zu %10.4f %8.2f %14.4f %8.2f\n", records, temps,
                    save, save / prev_save, sweep, sweep / prev_sweep);
      }
      std::fflush(stdout);
      prev_save = save;
      prev_sweep = sweep;
      records *= 2;
      temps *= 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return status;
}
