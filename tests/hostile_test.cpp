// SPDX-License-Identifier: MIT
// Workspaces and paths from someone else: crafted index files, crafted data
// directories and crafted arguments reach nothing outside the workspace,
// never hang, and leave the workspace consistent. Real files in a scratch
// folder; the cases that depend on permissions run in a child process that
// gives up root, since root passes every permission check.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "utils/file_utils.h"
#include "workspace/check.h"
#include "workspace/create.h"
#include "workspace/workspace.h"

namespace {

using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::header;
using vorla_test::read_file;
using vorla_test::section;
using vorla_test::write_file;

// The uid and gid that permission cases run as when the test is root.
const uid_t kNobody = 65534;

class HostileTest : public ::testing::Test {
 protected:
  HostileTest()
      : ws(dir.file("ws")),
        index(dir.file("ws/ws.ini")),
        data(dir.file("ws/data")),
        secret(dir.file("secret")) {
    ::mkdir(ws.c_str(), 0755);
    ::mkdir(data.c_str(), 0755);
    write_file(secret, "private");
  }

  // An index file whose record 0 names `rel` as its data directory.
  std::string withDataDir(const std::string& rel, const std::string& rest) {
    return "[0]\n$current_counter_uint64 = 10\n$reldatadir_str = " + rel +
           "\nextrefcount_sys = 1000\n\n" + rest;
  }

