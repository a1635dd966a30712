// SPDX-License-Identifier: MIT
// File-system faults during init, save, load, import and a cascading
// release. Each operation runs again and again with its 1st, 2nd, 3rd...
// file-system call failing (once, or from there on) until it runs without a
// fault; every run must complete or throw one of the library's messages,
// leak no descriptor, and leave the disk and the workspaces in a state the
// operation allows.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fault/fault_shim.h"
#include "utils/file_lock.h"
#include "workspace/file_names.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"

namespace vorla {
namespace {

namespace fs = std::filesystem;

// A directory tree as relative path -> what is there: "dir", or the mode
// and the bytes of a file.
typedef std::map<std::string, std::string> Tree;

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool isTemporaryName(const std::string& rel) {
  return fs::path(rel).filename().string().rfind(".vorla-", 0) == 0;
}

Tree snapshot(const std::string& dir) {
  Tree tree;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = e.path().lexically_relative(dir).string();
    if (e.is_symlink()) {
      tree[rel] = "link:" + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      tree[rel] = "dir";
    } else {
      struct stat st;
      ::stat(e.path().c_str(), &st);
      std::ostringstream what;
      what << std::oct << (st.st_mode & 07777) << ":"
           << readFile(e.path().string());
      tree[rel] = what.str();
    }
  }
  return tree;
}

// The paths at which two trees differ, for failure messages.
std::string diff(const Tree& a, const Tree& b) {
  std::string out;
  for (const auto& e : a) {
    Tree::const_iterator it = b.find(e.first);
    if (it == b.end()) {
      out += " only-left:" + e.first;
    } else if (it->second != e.second) {
      out += " differs:" + e.first + "(" + e.second.substr(0, 5) + "/" +
             it->second.substr(0, 5) + ")";
    }
  }
  for (const auto& e : b) {
    if (a.count(e.first) == 0) out += " only-right:" + e.first;
  }
  return out;
}

// Leftover temporary files of an interrupted save, removed from `tree`.
int dropTemporaries(Tree* tree) {
  int n = 0;
  for (Tree::iterator it = tree->begin(); it != tree->end();) {
    if (isTemporaryName(it->first)) {
      it = tree->erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

void restore(const std::string& dir, const Tree& tree) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& entry : tree) {
    const std::string path = dir + "/" + entry.first;
    if (entry.second == "dir") {
      fs::create_directories(path);
      continue;
    }
    if (entry.second.rfind("link:", 0) == 0) {
      fs::create_symlink(entry.second.substr(5), path);
      continue;
    }
    const std::string::size_type colon = entry.second.find(':');
    writeFile(path, entry.second.substr(colon + 1));
    ::chmod(path.c_str(), static_cast<mode_t>(std::stoul(
                              entry.second.substr(0, colon), nullptr, 8)));
  }
}

// Everything a workspace holds in memory, as text.
std::string image(const SpaceMan& w) {
  std::ostringstream out;
  out << w.mainfile() << "|" << w.getDatadir() << "|" << w.getRelDataDir()
      << "|" << w.getCounter() << "\n";
  for (const auto& entry : w.getStructs()) {
    out << entry.first << " " << entry.second->temporary << " "
        << (entry.second->getMan() == &w) << "\n";
    entry.second->export_kv(out);
  }
  return out.str();
}

int openDescriptors() {
  int n = 0;
  for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// What one faulted run produced.
struct Attempt {
  long nth;           // the call that failed first
  std::string call;   // which call that was
  bool faulted;       // whether a fault was injected
  long faults;        // failures injected in this run
  std::string error;  // the message thrown, if any
};

struct Totals {
  long runs = 0;
  long faults = 0;
  // Saves that reported a failure although the new file was in place (the
  // directory could not be flushed after the rename).
  long lateErrors = 0;
};

Totals& totals() {
  static Totals t;
  return t;
}

// Runs op() with the nth file-system call failing (and, when persistent,
// every one after it), for n = 1, 2, ... until a run meets no fault.
// setup() restores the starting state before each run and check() judges
// it. Returns the number of runs that had a fault.
long faultLoop(const char* label, bool persistent,
               const std::function<void()>& setup,
               const std::function<void()>& op,
               const std::function<void(const Attempt&)>& check) {
  for (long nth = 1; nth < 100000; ++nth) {
    setup();
    const int fds = openDescriptors();
    Attempt run;
    run.nth = nth;
    fault::arm(nth, persistent);
    try {
      op();
    } catch (const std::runtime_error& e) {
      run.error = e.what();
    }
    fault::disarm();
    run.faulted = fault::injected();
    run.faults = 0;
    for (const fault::LogEntry& e : fault::log()) {
      if (e.failed && run.faults++ == 0) run.call = fault::kindName(e.kind);
    }
    // None leaked; an object that goes within the run closes the directory
    // and the version it kept since its load.
    EXPECT_GE(fds, openDescriptors()) << "descriptor leaked, fault at " << nth;
    check(run);
    if (!run.faulted) {
      EXPECT_EQ("", run.error) << "failed without a fault";
      if (!persistent) {
        // The calls that the loop covered, in the order of a clean run.
        std::cout << label << ":";
        for (const fault::LogEntry& e : fault::log()) {
          std::cout << " " << fault::kindName(e.kind);
        }
        std::cout << std::endl;
      }
      return nth - 1;
    }
    ++totals().runs;
    totals().faults += run.faults;
  }
  ADD_FAILURE() << "the operation never ran through";
  return 0;
}

bool oneOf(const std::string& s, const std::set<std::string>& allowed) {
  return allowed.count(s) != 0;
}

const std::set<std::string>& writeErrors() {
  static const std::set<std::string> e = {"cannot write file"};
  return e;
}

const std::set<std::string>& readErrors() {
  static const std::set<std::string> e = {"cannot open file"};
  return e;
}

const std::set<std::string>& copyErrors() {
  static const std::set<std::string> e = {
      "cannot open file", "cannot copy file", "cannot create rand file name"};
  return e;
}

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() {
    std::string tmpl = (fs::temp_directory_path() / "vorla-fault-XXXXXX");
    root = ::mkdtemp(&tmpl[0]);
    ws = root + "/ws";
    index = ws + "/index.ini";
    fs::create_directories(ws + "/data");
  }
  ~FaultTest() override { fs::remove_all(root); }

  // A second workspace, root/src/index.ini, holding makeTree's records, to
  // copy from; gives its folder.
  std::string makeSource(unsigned* top, unsigned* other) {
    const std::string src = root + "/src";
    fs::create_directories(src + "/data");
    makeTree(src + "/index.ini", top, other);
    return src;
  }

  // A workspace with a tree: `top` (a file, two children, one of them with
  // a file and a grandchild with a file) and an unrelated record `other`
  // with a file. Returns the ids through the pointers.
  void makeTree(const std::string& indexPath, unsigned* top, unsigned* other) {
    SpaceMan w;
    w.init(indexPath, "data");
    std::shared_ptr<StructConfig> t = w.newStruct();
    t->setType("album");
    t->addStr("title", "summer");
    t->addUInt64("year", 2024);
    writeFile(t->newFile("cover"), "cover bytes");
    std::shared_ptr<StructConfig> page = t->newChildStruct("page1");
    writeFile(page->newFile("scan"), std::string(70000, 's'));
    std::shared_ptr<StructConfig> thumb = page->newChildStruct("thumb");
    writeFile(thumb->newFile("small"), "tiny");
    t->newChildStruct("page2")->addStr("note", "empty page");
    std::shared_ptr<StructConfig> o = w.newStruct();
    writeFile(o->newFile("keep"), "not part of the tree");
    w.save();
    *top = t->getId();
    *other = o->getId();
  }

  std::string root;
  std::string ws;
  std::string index;
};

// The outcome of op() run once without faults, from the state setup() makes.
Tree reference(const std::string& dir, const std::function<void()>& setup,
               const std::function<void()>& op) {
  setup();
  op();
  return snapshot(dir);
}

TEST_F(FaultTest, InitLeavesFormerOrNewFile) {
  unsigned top, other;
  makeTree(index, &top, &other);
  // Not the mode a new file gets, so that losing it shows.
  ::chmod(index.c_str(), 0600);
  for (int fresh = 0; fresh < 2; ++fresh) {
    // Over an existing workspace, then into an empty directory.
    if (fresh) {
      fs::remove_all(ws);
      fs::create_directories(ws);
    }
    const Tree base = snapshot(ws);
    SpaceMan w;
    auto setup = [&] { restore(ws, base); };
    auto op = [&] { w.init(index, "data"); };
    const Tree after = reference(ws, setup, op);
    for (int persistent = 0; persistent < 2; ++persistent) {
      faultLoop(fresh ? "init" : "init over a workspace", persistent, setup, op,
                [&](const Attempt& run) {
                  Tree now = snapshot(ws);
                  if (persistent) dropTemporaries(&now);
                  if (run.error.empty()) {
                    EXPECT_TRUE(after == now)
                        << "fault at " << run.nth << " (" << run.call << ")"
                        << ":" << diff(after, now);
                    return;
                  }
                  EXPECT_TRUE(oneOf(run.error, writeErrors())) << run.error;
                  // A reported failure leaves the former state: it is only
                  // ever reported before the new file is put in place.
                  EXPECT_TRUE(now == base)
                      << "fault at " << run.nth << " (" << run.call << ")"
                      << ":" << diff(base, now);
                  if (now == after) ++totals().lateErrors;
                });
    }
  }
}

TEST_F(FaultTest, SaveLeavesFormerOrNewFile) {
  unsigned top, other;
  makeTree(index, &top, &other);
  ::chmod(index.c_str(), 0600);
  // The index file under its own name, then through a symbolic link,
  // which must stay a link to the file that gets the new content.
  ASSERT_EQ(0, ::symlink("index.ini", (ws + "/link.ini").c_str()));
  const Tree base = snapshot(ws);
  for (const char* name : {"index.ini", "link.ini"}) {
    SpaceMan w;
    Tree before;
    auto setup = [&] {
      restore(ws, base);
      w.load(ws + "/" + name);
      std::shared_ptr<StructConfig> r = w.newStruct();
      r->addStr("added", "after the last save");
      r->newChildStruct("child")->addUInt64("n", 7);
      // A temporary record whose data file the save's sweep deletes.
      writeFile(w.newTempStruct()->newFile("scratch"), "scratch");
      before = snapshot(ws);
    };
    auto op = [&] { w.save(); };
    const Tree after = reference(ws, setup, op);
    const std::string afterIndex = after.at("index.ini");
    for (int persistent = 0; persistent < 2; ++persistent) {
      faultLoop(name, persistent, setup, op, [&](const Attempt& run) {
        Tree now = snapshot(ws);
        if (persistent) dropTemporaries(&now);
        // Only the index file and the swept data file change: each path is
        // exactly as before or as after.
        std::set<std::string> paths;
        for (const Tree* t : std::vector<const Tree*>{&before, &after, &now}) {
          for (const auto& e : *t) paths.insert(e.first);
        }
        for (const std::string& p : paths) {
          auto at = [&](const Tree& t) {
            Tree::const_iterator it = t.find(p);
            return it == t.end() ? std::string("(none)") : it->second;
          };
          EXPECT_TRUE(at(now) == at(before) || at(now) == at(after))
              << p << " via " << name << ", fault at " << run.nth << " ("
              << run.call << ")"
              << " (" << at(now).substr(0, 5) << ")";
        }
        if (run.error.empty()) {
          EXPECT_EQ(afterIndex, now.at("index.ini"))
              << "via " << name << ", fault at " << run.nth << " (" << run.call
              << ")";
          return;
        }
        EXPECT_TRUE(oneOf(run.error, writeErrors())) << run.error;
        EXPECT_NE(afterIndex, now.at("index.ini"))
            << "failure reported after the rename, via " << name
            << ", fault at " << run.nth << " (" << run.call << ")";
        if (now.at("index.ini") == afterIndex) ++totals().lateErrors;
        // The workspace survives the failure: a later save writes the file
        // a clean save would have written.
        w.save();
        EXPECT_EQ(afterIndex, snapshot(ws).at("index.ini"))
            << "via " << name << ", fault at " << run.nth << " (" << run.call
            << ")";
      });
    }
  }
}

TEST_F(FaultTest, FailedLoadKeepsWorkspace) {
  unsigned top, other;
  makeTree(index, &top, &other);
  const std::string second = ws + "/second.ini";
  {
    SpaceMan s;
    s.init(second, "other");
    s.newStruct()->addStr("text", std::string(3000, 'x'));
    s.save();
  }
  const Tree base = snapshot(ws);
  SpaceMan ref;
  ref.load(second);
  const std::string loaded = image(ref);
  SpaceMan w;
  std::string former;
  auto setup = [&] {
    w.load(index);
    former = image(w);
  };
  for (int persistent = 0; persistent < 2; ++persistent) {
    faultLoop(
        "load", persistent, setup, [&] { w.load(second); },
        [&](const Attempt& run) {
          if (!run.error.empty()) {
            EXPECT_TRUE(oneOf(run.error, readErrors())) << run.error;
            EXPECT_EQ(former, image(w))
                << "fault at " << run.nth << " (" << run.call << ")";
          } else {
            EXPECT_EQ(loaded, image(w))
                << "fault at " << run.nth << " (" << run.call << ")";
          }
          EXPECT_TRUE(base == snapshot(ws))
              << "fault at " << run.nth << " (" << run.call << ")"
              << ":" << diff(base, snapshot(ws));
        });
  }
}

TEST_F(FaultTest, FailedImportLeavesSourceUntouched) {
  unsigned top, other;
  const std::string src = makeSource(&top, &other);
  SpaceMan init;
  init.init(index, "data");
  const Tree srcBase = snapshot(src);
  const Tree dstBase = snapshot(ws);
  SpaceMan s, d;
  std::string srcImage;
  unsigned copied = 0;
  auto setup = [&] {
    restore(ws, dstBase);
    s.load(src + "/index.ini");
    d.load(index);
    // The lock's own calls have a loop of their own.
    d.lockForWriting();
    srcImage = image(s);
  };
  auto op = [&] { copied = d.import(&s, top); };
  for (int persistent = 0; persistent < 2; ++persistent) {
    faultLoop("import", persistent, setup, op, [&](const Attempt& run) {
      EXPECT_TRUE(srcBase == snapshot(src))
          << "fault at " << run.nth << " (" << run.call << ")"
          << ":" << diff(srcBase, snapshot(src));
      EXPECT_EQ(srcImage, image(s))
          << "fault at " << run.nth << " (" << run.call << ")";
      // Every data file left in the destination is named by a record, or
      // is an orphan only where the shim also failed its removal.
      std::set<std::string> named;
      for (const auto& entry : d.getStructs()) {
        for (const auto& item : entry.second->items) {
          if (item.second.type == StructConfig::ITEM_FILE) {
            named.insert("data/" + item.second.str);
          }
        }
      }
      int orphans = 0;
      for (const auto& e : snapshot(ws)) {
        if (e.second != "dir" && e.first.rfind("data/", 0) == 0 &&
            named.count(e.first) == 0) {
          ++orphans;
        }
      }
      if (!persistent) {
        EXPECT_EQ(0, orphans)
            << "fault at " << run.nth << " (" << run.call << ")";
      }
      if (!run.error.empty()) {
        EXPECT_TRUE(oneOf(run.error, copyErrors())) << run.error;
        return;
      }
      // A copy that went through has every file, with the same bytes.
      std::shared_ptr<StructConfig> c = d.getStruct(copied);
      EXPECT_EQ(readFile(s.getStruct(top)->getFile("cover")),
                readFile(c->getFile("cover")));
      std::shared_ptr<StructConfig> page = c->getChildStruct("page1");
      EXPECT_EQ(std::string(70000, 's'), readFile(page->getFile("scan")));
      EXPECT_EQ("tiny",
                readFile(page->getChildStruct("thumb")->getFile("small")));
    });
  }
}

TEST_F(FaultTest, CascadingReleaseTouchesOnlyItsTree) {
  unsigned top, other;
  makeTree(index, &top, &other);
  const Tree base = snapshot(ws);
  SpaceMan w;
  // The folder is made anew each time, so the lock is taken anew: before
  // the run, since faults in taking it are another test's.
  auto setup = [&] {
    restore(ws, base);
    w.load(index);
    w.lockForWriting();
  };
  auto op = [&] { w.unlinkStruct(top); };
  const Tree after = reference(ws, setup, op);
  setup();
  op();
  const std::string afterImage = image(w);
  for (int persistent = 0; persistent < 2; ++persistent) {
    faultLoop("release", persistent, setup, op, [&](const Attempt& run) {
      // Deleting a data file may fail silently; nothing else may change.
      EXPECT_EQ("", run.error)
          << "fault at " << run.nth << " (" << run.call << ")";
      EXPECT_EQ(afterImage, image(w))
          << "fault at " << run.nth << " (" << run.call << ")";
      const Tree now = snapshot(ws);
      for (const auto& e : base) {
        Tree::const_iterator it = now.find(e.first);
        if (after.count(e.first) != 0) {
          EXPECT_TRUE(it != now.end() && it->second == e.second)
              << e.first << " changed, fault at " << run.nth;
        }
      }
      for (const auto& e : now) {
        EXPECT_TRUE(base.count(e.first) != 0 && base.at(e.first) == e.second)
            << e.first << " is new or changed, fault at " << run.nth;
      }
      long orphans = static_cast<long>(now.size() - after.size());
      if (!persistent) {
        EXPECT_LE(orphans, 1)
            << "fault at " << run.nth << " (" << run.call << ")";
      }
    });
  }
}

TEST_F(FaultTest, ImportIntoUnwritableDataDirFails) {
  unsigned top, other;
  const std::string src = makeSource(&top, &other);
  const Tree srcBase = snapshot(src);
  SpaceMan s;
  s.load(src + "/index.ini");
  const std::string srcImage = image(s);
  for (int regular = 0; regular < 2; ++regular) {
    // The data directory missing, then a regular file in its place.
    SpaceMan d;
    d.init(index, "data");
    fs::remove_all(ws + "/data");
    if (regular) writeFile(ws + "/data", "not a directory");
    try {
      d.import(&s, top);
      ADD_FAILURE() << "import into an unwritable data directory succeeded";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("cannot copy file", e.what());
    }
    EXPECT_TRUE(srcBase == snapshot(src)) << diff(srcBase, snapshot(src));
    EXPECT_EQ(srcImage, image(s));
    if (regular) {
      EXPECT_EQ("not a directory", readFile(ws + "/data"));
    }
  }
}

// Whether any open file description holds the writer lock of `index`,
// asked through one of its own, which drops the slot again if it got it.
bool lockHeld(const std::string& index) {
  const int fd = utils::open_directory(utils::directory_part(index));
  if (fd < 0) return true;
  long holder = 0;
  const utils::SlotTry tried =
      utils::try_slot(fd, utils::slot_of(utils::name_part(index)), &holder);
  ::close(fd);
  return tried != utils::SlotTry::TAKEN;
}

// The first write of a workspace object takes the writer lock. With any of
// its calls (or of the operation after it) failing, no lock and no
// descriptor is left behind once the object is gone, and a failure to take
// the lock changes neither the workspace nor the disk.
TEST_F(FaultTest, FirstWriteTakesTheLockOrChangesNothing) {
  unsigned srcTop, srcOther, top, other;
  const std::string src = makeSource(&srcTop, &srcOther);
  makeTree(index, &top, &other);
  const Tree base = snapshot(ws);
  SpaceMan s;
  s.load(src + "/index.ini");

  struct Case {
    const char* label;
    std::function<void(SpaceMan&)> prepare;
    std::function<void(SpaceMan&)> step;
    std::set<std::string> errors;
    // What a run leaves on disk: EXACT, what a clean run leaves on success
    // and the former or that on failure; EITHER, the former or what a clean
    // run leaves (a data file that cannot be deleted stays, silently);
    // FREE, not checked here (copies get names of their own; the import
    // loop checks them).
    enum { EXACT, EITHER, FREE } disk;
    // Whether "cannot write file" can only mean that the lock was not taken.
    bool lockOnly;
  };
  auto loaded = [&](SpaceMan& w) { w.load(index); };
  std::set<std::string> importErrors = copyErrors();
  importErrors.insert("cannot write file");
  const std::set<std::string> drawErrors = {"cannot write file",
                                            "cannot create rand file name"};
  const std::vector<Case> cases = {
      {"lock, then save",
       [&](SpaceMan& w) {
         w.load(index);
         w.newStruct()->addStr("added", "by the save");
       },
       [](SpaceMan& w) { w.save(); }, writeErrors(), Case::EXACT, false},
      {"lock, then init", [](SpaceMan&) {},
       [&](SpaceMan& w) { w.init(index, "data"); }, writeErrors(), Case::EXACT,
       false},
      {"lock, then draw a name", loaded,
       [&](SpaceMan& w) { w.getStruct(top)->newFile("extra"); }, drawErrors,
       Case::EXACT, true},
      {"lock, then release",
       loaded,
       [&](SpaceMan& w) { w.unlinkStruct(other); },
       {"cannot write file"},
       Case::EITHER,
       true},
      {"lock, then import", loaded, [&](SpaceMan& w) { w.import(&s, srcTop); },
       importErrors, Case::FREE, true},
  };
  for (const Case& c : cases) {
    std::unique_ptr<SpaceMan> w;
    std::string before, left;
    auto setup = [&] {
      restore(ws, base);
      w.reset(new SpaceMan);
      c.prepare(*w);
      before = image(*w);
    };
    auto op = [&] {
      // The object goes within the run, so that a lock it took is given
      // back before descriptors are counted.
      struct Drop {
        std::unique_ptr<SpaceMan>& w;
        std::string& left;
        ~Drop() {
          left = image(*w);
          w.reset();
        }
      } drop{w, left};
      c.step(*w);
    };
    const Tree after = reference(ws, setup, op);
    for (int persistent = 0; persistent < 2; ++persistent) {
      faultLoop(c.label, persistent, setup, op, [&](const Attempt& run) {
        const std::string at = std::string(c.label) + ", fault at " +
                               std::to_string(run.nth) + " (" + run.call + ")";
        EXPECT_FALSE(lockHeld(index)) << at;
        Tree now = snapshot(ws);
        if (persistent) dropTemporaries(&now);
        if (run.error.empty() && c.disk == Case::EXACT) {
          EXPECT_TRUE(after == now) << at << ":" << diff(after, now);
        } else if (c.disk != Case::FREE) {
          EXPECT_TRUE(now == base || now == after)
              << at << ":" << diff(base, now);
        }
        if (run.error.empty()) return;
        EXPECT_TRUE(oneOf(run.error, c.errors)) << at << ": " << run.error;
        if (c.lockOnly && run.error == "cannot write file") {
          EXPECT_EQ(before, left) << at;
          EXPECT_TRUE(base == now) << at << ":" << diff(base, now);
        }
      });
    }
  }
}

// Power-cut safety: the order in which data reaches the disk.
TEST_F(FaultTest, SaveFlushesBeforeRenameAndDirectoryAfter) {
  unsigned top, other;
  makeTree(index, &top, &other);
  SpaceMan w;
  w.load(index);
  fault::arm(0, false);
  w.save();
  fault::disarm();
  const std::vector<fault::LogEntry> calls = fault::log();
  int tempFd = -1, renamed = -1, lastWrite = -1, syncedTemp = -1,
      syncedDir = -1;
  std::set<int> dirFds;
  for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
    const fault::LogEntry& c = calls[i];
    // The save works through its pinned directory: the temporary file and
    // the index file by their bare names, the directory reopened as ".".
    const std::string prefix = vorla::file_names::kSaveTempPrefix;
    if (c.kind == fault::CALL_OPEN &&
        (c.path.rfind(prefix, 0) == 0 ||
         c.path.find("/" + prefix) != std::string::npos))
      tempFd = c.fd;
    if (c.kind == fault::CALL_OPEN && (c.path == ws || c.path == "."))
      dirFds.insert(c.fd);
    if (c.kind == fault::CALL_WRITE && c.fd == tempFd) lastWrite = i;
    if (c.kind == fault::CALL_FSYNC && c.fd == tempFd && renamed < 0) {
      syncedTemp = i;
    }
    if (c.kind == fault::CALL_RENAME &&
        (c.path2 == index || c.path2 == fs::path(index).filename().string()))
      renamed = i;
    if (c.kind == fault::CALL_FSYNC && dirFds.count(c.fd) && renamed >= 0) {
      syncedDir = i;
    }
  }
  ASSERT_GE(tempFd, 0) << "no temporary file was made";
  EXPECT_GT(syncedTemp, lastWrite);
  EXPECT_GT(renamed, syncedTemp) << "renamed before the data was flushed";
  EXPECT_GT(syncedDir, renamed) << "directory not flushed after the rename";
}

TEST_F(FaultTest, CopyFlushesBeforeItReturns) {
  unsigned top, other;
  const std::string src = makeSource(&top, &other);
  SpaceMan s, d;
  s.load(src + "/index.ini");
  d.init(index, "data");
  fault::arm(0, false);
  d.import(&s, other);
  fault::disarm();
  int dstFd = -1, sent = -1, synced = -1, closed = -1;
  const std::vector<fault::LogEntry> calls = fault::log();
  for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
    const fault::LogEntry& c = calls[i];
    if (c.kind == fault::CALL_OPEN && c.path.rfind(ws, 0) == 0) dstFd = c.fd;
    if (c.kind == fault::CALL_SENDFILE && c.fd == dstFd) sent = i;
    if (c.kind == fault::CALL_FSYNC && c.fd == dstFd && closed < 0) synced = i;
    if (c.kind == fault::CALL_CLOSE && c.fd == dstFd && sent >= 0) closed = i;
  }
  ASSERT_GE(dstFd, 0) << "the copy was not opened";
  EXPECT_GT(synced, sent);
  EXPECT_GT(closed, synced) << "closed before the copy was flushed";
}

