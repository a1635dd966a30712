// SPDX-License-Identifier: MIT
// A save that is killed at any moment leaves the index file either exactly
// as it was or exactly as the save meant to write it.
//
// A child process saves a large workspace over an existing index file and is
// killed with SIGKILL after a delay; the delays are spread evenly from the
// moment the save starts to a little past the time a whole save takes, so
// the kills land in the sweep, the formatting, the writes, the flush, the
// rename and the directory flush alike.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/workspace.h"

namespace vorla {
namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Puts `bytes` at `path` the safe way, so that the test's own restores never
// show up as torn files.
void replaceFile(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".restore";
  {
    std::ofstream out(tmp.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  fs::rename(tmp, path);
  // Flushed now, so that the child's own flush does not pay for it and
  // every save takes about as long as the measured one.
  ::sync();
}

class CrashTest : public ::testing::Test {
 protected:
  CrashTest() {
    std::string tmpl = (fs::temp_directory_path() / "vorla-crash-XXXXXX");
    dir = ::mkdtemp(&tmpl[0]);
    index = dir + "/index.ini";
    fs::create_directories(dir + "/data");
  }
  ~CrashTest() override { fs::remove_all(dir); }

  // Fills `w` with `n` records whose texts carry `tag`.
  static void fill(SpaceMan* w, int n, const std::string& tag) {
    for (int i = 0; i < n; ++i) {
      std::shared_ptr<StructConfig> r = w->newStruct();
      r->setType("sample");
      r->addUInt64("serial", static_cast<uint64_t>(i));
      r->addStr("label", tag + " record " + std::to_string(i));
      if (i % 2 == 0) r->newChildStruct("detail")->addStr("note", tag);
    }
  }

  // Forks a child that saves `w` to the index file (another workspace's
  // file to `w`, so that the child takes its lock itself: a child never
  // writes with its parent's lock) and is killed `delay`
  // after it starts the save (never, for a negative delay). Returns how long
  // the child lived after the start; `killed` tells whether the kill came
  // before the child finished.
  Clock::duration saveAndKill(SpaceMan* w, Clock::duration delay,
                              bool* killed) {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      char go = 'g';
      if (::write(ready[1], &go, 1) != 1) ::_exit(3);
      try {
        w->save(index);
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    char go;
    const bool started = ::read(ready[0], &go, 1) == 1;
    const Clock::time_point start = Clock::now();
    ::close(ready[0]);
    EXPECT_TRUE(started);
    if (delay >= Clock::duration::zero()) {
      while (Clock::now() - start < delay) {
      }
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const Clock::duration lived = Clock::now() - start;
    if (WIFEXITED(status)) {
      EXPECT_EQ(0, WEXITSTATUS(status));
    }
    *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return lived;
  }

  std::string dir;
  std::string index;
};

TEST_F(CrashTest, KilledSaveLeavesFormerOrNewFile) {
  SpaceMan w;
  w.init(index, "data");
  fill(&w, 20000, "former");
  w.save();
  const std::string former = readFile(index);

  // The new content: every former record changed, as many again added.
  w.load(index);
  for (const auto& entry : w.getStructs()) {
    if (entry.first != 0 && entry.second->items.count("label")) {
      entry.second->addStr("label", "changed");
    }
  }
  fill(&w, 20000, "latter");
  w.save(dir + "/expected.ini");
  const std::string latter = readFile(dir + "/expected.ini");
  ASSERT_NE(former, latter);
  // The children save this image over the index file, which the test puts
  // back behind their backs.
  w.load(dir + "/expected.ini");

  // How long a whole save takes in a child, as the median of three.
  std::vector<Clock::duration> runs;
  bool killed = false;
  for (int i = 0; i < 3; ++i) {
    replaceFile(index, former);
    runs.push_back(saveAndKill(&w, Clock::duration(-1), &killed));
    ASSERT_EQ(latter, readFile(index));
  }
  std::sort(runs.begin(), runs.end());
  const Clock::duration whole = runs[1];

  // Delays from 0 to one and a half times a whole save, spread evenly by
  // the golden-ratio sequence; kills that come after the child has finished
  // do not count, and kill points are added until 240 kills have landed.
  const int wanted = 240;
  int tries = 0, kills = 0, sawFormer = 0, sawLatter = 0, leftovers = 0;
  for (; kills < wanted && tries < 4 * wanted; ++tries) {
    const double at = 1.5 * std::fmod(tries * 0.6180339887498949, 1.0);
    replaceFile(index, former);
    saveAndKill(&w, std::chrono::duration_cast<Clock::duration>(whole * at),
                &killed);
    const std::string now = readFile(index);
    ASSERT_TRUE(now == former || now == latter)
        << "kill point " << tries << " left " << now.size() << " bytes ("
        << former.size() << " before, " << latter.size() << " after)";
    if (killed) {
      ++kills;
      ++(now == former ? sawFormer : sawLatter);
    }
    // A killed save may leave its temporary file behind, nothing else.
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name == "index.ini" || name == "data" || name == "expected.ini")
        continue;
      EXPECT_EQ(0u, name.rfind(".vorla-", 0)) << name;
      fs::remove(e.path());
      ++leftovers;
    }
  }
  std::cout
      << kills << " kills of " << tries << " kill points over "
      << std::chrono::duration_cast<std::chrono::microseconds>(whole).count()
      << " us of save: " << sawFormer << " left the former file, " << sawLatter
      << " the new one; " << leftovers << " temporary files left" << std::endl;
  EXPECT_GE(kills, wanted);
  // The kill points must span the whole save: some before the rename, and
  // some after it or past the end of the save.
  EXPECT_GT(sawFormer, 0);
  EXPECT_GT(sawLatter + tries - kills, 0);
}

TEST_F(CrashTest, SaveIntoMissingDirectoryFails) {
  SpaceMan w;
  w.init(index, "data");
  fill(&w, 10, "kept");
  w.save();
  const std::string former = readFile(index);
  EXPECT_THROW_MSG(w.save(dir + "/missing/index.ini"), "cannot write file");
  EXPECT_FALSE(fs::exists(dir + "/missing"));
  EXPECT_EQ(former, readFile(index));
  // The workspace still saves where it belongs.
  w.save();
  EXPECT_EQ(former, readFile(index));

  SpaceMan fresh;
  EXPECT_THROW_MSG(fresh.init(dir + "/missing/index.ini", "data"),
                   "cannot write file");
  EXPECT_FALSE(fs::exists(dir + "/missing"));
}

TEST_F(CrashTest, SaveOverADirectoryFailsAndCleansUp) {
  SpaceMan w;
  w.init(index, "data");
  fs::create_directories(dir + "/taken/inner");
  EXPECT_THROW_MSG(w.save(dir + "/taken"), "cannot write file");
  EXPECT_TRUE(fs::is_directory(dir + "/taken/inner"));
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    EXPECT_NE(0u, e.path().filename().string().rfind(".vorla-", 0))
        << "temporary file left behind";
  }
}

}  // namespace
}  // namespace vorla
