// SPDX-License-Identifier: MIT
#include "workspace/check.h"

#include <sys/stat.h>
#include <sys/time.h>  // utimes

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/workspace.h"

namespace {

using vorla::Finding;
using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::header;
using vorla_test::section;
using vorla_test::setAge;
using vorla_test::write_file;

class CheckTest : public ::testing::Test {
 protected:
  CheckTest() : index(dir.file("ws.ini")), data(dir.file("data")) {}

  void loadText(const std::string& text) {
    write_file(index, text);
    ws.load(index);
  }

  std::vector<Finding> findings() { return vorla::checkWorkspace(ws).findings; }

  // The findings of one kind.
  std::vector<Finding> only(Finding::Kind kind) {
    std::vector<Finding> out;
    for (const Finding& f : findings()) {
      if (f.kind == kind) out.push_back(f);
    }
    return out;
  }

  vorla_test::TempDir dir;
  std::string index;
  std::string data;
  SpaceMan ws;
};

TEST_F(CheckTest, WorkspaceBuiltBySavedLibraryCallsIsSound) {
  ws.init(index, "data");
  std::shared_ptr<StructConfig> a = ws.newStruct();
  write_file(a->newFile("pixels"), "abc");
  std::shared_ptr<StructConfig> kid = a->newChildStruct("kid");
  write_file(kid->newFile("raw_data"), "x");
  std::shared_ptr<StructConfig> b = ws.newStruct();
  b->addIntChild("shared", kid);
  ws.newTempStruct()->newFile("scratch");
  ws.save();
  EXPECT_TRUE(findings().empty());

  SpaceMan again;
  again.load(index);
  const vorla::CheckReport report = vorla::checkWorkspace(again);
  EXPECT_TRUE(report.findings.empty());
  EXPECT_EQ(4u, report.records);
  EXPECT_TRUE(report.dataDirExists);
}

TEST_F(CheckTest, DanglingChildAndExtchildItemsAreNamed) {
  loadText(header(9) +
           section(2, 1, 0, "kid_child = 99\nlink_extchild = 98,tag\n"));
  const std::vector<Finding> f = only(Finding::DANGLING_CHILD);
  ASSERT_EQ(2u, f.size());
  EXPECT_EQ(2u, f[0].id);
  EXPECT_EQ("kid", f[0].item);
  EXPECT_EQ(99u, f[0].target);
  EXPECT_EQ("link", f[1].item);
  EXPECT_EQ(98u, f[1].target);
}

TEST_F(CheckTest, CountMismatchComparesWithChildAndExtchildItems) {
  loadText(header(9) + section(2, 1, 0, "a_child = 3\nb_extchild = 4,t\n") +
           section(3, 0, 2, "") + section(4, 0, 1, "") + section(5, 1, 1, ""));
  const std::vector<Finding> f = only(Finding::COUNT_MISMATCH);
  ASSERT_EQ(2u, f.size());
  EXPECT_EQ(3u, f[0].id);
  EXPECT_EQ(2u, f[0].stored);
  EXPECT_EQ(1u, f[0].actual);
  EXPECT_EQ(5u, f[1].id);
  EXPECT_EQ(0u, f[1].actual);
}

TEST_F(CheckTest, UnkeptRecordIsOneNothingNamesWithoutExternalReference) {
  // 4 has no reference at all; 5 is kept by 4's child item, so only 4 is
  // reported (5 goes when 4 is released). Record 0 is never reported.
  loadText(
      "[0]\n$current_counter_uint64 = 9\n$reldatadir_str = data\n"
      "extrefcount_sys = 0\n\n" +
      section(2, 1, 0, "") + section(4, 0, 0, "c_child = 5\n") +
      section(5, 0, 1, ""));
  const std::vector<Finding> f = only(Finding::UNKEPT_RECORD);
  ASSERT_EQ(1u, f.size());
  EXPECT_EQ(4u, f[0].id);
  EXPECT_EQ(std::vector<unsigned>({4, 5}), vorla::unreachableRecords(ws));
}

TEST_F(CheckTest, CycleIsReportedOncePerGroupWithAPath) {
  loadText(header(9) + section(2, 1, 0, "a_child = 3\n") +
           section(3, 0, 2, "b_child = 4\n") +
           section(4, 0, 1, "back_child = 3\nup_child = 2\n") +
           section(6, 0, 1, "me_child = 6\n"));
  const std::vector<Finding> f = only(Finding::CYCLE);
  ASSERT_EQ(2u, f.size());
  EXPECT_EQ(2u, f[0].id);
  EXPECT_EQ("a", f[0].item);
  // Breadth first from 2: the shortest way back.
  EXPECT_EQ(std::vector<unsigned>({2, 3, 4, 2}), f[0].path);
  EXPECT_EQ(6u, f[1].id);
  EXPECT_EQ("me", f[1].item);
  EXPECT_EQ(std::vector<unsigned>({6, 6}), f[1].path);
  // 6 keeps only itself.
  EXPECT_EQ(std::vector<unsigned>({6}), vorla::unreachableRecords(ws));
}

TEST_F(CheckTest, ChainOfManyChildrenIsWalkedWithoutRecursion) {
  ws.init(index, "data");
  std::shared_ptr<StructConfig> rec = ws.newStruct();
  for (int i = 0; i < 100000; ++i) rec = rec->newChildStruct("next");
  EXPECT_TRUE(findings().empty());
}

TEST_F(CheckTest, FileFindingsMissingSharedAndOrphan) {
  loadText(
      header(9) +
      section(2, 1, 0,
              "a_file = a_2__1_\nb_file = b_2__2_\ngone_file = g_2__3_\n") +
      section(3, 1, 0, "same_file = a_2__1_\n"));
  write_file(data + "/a_2__1_", "a");
  write_file(data + "/b_2__2_", "b");
  write_file(data + "/lost_7__99_", "left by a crash");
  write_file(data + "/_tmp_0__5_", "a temporary file");
  write_file(data + "/notes.txt", "not a data file");
  ::mkdir((data + "/sub_1__1_").c_str(), 0755);

  const vorla::CheckReport report = vorla::checkWorkspace(ws);
  std::vector<std::string> seen;
  for (const Finding& f : report.findings) {
    seen.push_back(std::to_string(f.kind) + " " + std::to_string(f.id) + " " +
                   f.item + " " + f.file + " " + std::to_string(f.target));
  }
  const std::string missing = std::to_string(Finding::MISSING_FILE);
  const std::string shared = std::to_string(Finding::SHARED_FILE);
  const std::string orphan = std::to_string(Finding::ORPHAN_FILE);
  EXPECT_EQ(std::vector<std::string>({
                missing + " 2 gone g_2__3_ 0",
                shared + " 3 same a_2__1_ 2",
                orphan + " 0  _tmp_0__5_ 0",
                orphan + " 0  lost_7__99_ 0",
            }),
            seen);
  EXPECT_EQ(1u, report.foreignFiles);
}

TEST_F(CheckTest, StoredNameThatIsNotPlainIsRefusedByReaderAndFoundInMemory) {
  write_file(index, header(9) + section(2, 1, 0, "p_file = ../escape\n"));
  EXPECT_THROW_MSG(ws.load(index), "invalid file name");

  ws.init(index, "data");
  std::shared_ptr<StructConfig> rec = ws.newStruct();
  const char* bad[] = {"", ".", "..", "../x", "a/b", "a\\b"};
  for (const char* name : bad) {
    rec->items[std::string("f") + name] =
        StructConfig::Item(StructConfig::ITEM_FILE, std::string(name));
  }
  const std::vector<Finding> f = only(Finding::INVALID_FILE_NAME);
  ASSERT_EQ(6u, f.size());
  EXPECT_EQ("f", f[0].item);
  EXPECT_EQ("", f[0].file);
  EXPECT_EQ("f..", f[2].item);
  EXPECT_EQ("..", f[2].file);
  // None of them is also reported as missing.
  EXPECT_TRUE(only(Finding::MISSING_FILE).empty());
}

TEST_F(CheckTest, FindingsComeGroupedByKindThenId) {
  loadText(header(9) + section(5, 1, 0, "x_file = x_5__1_\n") +
           section(3, 1, 0, "k_child = 50\nx_file = x_3__1_\n") +
           section(4, 0, 0, ""));
  std::vector<std::pair<int, unsigned> > order;
  for (const Finding& f : findings()) order.emplace_back(f.kind, f.id);
  EXPECT_EQ(
      (std::vector<std::pair<int, unsigned> >{{Finding::DANGLING_CHILD, 3},
                                              {Finding::UNKEPT_RECORD, 4},
                                              {Finding::MISSING_FILE, 3},
                                              {Finding::MISSING_FILE, 5}}),
      order);
}

TEST_F(CheckTest, MissingDataDirectoryMakesEveryFileMissing) {
  loadText(header(9) + section(2, 1, 0, "p_file = p_2__1_\n"));
  ::rmdir(data.c_str());
  const vorla::CheckReport report = vorla::checkWorkspace(ws);
  EXPECT_FALSE(report.dataDirExists);
  ASSERT_EQ(1u, report.findings.size());
  EXPECT_EQ(Finding::MISSING_FILE, report.findings[0].kind);
}

TEST_F(CheckTest, DataDirectoryBesideIndexFileDoesNotCountIndexAsOrphan) {
  write_file(dir.file("idx_1__2_"),
             "[0]\n$current_counter_uint64 = 1\n$reldatadir_str = .\n"
             "extrefcount_sys = 1000\n\n");
  ws.load(dir.file("idx_1__2_"));
  EXPECT_TRUE(findings().empty());
}

TEST_F(CheckTest, FixInternalCountsSetsRecomputedCountsInMemory) {
  loadText(header(9) + section(2, 1, 0, "a_child = 3\nb_child = 3\n") +
           section(3, 0, 1, "") + section(4, 1, 3, ""));
  const std::vector<vorla::CountFix> fixes = vorla::fixInternalCounts(ws);
  ASSERT_EQ(2u, fixes.size());
  EXPECT_EQ(3u, fixes[0].id);
  EXPECT_EQ(1u, fixes[0].stored);
  EXPECT_EQ(2u, fixes[0].actual);
  EXPECT_EQ(4u, fixes[1].id);
  EXPECT_EQ(0u, ws.getStruct(4)->intrefcount);
  EXPECT_TRUE(findings().empty());
  EXPECT_TRUE(vorla::fixInternalCounts(ws).empty());
}

TEST_F(CheckTest, StatsCountItemsFilesAndOrphans) {
  loadText(header(9) +
           section(2, 1, 0,
                   "n_uint64 = 1\ns_str = t\na_file = a_2__1_\n"
                   "b_file = b_2__2_\nk_child = 3\n") +
           section(3, 0, 1, "a_file = a_2__1_\ne_extchild = 2,x\n"));
  write_file(data + "/a_2__1_", "12345");
  write_file(data + "/zz_9__9_", "123");
  const vorla::WorkspaceStats s = vorla::computeStats(ws);
  EXPECT_EQ(3u, s.records);
  EXPECT_EQ(2u, s.topLevel);
  EXPECT_EQ(2u, s.items[StructConfig::ITEM_UINT64]);  // n and the counter
  EXPECT_EQ(3u, s.items[StructConfig::ITEM_FILE]);
  EXPECT_EQ(1u, s.items[StructConfig::ITEM_CHILD]);
  EXPECT_EQ(1u, s.items[StructConfig::ITEM_EXTCHILD]);
  EXPECT_EQ(2u, s.files);  // a_2__1_ counted once
  EXPECT_EQ(1u, s.missingFiles);
  EXPECT_EQ(5u, s.fileBytes);
  EXPECT_EQ(1u, s.orphanFiles);
  EXPECT_EQ(3u, s.orphanBytes);
}

TEST_F(CheckTest, RemoveOrphanFileHonoursGraceAge) {
  loadText(header(9) + section(2, 1, 0, "a_file = a_2__1_\n"));
  write_file(data + "/a_2__1_", "named");
  write_file(data + "/old_3__1_", "old");
  write_file(data + "/new_3__2_", "new");
  setAge(data + "/a_2__1_", 7200);
  setAge(data + "/old_3__1_", 7200);
  setAge(data + "/new_3__2_", 60);

  const std::vector<vorla::OrphanFile> orphans = vorla::findOrphanFiles(ws);
  ASSERT_EQ(2u, orphans.size());
  EXPECT_EQ("new_3__2_", orphans[0].name);
  EXPECT_EQ("old_3__1_", orphans[1].name);
  EXPECT_EQ(3u, orphans[1].size);

  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_EQ(vorla::RemoveResult::TOO_YOUNG,
            vorla::removeOrphanFile(ws, orphans[0], now, 3600));
  EXPECT_EQ(vorla::RemoveResult::REMOVED,
            vorla::removeOrphanFile(ws, orphans[1], now, 3600));
  EXPECT_TRUE(exists(data + "/new_3__2_"));
  EXPECT_FALSE(exists(data + "/old_3__1_"));
  EXPECT_TRUE(exists(data + "/a_2__1_"));
  // Gone already: nothing left to do.
  EXPECT_EQ(vorla::RemoveResult::REMOVED,
            vorla::removeOrphanFile(ws, orphans[1], now, 3600));
  // Rewritten since it was listed: young again, so kept.
  setAge(data + "/new_3__2_", 0);
  EXPECT_EQ(vorla::RemoveResult::TOO_YOUNG,
            vorla::removeOrphanFile(ws, orphans[0], now + 3599, 3600));
}

TEST(CheckNameTest, DataFileNameForm) {
  const char* good[] = {"pixels_12__734_", "raw_data_3__1_", "_tmp_0__99_",
                        "_1__1_", "x_4294967295__2147483647_"};
  for (const char* name : good)
    EXPECT_TRUE(vorla::isDataFileName(name)) << name;
  const char* bad[] = {"",          "notes.txt",         "pixels_12_734_",
                       "p_12__734", "p_12__x_",          "p__734_",
                       "p_1___",    "p_12345678901__1_", "12__7_"};
  for (const char* name : bad)
    EXPECT_FALSE(vorla::isDataFileName(name)) << name;
}

TEST(CheckNameTest, PlainFileNames) {
  EXPECT_TRUE(vorla::isPlainFileName("a_1__2_"));
  EXPECT_TRUE(vorla::isPlainFileName("..."));
  EXPECT_TRUE(vorla::isPlainFileName(".hidden"));
  const char* bad[] = {"", ".", "..", "/abs", "a/b", "a\\b", "x/"};
  for (const char* name : bad)
    EXPECT_FALSE(vorla::isPlainFileName(name)) << name;
}

}  // namespace