// Run under AddressSanitizer, these show that records held past their
// workspace, or past the registry that held them, touch nothing that is gone
// and leak nothing.
TEST_F(FaultTest, RecordsOutlivingTheirWorkspaceAreSafe) {
  std::shared_ptr<StructConfig> kept, child, temp, replaced;
  {
    SpaceMan w;
    w.init(index, "data");
    kept = w.newStruct();
    child = kept->newChildStruct("part");
    temp = w.newTempStruct();
    temp->newChildStruct("scratch");
    writeFile(temp->newFile("data"), "temporary");
    replaced = w.newTempStruct();
    // A new registry replaces the one that holds `replaced`.
    w.init(index, "data");
    EXPECT_EQ(1u, w.getStructs().size());
  }
  EXPECT_EQ(1u, kept->extrefcount);
  temp.reset();
  replaced.reset();
  child.reset();
  kept.reset();
  // A cycle of child items read from a hand-edited file, then dropped.
  writeFile(index,
            "[0]\n$current_counter_uint64 = 3\n$reldatadir_str = data\n"
            "[2]\nloop_child = 3\nextrefcount_sys = 1\n"
            "[3]\nback_child = 2\nintrefcount_sys = 1\n");
  SpaceMan w;
  w.load(index);
  std::shared_ptr<StructConfig> loop = w.getStruct(2);
  w.unlinkStruct(2);
  // The erasure ends although the cycle leads back to where it started.
  EXPECT_EQ(1u, w.getStructs().size());
}

