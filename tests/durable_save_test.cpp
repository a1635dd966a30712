// SPDX-License-Identifier: MIT
// Deletions wait for the save: a data file that the index file on disk
// names outlives every release, erasure and sweep until a save of that
// index replaces it, and a workspace dropped, reloaded, re-inited or killed
// before that leaves the saved workspace whole.

#include <signal.h>
#include <sys/stat.h>  // mkfifo
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"

namespace {

using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::read_file;
using vorla_test::write_file;

// A saved tree (2 holds a file and child 4 with a file), a record 3 with a
// file, and the paths of the three files.
std::vector<std::string> savedTree(SpaceMan& ws, const std::string& index) {
  ws.init(index, "data");
  std::shared_ptr<StructConfig> top = ws.newStruct();
  std::shared_ptr<StructConfig> other = ws.newStruct();
  std::vector<std::string> files = {top->newFile("f"),
                                    top->newChildStruct("c")->newFile("g"),
                                    other->newFile("h")};
  for (const std::string& f : files) write_file(f, "bytes of " + f);
  ws.save();
  return files;
}

struct Deletion {
  const char* label;
  std::function<void(SpaceMan&)> run;
  std::vector<int> gone;  // which of the saved files the save deletes
};

TEST(DurableSaveTest, DeletionsOfSavedFilesWaitForTheSave) {
  const std::vector<Deletion> cases = {
      {"release with cascade", [](SpaceMan& w) { w.unlinkStruct(2); }, {0, 1}},
      {"erase file", [](SpaceMan& w) { w.getStruct(3)->eraseFile("h"); }, {2}},
      {"erase data", [](SpaceMan& w) { w.getStruct(2)->eraseData(); }, {0, 1}},
      {"temporary sweep",
       [](SpaceMan& w) {
         w.newTempStruct()->addIntChild("held", w.getStruct(3));
         w.unlinkStruct(3);
         w.cleanTemp();
       },
       {2}},
  };
  // How the change ends: destroyed, reloaded, re-inited, saved elsewhere
  // (all delete nothing), then saved.
  const std::vector<std::function<void(SpaceMan&, const std::string&)> > ends =
      {[](SpaceMan&, const std::string&) {},
       [](SpaceMan& w, const std::string& i) { w.load(i); },
       [](SpaceMan& w, const std::string& i) { w.init(i + ".new", "data"); },
       [](SpaceMan& w, const std::string& i) { w.save(i + ".copy"); },
       [](SpaceMan& w, const std::string&) { w.save(); }};
  for (const Deletion& c : cases) {
    for (size_t end = 0; end < ends.size(); ++end) {
      vorla_test::TempDir dir;
      const std::string index = dir.file("index.ini");
      std::vector<std::string> files;
      {
        SpaceMan w;
        files = savedTree(w, index);
        c.run(w);
        for (const std::string& f : files) EXPECT_TRUE(exists(f)) << c.label;
        ends[end](w, index);
        if (end == 3) {
          for (const std::string& f : files) EXPECT_TRUE(exists(f)) << f;
          w.save();  // the own index's save still deletes
        }
      }
      for (size_t k = 0; k < files.size(); ++k) {
        const bool deleted =
            end >= 3 && std::count(c.gone.begin(), c.gone.end(), int(k));
        EXPECT_EQ(!deleted, exists(files[k])) << c.label << ", end " << end;
      }
    }
  }
}

TEST(DurableSaveTest, NewFilesGoAtOnceAndRewrittenFilesStay) {
  vorla_test::TempDir dir;
  SpaceMan w;
  const std::vector<std::string> files = savedTree(w, dir.file("index.ini"));
  // Never saved: no index names it, so its release deletes it at once.
  std::shared_ptr<StructConfig> fresh = w.newStruct();
  const std::string path = fresh->newFile("x");
  write_file(path, "never saved");
  w.unlinkStruct(fresh->getId());
  EXPECT_FALSE(exists(path));
  // Erased, then given new content by the program: the save keeps it.
  w.getStruct(3)->eraseFile("h");
  ::usleep(10000);
  write_file(files[2], "rewritten");
  w.save();
  EXPECT_EQ("rewritten", read_file(files[2]));
  // A FIFO or a link planted at a new file's name: the save neither blocks
  // on it nor flushes what the link leads to, and succeeds.
  ASSERT_EQ(0, ::mkfifo(w.newStruct()->newFile("fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("/dev/null", w.newStruct()->newFile("ln").c_str()));
  EXPECT_NO_THROW(w.save());
  // A name no file can have is never handed out, so that no save is left
  // waiting for a file that cannot exist.
  std::shared_ptr<StructConfig> other = w.newStruct();
  EXPECT_THROW_MSG(other->newFile("long", std::string(300, 'p')),
                   "cannot create rand file name");
  EXPECT_EQ(0u, other->items.count("long"));
  EXPECT_NO_THROW(w.save());
}

// A writer killed between its release and its save: the saved index's files
// are all there, and gc counts none of them as orphans.
TEST(DurableSaveTest, KilledBeforeTheSaveDeletesNothing) {
  vorla_test::TempDir dir;
  const std::string index = dir.file("index.ini");
  std::vector<std::string> files;
  {
    SpaceMan w;
    files = savedTree(w, index);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      SpaceMan w;
      w.load(index);
      w.unlinkStruct(2);
      w.getStruct(3)->eraseData();
      ::kill(::getpid(), SIGKILL);
    } catch (...) {
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  SpaceMan w;
  w.load(index);
  for (const std::string& f : files) EXPECT_EQ("bytes of " + f, read_file(f));
  EXPECT_TRUE(vorla::findOrphanFiles(w).empty());
}

}  // namespace
