// SPDX-License-Identifier: MIT
// Times Boost.PropertyTree's read_ini + write_ini of one index file, the
// second peer of the load/save benchmark. One run per process, so that the
// peak memory it reports belongs to this peer alone.
//
//   bench_load_save_ptree INPUT OUTPUT

#include <cstdio>
#include <exception>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "bench/bench_util.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 1;
  }
  try {
    vorla::bench::Stopwatch watch;
    boost::property_tree::ptree tree;
    boost::property_tree::read_ini(argv[1], tree);
    double load = watch.seconds();
    watch.restart();
    boost::property_tree::write_ini(argv[2], tree);
    double save = watch.seconds();
    watch.restart();
    if (!vorla::bench::sync_file(argv[2])) {
      std::fprintf(stderr, "cannot sync %s\n", argv[2]);
      return 1;
    }
    double sync = watch.seconds();
    vorla::bench::print_result("ptree", load, save, sync, tree.size());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