// The steps that make a save durable, and the backup and lost+found of the
// tool, with each of their calls failing: an operation fails before the
// index file is replaced, or leaves the workspace whole. Whole: every data
// file that the index on disk names is there with its bytes, and a data
// file it does not name is gone only where the case deletes (deferred
// deletions) or is in lost+found (gc).
TEST_F(FaultTest, DurableStepsFailEarlyOrLeaveTheWorkspaceWhole) {
  unsigned srcTop, srcOther, top, other;
  const std::string src = makeSource(&srcTop, &srcOther);
  makeTree(index, &top, &other);
  writeFile(ws + "/data/_orphan_9__1_", "orphan bytes");
  const Tree base = snapshot(ws);
  SpaceMan s;
  s.load(src + "/index.ini");
  struct Case {
    const char* label;
    std::function<void(SpaceMan&)> prepare;
    std::function<void(SpaceMan&)> op;
    std::set<std::string> errors;
    // Calls that the loop must have failed at least once.
    std::set<std::string> faulted;
    bool deletes;
  };
  // gc's move of the orphan into a new lost+found.
  const std::function<void(SpaceMan&)> gcMove = [&](SpaceMan& w) {
    OrphanFile f;
    f.name = "_orphan_9__1_";
    std::string to;
    int err = 0;
    if (moveIfOld(w.getDatadir(), f, ws + "/lost+found",
                  std::time(nullptr) + 10, 0, &to,
                  &err) != RemoveResult::REMOVED)
      throw std::runtime_error("not moved");
  };
  const std::vector<Case> cases = {
      {"save of new data files",
       [&](SpaceMan& w) {
         std::shared_ptr<StructConfig> r = w.newStruct();
         writeFile(r->newFile("a"), "new a");
         writeFile(r->newFile("b"), "new b");
         w.import(&s, srcTop);
         w.newStruct()->importcopy(s.getStruct(srcOther));
       },
       [](SpaceMan& w) { w.save(); },
       writeErrors(),
       {"open", "fsync"},
       false},
      {"save of many new data files",
       [&](SpaceMan& w) {
         std::shared_ptr<StructConfig> r = w.newStruct();
         for (int i = 0; i < 40; ++i)
           writeFile(r->newFile("f" + std::to_string(i)), std::to_string(i));
       },
       [](SpaceMan& w) { w.save(); },
       writeErrors(),
       {"open", "fsync"},
       false},
      {"save after releases",
       [&](SpaceMan& w) {
         w.unlinkStruct(top);
         w.getStruct(other)->eraseData();
       },
       [](SpaceMan& w) { w.save(); },
       writeErrors(),
       {"unlink", "fsync"},
       true},
      {"backup, then save",
       [&](SpaceMan& w) { w.newStruct()->addStr("fixed", "counts"); },
       [&](SpaceMan& w) {
         backupFile(index);
         w.save();
       },
       {"cannot copy file", "cannot open file", "cannot write file"},
       {"link", "fsync"},
       false},
      {"gc into a new lost+found",
       [](SpaceMan&) {},
       gcMove,
       {"not moved"},
       {"mkdir", "fsync", "rename"},
       false},
      {"gc where renames cannot refuse to replace",
       [](SpaceMan&) { fault::set_no_replace_unsupported(true); },
       gcMove,
       {"not moved"},
       {"mkdir", "fsync", "link", "unlink"},
       false},
  };
  for (const Case& c : cases) {
    SpaceMan w;
    Tree before;
    auto setup = [&] {
      restore(ws, base);
      w.load(index);
      w.lockForWriting();
      c.prepare(w);
      before = snapshot(ws);
    };
    auto op = [&] { c.op(w); };
    std::set<std::string> failedCalls;
    for (int persistent = 0; persistent < 2; ++persistent) {
      faultLoop(c.label, persistent, setup, op, [&](const Attempt& run) {
        const std::string at = std::string(c.label) + ", fault at " +
                               std::to_string(run.nth) + " (" + run.call + ")";
        failedCalls.insert(run.call);
        Tree now = snapshot(ws);
        if (persistent) dropTemporaries(&now);
        if (!run.error.empty()) {
          EXPECT_TRUE(oneOf(run.error, c.errors)) << at << ": " << run.error;
          EXPECT_EQ(before.at("index.ini"), now.at("index.ini")) << at;
        }
        SpaceMan disk;
        disk.load(index);
        std::set<std::string> named;
        for (const auto& entry : disk.getStructs()) {
          for (const auto& item : entry.second->items) {
            if (item.second.type != StructConfig::ITEM_FILE) continue;
            const std::string p = "data/" + item.second.str;
            named.insert(p);
            EXPECT_TRUE(now.count(p) != 0) << at << ": lost " << p;
            if (now.count(p) != 0 && before.count(p) != 0) {
              EXPECT_EQ(before.at(p), now.at(p)) << at << ": " << p;
            }
          }
        }
        for (const auto& e : before) {
          if (e.first.rfind("data/", 0) != 0 || named.count(e.first)) continue;
          const std::string kept =
              "lost+found/" + fs::path(e.first).filename().string();
          EXPECT_TRUE(c.deletes || now.count(e.first) ||
                      (now.count(kept) && now.at(kept) == e.second))
              << at << ": " << e.first << " is gone";
        }
        // A move that fails leaves the file under one name, not two (when
        // the calls that undo the link can still be made).
        EXPECT_FALSE(!persistent && now.count("data/_orphan_9__1_") &&
                     now.count("lost+found/_orphan_9__1_"))
            << at << ": moved and kept";
        // A failed save leaves the workspace able to save what it holds.
        if (!run.error.empty() && run.error != "not moved") {
          EXPECT_NO_THROW(w.save()) << at;
        }
      });
    }
    fault::set_no_replace_unsupported(false);
    for (const std::string& call : c.faulted) {
      EXPECT_TRUE(failedCalls.count(call))
          << c.label << ": never failed " << call;
    }
  }
}

