// SPDX-License-Identifier: MIT
// Times the vorla program on a large workspace: `check`, `show --json`,
// `show` and `stats`, each run as a user runs it (a fresh process, output to
// /dev/null), with its wall time and peak memory.
//
//   bench_tool [RECORDS [FILES [RUNS [DIR]]]]
//
// Defaults: 1,000,000 records, 100,000 data files, 3 runs of each command,
// DIR a directory under /tmp that is kept between runs (the workspace is
// generated again only when its size differs). Half the records are
// top-level, each with one child; every record holds a number and a text,
// and FILES of them a file item with a 64-byte data file. Goal: check under
// 1 s per 100,000 records.

#include <fcntl.h>
#include <sys/resource.h>  // wait4, rusage
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Timing {
  double seconds;
  long peakKb;
  int status;
};

// Runs the tool with `args`, stdout and stderr to /dev/null.
Timing runTool(const std::vector<std::string>& args) {
  std::vector<std::string> copies(args);
  std::string program = VORLA_TOOL_PATH;
  std::vector<char*> argv{&program[0]};
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  Timing t;
  t.seconds = std::chrono::duration<double>(end - start).count();
  t.peakKb = usage.ru_maxrss;
  t.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return t;
}

// Writes the index file directly, in the form the library saves, and the
// data files; the stamp file records the size so that a later run reuses
// the workspace.
void generate(const std::string& dir, long records, long files) {
  const std::string stamp = dir + "/size";
  const std::string want =
      std::to_string(records) + " " + std::to_string(files) + "\n";
  if (FILE* f = std::fopen(stamp.c_str(), "r")) {
    char have[64] = {0};
    const bool same =
        std::fgets(have, sizeof have, f) != nullptr && want == have;
    std::fclose(f);
    if (same) return;
  }
  std::fprintf(stderr, "generating %ld records, %ld data files in %s\n",
               records, files, dir.c_str());
  if (std::system(
          ("rm -rf '" + dir + "' && mkdir -p '" + dir + "/data'").c_str()) !=
      0) {
    std::fprintf(stderr, "cannot create %s\n", dir.c_str());
    std::exit(1);
  }
  FILE* out = std::fopen((dir + "/ws.ini").c_str(), "w");
  if (out == nullptr) std::exit(1);
  const long lastId = records + 1;
  std::fprintf(out,
               "[0]\n$current_counter_uint64 = %ld\n$reldatadir_str = data\n"
               "$version_str = 2.1\nextrefcount_sys = 1000\n"
               "intrefcount_sys = 0\nstructtype_sys = system_record\n\n",
               lastId);
  const long every = files > 0 ? std::max(1L, records / files) : 0;
  long made = 0;
  const std::string blob(64, 'v');
  for (long i = 0; i < records; ++i) {
    const long id = i + 2;
    const bool top = i % 2 == 0;
    std::fprintf(out, "[%ld]\ncount_uint64 = %ld\nname_str = record %ld\n", id,
                 i, i);
    if (every > 0 && i % every == 0 && made < files) {
      const std::string name = "blob_" + std::to_string(id) + "__" +
                               std::to_string(1000003L * i % 2147483647) + "_";
      std::fprintf(out, "blob_file = %s\n", name.c_str());
      FILE* data = std::fopen((dir + "/data/" + name).c_str(), "w");
      if (data == nullptr) std::exit(1);
      std::fwrite(blob.data(), 1, blob.size(), data);
      std::fclose(data);
      ++made;
    }
    if (top && id + 1 <= lastId)
      std::fprintf(out, "part_child = %ld\n", id + 1);
    std::fprintf(out, "extrefcount_sys = %d\nintrefcount_sys = %d\n",
                 top ? 1 : 0, top ? 0 : 1);
    std::fprintf(out, "structtype_sys = %s\n\n", top ? "item" : "part");
  }
  if (std::fclose(out) != 0) std::exit(1);
  if (FILE* f = std::fopen(stamp.c_str(), "w")) {
    std::fputs(want.c_str(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long records = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long files = argc > 2 ? std::atol(argv[2]) : 100000;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  const std::string dir = argc > 4 ? argv[4] : "/tmp/vorla-bench-tool";
  if (records < 1 || files < 0 || runs < 1) {
    std::fprintf(stderr, "usage: bench_tool [RECORDS [FILES [RUNS [DIR]]]]\n");
    return 2;
  }
  generate(dir, records, files);
  const std::string index = dir + "/ws.ini";

  struct Command {
    const char* label;
    std::vector<std::string> args;
  };
  const std::vector<Command> commands = {
      {"check", {"check", index}},
      {"show --json", {"show", "--json", index}},
      {"show", {"show", index}},
      {"stats", {"stats", index}},
  };
  std::printf("vorla on %ld records, %ld data files; %d runs each\n", records,
              files, runs);
  std::printf("%-12s %10s %10s %14s %10s\n", "command", "median s", "best s",
              "s per 100k", "peak MB");
  int failures = 0;
  for (const Command& c : commands) {
    std::vector<double> times;
    long peak = 0;
    for (int r = 0; r < runs; ++r) {
      const Timing t = runTool(c.args);
      if (t.status != 0) {
        std::fprintf(stderr, "%s exited with %d\n", c.label, t.status);
        ++failures;
      }
      times.push_back(t.seconds);
      peak = std::max(peak, t.peakKb);
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("%-12s %10.2f %10.2f %14.3f %10.0f\n", c.label, median,
                times[0], median * 100000.0 / records, peak / 1024.0);
  }
  return failures == 0 ? 0 : 1;
}
