// SPDX-License-Identifier: MIT
// Times SimpleIni's LoadFile + SaveFile of one index file, the first peer of
// the load/save benchmark. One run per process, so that the peak memory it
// reports belongs to this peer alone.
//
//   bench_load_save_simpleini INPUT OUTPUT [--case]
//
// The default is CSimpleIniA, the class most users pick (keys compared
// without regard to case); --case uses CSimpleIniCaseA, whose byte-wise
// comparison matches vorla's item names. Multi-key and multi-line are off,
// so a key is unique within its section, as in a workspace.

#include <cstdio>
#include <cstring>

#define SI_NO_CONVERSION  // Debian's package lacks the conversion header
#include "bench/bench_util.h"

#include <SimpleIni.h>

namespace {

template <typename Ini>
int run(const char* peer, const char* input, const char* output) {
  vorla::bench::Stopwatch watch;
  Ini ini(false, false, false);
  if (ini.LoadFile(input) < 0) {
    std::fprintf(stderr, "cannot load %s\n", input);
    return 1;
  }
  double load = watch.seconds();
  watch.restart();
  if (ini.SaveFile(output, false) < 0) {
    std::fprintf(stderr, "cannot save %s\n", output);
    return 1;
  }
  double save = watch.seconds();
  watch.restart();
  if (!vorla::bench::sync_file(output)) {
    std::fprintf(stderr, "cannot sync %s\n", output);
    return 1;
  }
  double sync = watch.seconds();
  typename Ini::TNamesDepend sections;
  ini.GetAllSections(sections);
  vorla::bench::print_result(peer, load, save, sync, sections.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool case_sensitive = argc == 4 && std::strcmp(argv[3], "--case") == 0;
  if (argc != 3 && !case_sensitive) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT [--case]\n", argv[0]);
    return 1;
  }
  if (case_sensitive)
    return run<CSimpleIniCaseA>("simpleini-case", argv[1], argv[2]);
  return run<CSimpleIniA>("simpleini", argv[1], argv[2]);
}