// What a save flushes and when: each data file new since the last save
// (written by the program, made by import or importcopy) and then the data
// directory before the rename; the deferred deletions after it, then the
// data directory again. A save that adds no data file and deletes nothing
// makes no call beyond those of the index file.
TEST_F(FaultTest, SaveFlushesNewDataFilesBeforeAndDeletesAfterTheRename) {
  unsigned srcTop, srcOther, top, other;
  const std::string src = makeSource(&srcTop, &srcOther);
  makeTree(index, &top, &other);
  SpaceMan s, w;
  s.load(src + "/index.ini");
  w.load(index);
  const std::string data = ws + "/data";
  const std::string released = w.getStruct(other)->getFile("keep");
  std::shared_ptr<StructConfig> r = w.newStruct();
  std::vector<std::string> fresh = {r->newFile("own")};
  writeFile(fresh[0], "written by the program");
  const unsigned copy = w.import(&s, srcOther);
  fresh.push_back(w.getStruct(copy)->getFile("keep"));
  r->newChildStruct("c")->importcopy(s.getStruct(srcOther));
  fresh.push_back(r->getChildStruct("c")->getFile("keep"));
  w.unlinkStruct(other);
  EXPECT_TRUE(fs::exists(released)) << "deleted before the save";
  for (int pass = 0; pass < 2; ++pass) {
    fault::arm(0, false);
    w.save();
    fault::disarm();
    std::map<int, std::string> open;  // descriptor -> path
    std::set<std::string> synced;
    long renamed = -1, unlinked = -1, dataSyncs = 0, lastDataSync = -1;
    const std::vector<fault::LogEntry> calls = fault::log();
    for (long i = 0; i < static_cast<long>(calls.size()); ++i) {
      const fault::LogEntry& e = calls[i];
      if (e.kind == fault::CALL_OPEN) open[e.fd] = e.path;
      if (e.kind == fault::CALL_FSYNC && open.count(e.fd)) {
        const std::string& p = open[e.fd];
        if (renamed < 0) synced.insert(p);
        if (p == data) {
          ++dataSyncs;
          lastDataSync = i;
        }
      }
      if (e.kind == fault::CALL_RENAME && e.path2 == index) renamed = i;
      if (e.kind == fault::CALL_UNLINK && e.path == released) {
        EXPECT_GT(i, renamed) << "deleted before the rename";
        unlinked = i;
      }
    }
    if (pass == 1) {
      // Nothing new, nothing to delete: no call beyond the index file's.
      EXPECT_EQ(0, dataSyncs);
      for (const std::string& p : synced) EXPECT_NE(0u, p.rfind(data, 0)) << p;
      break;
    }
    for (const std::string& p : fresh) {
      EXPECT_TRUE(synced.count(p)) << p << " not flushed before the rename";
    }
    EXPECT_TRUE(synced.count(data)) << "data directory not flushed";
    EXPECT_GT(unlinked, renamed);
    EXPECT_EQ(2, dataSyncs);
    EXPECT_GT(lastDataSync, unlinked) << "deletion not flushed";
    EXPECT_FALSE(fs::exists(released));
  }
}

// Printed for the record: how many faults the loops injected.
class FaultCount : public ::testing::Environment {
 public:
  void TearDown() override {
    std::cout << "fault loops: " << totals().runs << " faulted runs, "
              << totals().faults << " injected faults, " << totals().lateErrors
              << " failures reported after the rename" << std::endl;
  }
};

const ::testing::Environment* const faultCount =
    ::testing::AddGlobalTestEnvironment(new FaultCount);

}  // namespace
}  // namespace vorla