  // Runs `body` in a child process, as an unprivileged user when the test
  // runs as root, and gives its exit status (0 when every check held).
  int asUser(const std::function<int()>& body) {
    if (::getuid() == 0) {
      // The child must be able to work in the scratch folder.
      const std::string cmd = "chown -R 65534:65534 '" + dir.path() + "'";
      if (std::system(cmd.c_str()) != 0) return -1;
    }
    return inChild(
        [] {
          return ::getuid() != 0 ||
                 (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
        },
        body);
  }

  // Runs `body` in a child process that a hang ends after five seconds,
  // and gives its exit status (0 when every check held).
  int promptly(const std::function<int()>& body) {
    return inChild(
        [] {
          ::alarm(5);
          return true;
        },
        body);
  }

  // Runs `body` in a child process once `setup` has prepared it there
  // (exit status 100 when it could not), and gives the child's exit status:
  // 101 when `body` threw, 200 when the child did not exit.
  static int inChild(const std::function<bool()>& setup,
                     const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (!setup()) ::_exit(100);
      int status = 101;
      try {
        status = body();
      } catch (...) {
      }
      ::_exit(status);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
  }

  vorla_test::TempDir dir;
  std::string ws, index, data, secret;
  SpaceMan w;
};

// Gives `expected` when `op` throws that message, anything else otherwise.
int code(const std::function<void()>& op, const std::string& expected) {
  try {
    op();
  } catch (const std::runtime_error& e) {
    return e.what() == expected ? 0 : 2;
  }
  return 1;
}

TEST_F(HostileTest, ReadersRefuseAnIndexFileThatIsNotRegularAtOnce) {
  ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink("fifo", dir.file("tofifo").c_str()));
  for (const std::string& bad :
       {dir.file("fifo"), dir.file("tofifo"), std::string("/dev/zero")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(
        0, promptly([&] {
          if (code([&] { w.load(bad); }, "cannot open file") != 0) return 1;
          if (code([&] { vorla::indexCutShort(bad); }, "cannot open file") != 0)
            return 2;
          // The search for workspaces sharing a data directory looks
          // at every file beside an index file.
          return vorla::dataDirectorySharers(bad, "data").empty() ? 0 : 3;
        }));
    // Nor is one replaced or kept: a backup would be a stray node.
    EXPECT_THROW_MSG(vorla::replaceWorkspace(w, bad, "data"),
                     "cannot write file");
    EXPECT_THROW_MSG(vorla::backupFile(bad), "cannot copy file");
    EXPECT_FALSE(utils::name_taken(bad + ".bak"));
  }
  struct stat st;
  ASSERT_EQ(0, ::lstat(dir.file("fifo").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(HostileTest, TwoWorkspacesNeverShareADataDirectoryByAccident) {
  write_file(index, withDataDir("data", ""));
  ASSERT_EQ(0, ::symlink("data", (ws + "/alias").c_str()));
  ASSERT_EQ(0, ::mkfifo((ws + "/pipe.ini").c_str(), 0644));
  write_file(ws + "/notes.txt", "# notes\nplain text, no index file\n");
  write_file(ws + "/ws.ini.bak", withDataDir("other", ""));
  write_file(ws + "/.vorla-Ab12Cd", withDataDir("other", ""));
  write_file(ws + "/late.ini",
             "[2]\nn_uint64 = 1\n\n" + withDataDir("late", ""));
  const std::string b = ws + "/b.ini";
  for (const char* rel :
       {"data", "./data", "data/", "./data/.", "alias", ".", "other", "late"}) {
    SCOPED_TRACE(rel);
    const std::vector<std::string> found = vorla::dataDirectorySharers(b, rel);
    const bool shared = std::string(rel) != "." && std::string(rel) != "other";
    EXPECT_EQ(shared ? 1u : 0u, found.size());
    if (!shared) continue;
    EXPECT_EQ(std::string(rel) == "late" ? ws + "/late.ini" : index, found[0]);
    EXPECT_THROW_MSG(vorla::createWorkspace(w, b, rel, false),
                     "shared data directory");
  }
  EXPECT_FALSE(exists(b));
  EXPECT_THROW_MSG(vorla::createWorkspace(w, index, "mine", false),
                   "index file exists");
  // The index file itself, under any name, and its backups name no other.
  EXPECT_TRUE(vorla::dataDirectorySharers(index, "data").empty());
}

TEST_F(HostileTest, AFailedCopyChangesNothingThatWasThere) {
  // The counter is behind the highest id, as in a merged or damaged file:
  // records 4 and 5 lie above it. Record 2's second file is missing, so a
  // copy of it fails once its first file is made.
  write_file(index,
             header(3) +
                 section(2, 1, 0, "a_file = a_2__1_\nb_file = b_2__2_\n") +
                 section(4, 1, 0, "f_file = f_4__1_\nk_child = 5\n") +
                 section(5, 0, 1, "g_file = g_5__1_\n"));
  for (const char* name : {"a_2__1_", "f_4__1_", "g_5__1_"})
    write_file(data + "/" + name, name);
  w.load(index);
  SpaceMan other;
  ::mkdir(dir.file("dst").c_str(), 0755);
  ::mkdir(dir.file("dst/data").c_str(), 0755);
  other.init(dir.file("dst/dst.ini"), "data");
  for (SpaceMan* dst : {&w, &other}) {
    const size_t records = dst->getStructs().size();
    const unsigned counter = dst->getCounter();
    EXPECT_THROW_MSG(dst->import(&w, 2), "cannot open file");
    EXPECT_EQ(records, dst->getStructs().size());
    EXPECT_EQ(counter, dst->getCounter());
  }
  for (const char* name : {"a_2__1_", "f_4__1_", "g_5__1_"})
    EXPECT_EQ(name, read_file(data + "/" + name));
  const std::string cmd = "test $(ls '" + data + "' '" + dir.file("dst/data") +
                          "' | grep -c _) -eq 3";
  EXPECT_EQ(0, std::system(cmd.c_str()));
  // A copy that succeeds keeps its records.
  write_file(data + "/b_2__2_", "b");
  EXPECT_EQ(6u, w.import(&w, 2));
}

TEST_F(HostileTest, WhatIsAcceptedComesBackOrIsRefused) {
  // A workspace never inited or loaded has no data directory: no name
  // under "/".
  SpaceMan none;
  std::shared_ptr<StructConfig> orphan = none.newStruct();
  EXPECT_THROW_MSG(orphan->newFile("f"), "workspace not loaded");
  EXPECT_THROW_MSG(none.randfile(2, "p"), "workspace not loaded");
  EXPECT_THROW_MSG(none.randtempfile("t"), "workspace not loaded");
  none.save();  // still nothing, and no error
  // The reader trims a stored file name: a prefix with a blank at either
  // end would name a missing file after a reload.
  w.init(index, "data");
  std::shared_ptr<StructConfig> rec = w.newStruct();
  for (const char* prefix : {" raw", "raw ", "\traw", "raw\t", "\vraw", "raw\f",
                             "\rraw", "raw\n", " "}) {
    SCOPED_TRACE(prefix);
    EXPECT_THROW_MSG(rec->newFile("f", prefix), "invalid file name");
  }
  EXPECT_THROW_MSG(rec->newFile("named "), "invalid file name");
  EXPECT_TRUE(rec->items.empty());
  const std::string path = rec->newFile("f", "r a\tw");
  rec->newFile("g", "");
  w.save();
  SpaceMan again;
  again.load(index);
  EXPECT_EQ(path, again.getStruct(rec->getId())->getFile("f"));
}

TEST_F(HostileTest, DataDirectoryStaysInsideTheWorkspaceFolder) {
  // A crafted data directory would let a release delete a file outside.
  write_file(dir.file("victim"), "another workspace's data");
  for (const char* rel : {"..", "../", "/", "/tmp", "../victim", "data/../..",
                          "a/../../b", "./.."}) {
    SCOPED_TRACE(rel);
    write_file(index, withDataDir(rel, section(2, 1, 0, "f_file = victim\n")));
    EXPECT_THROW_MSG(w.load(index), "invalid file name");
    EXPECT_THROW_MSG(w.init(index, rel), "invalid file name");
  }
  EXPECT_TRUE(w.getStructs().empty());
  EXPECT_EQ("another workspace's data", read_file(dir.file("victim")));
  // Everything that stays inside the folder keeps working.
  for (const char* rel :
       {"data", "./data", "", ".", "sub/dir", "..data", "data..", "a/.../b"}) {
    w.init(index, rel);
    EXPECT_EQ(rel, w.getRelDataDir());
    w.load(index);
    EXPECT_EQ(rel, w.getRelDataDir());
  }
}

TEST_F(HostileTest, InitRefusesADataDirectoryThatWouldMoveOnReload) {
  for (const char* rel : {" data", "data ", "data\t", "\tdata"}) {
    SCOPED_TRACE(rel);
    EXPECT_THROW_MSG(w.init(index, rel), "invalid text");
  }
  EXPECT_FALSE(exists(index));
  w.init(index, "my data");
  w.load(index);
  EXPECT_EQ("my data", w.getRelDataDir());
}

TEST_F(HostileTest, PathsWithANulAreRefusedAndTouchNothing) {
  const std::string cut = index + std::string("\0.tail", 6);
  EXPECT_THROW_MSG(w.init(cut, "data"), "cannot write file");
  EXPECT_THROW_MSG(w.init(index, std::string("da\0ta", 5)), "invalid text");
  EXPECT_FALSE(exists(index));
  w.init(index, "data");
  const std::string saved = read_file(index);
  w.newStruct()->addUInt64("n", 1);
  // Saving through the cut path would have replaced the index file.
  EXPECT_THROW_MSG(w.save(cut), "cannot write file");
  EXPECT_EQ(saved, read_file(index));
  EXPECT_THROW_MSG(w.load(cut), "cannot open file");
  EXPECT_EQ(2u, w.getStructs().size());
  // A data directory with a NUL would make the index file its own data
  // directory, and a release would delete it.
  write_file(index, withDataDir(std::string("\0", 1) + "x",
                                section(2, 1, 0, "f_file = ws.ini\n")));
  EXPECT_THROW_MSG(w.load(index), "invalid file name");
  EXPECT_THROW_MSG(utils::copyfile(secret + std::string("\0x", 2), data + "/c"),
                   "cannot open file");
  EXPECT_THROW_MSG(utils::copyfile(secret, data + std::string("/c\0x", 4)),
                   "cannot copy file");
  EXPECT_FALSE(utils::file_exists(secret + std::string("\0x", 2)));
  EXPECT_TRUE(utils::name_taken(data + std::string("\0x", 2)));
}

TEST_F(HostileTest, CopiesTakeOnlyRegularFilesAndNoSpecialBits) {
  const std::string src = dir.file("src");
  write_file(src, "payload");
  ASSERT_EQ(0, ::chmod(src.c_str(), 06755 | S_ISVTX));
  const mode_t mask = ::umask(022);
  utils::copyfile(src, data + "/copy");
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(0, ::stat((data + "/copy").c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_EQ("payload", read_file(data + "/copy"));

  // A FIFO would block the copy forever, a device or a directory is no data
  // file, and a link may lead anywhere: all refused before they are opened.
  ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink(secret.c_str(), dir.file("link").c_str()));
  for (const std::string& bad :
       {dir.file("fifo"), std::string("/dev/null"), data, dir.file("link")}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW_MSG(utils::copyfile(bad, data + "/out"), "cannot copy file");
    EXPECT_FALSE(utils::name_taken(data + "/out"));
  }
  EXPECT_THROW_MSG(utils::copyfile(dir.file("missing"), data + "/out"),
                   "cannot open file");
  // Nor is anything written through a link at the destination.
  ASSERT_EQ(0, ::symlink(secret.c_str(), (data + "/dstlink").c_str()));
  EXPECT_THROW_MSG(utils::copyfile(src, data + "/dstlink"), "cannot copy file");
  EXPECT_EQ("private", read_file(secret));
}

TEST_F(HostileTest, ACopyNeverBringsInAFileFromOutside) {
  ASSERT_EQ(0, ::symlink("../../secret", (data + "/_lnk_2__1_").c_str()));
  ASSERT_EQ(0, ::mkfifo((data + "/_fifo_3__1_").c_str(), 0644));
  write_file(index, header(10) + section(2, 1, 0, "f_file = _lnk_2__1_\n") +
                        section(3, 1, 0, "f_file = _fifo_3__1_\n"));
  w.load(index);
  ::mkdir(dir.file("dst").c_str(), 0755);
  ::mkdir(dir.file("dst/data").c_str(), 0755);
  SpaceMan dst;
  dst.init(dir.file("dst/dst.ini"), "data");
  EXPECT_THROW_MSG(dst.import(&w, 2), "cannot copy file");
  EXPECT_THROW_MSG(dst.import(&w, 3), "cannot copy file");
  const std::string cmd = "grep -rq private '" + dir.file("dst") + "'";
  EXPECT_NE(0, std::system(cmd.c_str()));
}

TEST_F(HostileTest, ADanglingLinkTakesItsName) {
  w.init(index, "data");
  boost::rand48 copy = vorla::rdengine;
  const std::string first = "f_2__" + std::to_string(copy()) + "_";
  const std::string second = "f_2__" + std::to_string(copy()) + "_";
  // Writing to the first name would create the link's target outside.
  const std::string target = dir.file("planted");
  ASSERT_EQ(0, ::symlink(target.c_str(), (data + "/" + first).c_str()));
  std::shared_ptr<StructConfig> rec = w.newStruct();
  EXPECT_EQ(data + "/" + second, rec->newFile("f"));
}

TEST_F(HostileTest, SaveReplacesOnlyARegularFile) {
  w.init(index, "data");
  ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0644));
  ASSERT_EQ(0, ::symlink("fifo", dir.file("tofifo").c_str()));
  ASSERT_EQ(0, ::mkdir(dir.file("adir").c_str(), 0755));
  for (const char* name : {"fifo", "tofifo", "adir"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW_MSG(w.save(dir.file(name)), "cannot write file");
  }
  struct stat st;
  ASSERT_EQ(0, ::lstat(dir.file("fifo").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(0, ::lstat(dir.file("tofifo").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A device too, when the test may even try (it must not succeed as root).
  if (::getuid() == 0) {
    EXPECT_THROW_MSG(w.save("/dev/null"), "cannot write file");
    ASSERT_EQ(0, ::stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  // Nothing of the refused saves is left behind.
  const std::string cmd = "ls -A '" + dir.path() + "' | grep -q vorla-";
  EXPECT_NE(0, std::system(cmd.c_str()));
}

TEST_F(HostileTest, SaveRespectsPermissionsAndTheUmask) {
  const int status = asUser([&] {
    SpaceMan mine;
    // The kernel narrows a new index file by the caller's umask.
    const mode_t mask = ::umask(077);
    mine.init(index, "data");
    ::umask(mask);
    struct stat st;
    if (::stat(index.c_str(), &st) != 0 || (st.st_mode & 0777) != 0600)
      return 10;
    // A file the caller may not write is not replaced either.
    const std::string ro = dir.file("ws/readonly.ini");
    write_file(ro, "keep");
    ::chmod(ro.c_str(), 0444);
    if (code([&] { mine.save(ro); }, "cannot write file") != 0) return 11;
    if (read_file(ro) != "keep") return 12;
    // In a directory that may be written but not read, a writer that has
    // no descriptor of it yet fails before it replaces anything: a failure
    // means the former file. One that holds the lock flushes the directory
    // through the lock's descriptor, opened while it could.
    const std::string other = dir.file("ws/other.ini");
    SpaceMan().init(other, "data");
    mine.newStruct();
    const std::string before = read_file(other);
    ::chmod(ws.c_str(), 0300);
    SpaceMan late;
    late.load(other);
    late.newStruct();
    const int refused = code([&] { late.save(); }, "cannot write file");
    const std::string after = read_file(other);
    const std::string former = read_file(index);
    mine.save();
    const std::string held = read_file(index);
    ::chmod(ws.c_str(), 0755);
    if (refused != 0) return 13;
    if (after != before || held == former) return 14;
    return 0;
  });
  EXPECT_EQ(0, status);
}

// Record i names record i+1 twice, `depth` deep: a copy of record 2 makes
// 2^depth records.
std::string copyBomb(int depth) {
  std::string text = header(depth + 10);
  for (int i = 2; i < depth + 2; ++i) {
    const std::string next = std::to_string(i + 1);
    text += section(static_cast<unsigned>(i), i == 2 ? 1 : 0, i == 2 ? 0 : 2,
                    "a_child = " + next + "\nb_child = " + next + "\n");
  }
  return text +
         section(static_cast<unsigned>(depth + 2), 0, 2, "n_uint64 = 1\n");
}

TEST_F(HostileTest, CopiesBeyondTheLimitAreRefusedBeforeAnythingIsMade) {
  write_file(index, copyBomb(40));
  w.load(index);
  SpaceMan dst;
  ::mkdir(dir.file("dst").c_str(), 0755);
  dst.init(dir.file("dst/dst.ini"), "data");
  EXPECT_THROW_MSG(dst.import(&w, 2), "copy too large");
  EXPECT_EQ(1u, dst.getStructs().size());
  std::shared_ptr<StructConfig> target = dst.newStruct();
  EXPECT_THROW_MSG(target->importcopy(w.getStruct(2)), "copy too large");
  EXPECT_TRUE(target->items.empty());
  EXPECT_EQ(2u, dst.getStructs().size());

  // A shared subtree below the limit is copied once per path, as before.
  // Depth 3: 1 + 2 + 4 records with 2 items each, and 8 leaves with one:
  // 15 records and 22 items.
  write_file(index, copyBomb(3));
  w.load(index);
  dst.setCopyLimit(15 + 14 + 8);
  const unsigned id = dst.import(&w, 2);
  EXPECT_EQ(2u + 15u, dst.getStructs().size());
  EXPECT_EQ(1u, dst.getStruct(id)->extrefcount);
  dst.setCopyLimit(15 + 14 + 8 - 1);
  EXPECT_THROW_MSG(dst.import(&w, 2), "copy too large");
  EXPECT_EQ(2u + 15u, dst.getStructs().size());
}

TEST_F(HostileTest, ACopyOfATreeWithAMissingChildMakesNothing) {
  // Record 3 names a missing 6: copied within the workspace, the copy's
  // own records would take ids 5, 6, ... and the tree would grow through
  // them.
  write_file(index, header(4) + section(2, 1, 0, "a_child = 3\n") +
                        section(3, 0, 1, "a_child = 6\nb_child = 6\n"));
  w.load(index);
  EXPECT_THROW_MSG(w.import(&w, 2), "cannot find id");
  EXPECT_THROW_MSG(w.getStruct(2)->importcopy(w.getStruct(3)),
                   "cannot find id");
  EXPECT_EQ(3u, w.getStructs().size());
  EXPECT_EQ(4u, w.getCounter());
}

TEST_F(HostileTest, UnorderedItemsLoadSortedAndTheLastLineWins) {
  std::string items;
  for (int i = 999; i >= 0; --i)
    items += "k" + std::to_string(i) + "_uint64 = " + std::to_string(i) + "\n";
  items += "k5_uint64 = 55\nk5_uint64 = 555\nk7_str = seven\n";
  write_file(index, header(10) + section(2, 1, 0, items));
  w.load(index);
  std::shared_ptr<StructConfig> rec = w.getStruct(2);
  EXPECT_EQ(1000u, rec->items.size());
  EXPECT_EQ(555u, rec->getUInt64("k5"));
  EXPECT_EQ("seven", rec->getStr("k7"));
  EXPECT_EQ(999u, rec->getUInt64("k999"));
  EXPECT_TRUE(std::is_sorted(rec->items.begin(), rec->items.end(),
                             [](const StructConfig::ItemMap::value_type& a,
                                const StructConfig::ItemMap::value_type& b) {
                               return a.first < b.first;
                             }));
}

TEST_F(HostileTest, WhatLoadsSavesToAFileThatLoads) {
  // The longest lines that the reader takes in their tightest form, and
  // the same lines once save has spelled them out.
  const std::string longest(4096 - 6, 'x');  // "k_str=" and the text
  const std::string fits(4096 - 8, 'x');     // "k_str = " and the text
  for (const std::string& line :
       {"k_str=" + longest, "k_extchild=" + std::string(4096 - 11, '7'),
        "structtype_sys=" + std::string(4096 - 15, 't'),
        std::string(4096 - 9, 'n') + "_uint64=1"}) {
    SCOPED_TRACE(line.substr(0, 20));
    write_file(index, header(10) + "[2]\n" + line + "\n");
    EXPECT_THROW_MSG(w.load(index), "line too long");
  }
  write_file(index, header(10) + "[2]\nk_str=" + fits + "\n");
  w.load(index);
  w.save();
  SpaceMan again;
  again.load(index);
  EXPECT_EQ(fits, again.getStruct(2)->getStr("k"));
}

TEST_F(HostileTest, NoReleaseErasesRecordZero) {
  // Record 0 at external count 0, named by a child item of record 2.
  write_file(index,
             "[0]\n$current_counter_uint64 = 10\n$reldatadir_str = data\n"
             "extrefcount_sys = 0\nintrefcount_sys = 1\n\n" +
                 section(2, 1, 0, "zero_child = 0\n"));
  w.load(index);
  w.unlinkStruct(2);
  w.internalUnlink(0);
  EXPECT_EQ(1u, w.getStructs().size());
  w.save();
  w.load(index);
  EXPECT_EQ("data", w.getRelDataDir());
}

TEST_F(HostileTest, CountsAtTheirMaximumRefuseToRise) {
  write_file(index,
             header(10) + section(2, 1, UINT_MAX, "") + section(3, 1, 0, ""));
  w.load(index);
  std::shared_ptr<StructConfig> full = w.getStruct(2);
  std::shared_ptr<StructConfig> parent = w.getStruct(3);
  EXPECT_THROW_MSG(parent->addIntChild("c", full), "reference count overflow");
  EXPECT_FALSE(parent->items.count("c"));
  EXPECT_THROW_MSG(w.addLink(3, 2), "reference count overflow");
  EXPECT_EQ(UINT_MAX, full->intrefcount);
  // The still-named record survives the parent's release.
  w.unlinkStruct(3);
  EXPECT_EQ(full, w.getStruct(2));
}

TEST_F(HostileTest, HandlesKeptAcrossALoadTouchNothing) {
  w.init(index, "data");
  std::shared_ptr<StructConfig> old = w.newStruct();
  const std::string oldFile = old->newFile("f");
  write_file(oldFile, "old");
  w.save();
  // The same file, loaded again: record 2 is now another object.
  w.load(index);
  std::shared_ptr<StructConfig> live = w.getStruct(2);
  ASSERT_NE(old, live);
  std::shared_ptr<StructConfig> other = w.newStruct();
  EXPECT_THROW_MSG(old->eraseData(), "foreign record");
  EXPECT_THROW_MSG(old->eraseFile("f"), "foreign record");
  EXPECT_THROW_MSG(old->getFile("f"), "foreign record");
  EXPECT_THROW_MSG(old->addIntChild("c", other), "foreign record");
  EXPECT_THROW_MSG(old->newChildStruct("c"), "foreign record");
  EXPECT_THROW_MSG(old->newFile("g"), "foreign record");
  EXPECT_THROW_MSG(old->newTempStruct(), "foreign record");
  EXPECT_THROW_MSG(other->importcopy(old), "foreign record");
  EXPECT_THROW_MSG(old->importcopy(live), "foreign record");
  EXPECT_EQ("old", read_file(oldFile));
  EXPECT_EQ(0u, other->intrefcount);
  EXPECT_EQ(3u, w.getStructs().size());
  // Destroying it stays harmless, temporary mark and all.
  old->temporary = true;
  old.reset();
  EXPECT_EQ(live, w.getStruct(2));
  EXPECT_EQ("old", read_file(live->getFile("f")));
}

}  // namespace
