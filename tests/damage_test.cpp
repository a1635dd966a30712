// SPDX-License-Identifier: MIT
// Damaged index files as the check names them, and what the destructive
// operations keep: backups of the index file and the lost+found folder.

#include <sys/stat.h>
#include <unistd.h>  // symlink

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/check.h"
#include "workspace/file_names.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"

namespace {

using vorla::CheckReport;
using vorla::Finding;
using vorla::OrphanFile;
using vorla::RemoveResult;
using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::header;
using vorla_test::read_file;
using vorla_test::section;
using vorla_test::setAge;
using vorla_test::write_file;

class DamageTest : public ::testing::Test {
 protected:
  DamageTest() : index(dir.file("ws.ini")), data(dir.file("data")) {}

  // An album (2) with two photos (3, 5), each with a thumbnail (4, 6), and
  // a data file in every record; saved, and returned as the file's text.
  std::string album() {
    SpaceMan ws;
    ws.init(index, "data");
    std::shared_ptr<StructConfig> a = ws.newStruct();
    write_file(a->newFile("notes"), "notes");
    for (const char* name : {"p1", "p2"}) {
      std::shared_ptr<StructConfig> photo = a->newChildStruct(name);
      write_file(photo->newFile("pixels"), "pixels");
      write_file(photo->newChildStruct("thumb")->newFile("pixels"), "t");
    }
    ws.save();
    return read_file(index);
  }

  CheckReport checkText(const std::string& text) {
    write_file(index, text);
    SpaceMan ws;
    ws.load(index);
    return vorla::checkWorkspace(ws);
  }

  static std::size_t countOf(const CheckReport& r, Finding::Kind kind) {
    return static_cast<std::size_t>(
        std::count_if(r.findings.begin(), r.findings.end(),
                      [kind](const Finding& f) { return f.kind == kind; }));
  }

  static const Finding* first(const CheckReport& r, Finding::Kind kind) {
    for (const Finding& f : r.findings) {
      if (f.kind == kind) return &f;
    }
    return nullptr;
  }

  vorla_test::TempDir dir;
  std::string index;
  std::string data;
};

TEST_F(DamageTest, IndexCutShortLooksAtTheLastByteOnly) {
  write_file(index, "");
  EXPECT_FALSE(vorla::indexCutShort(index));
  write_file(index, "[0]\n");
  EXPECT_FALSE(vorla::indexCutShort(index));
  write_file(index, "[0]\nextref");
  EXPECT_TRUE(vorla::indexCutShort(index));
  try {
    vorla::indexCutShort(dir.file("gone.ini"));
    ADD_FAILURE() << "no error for a missing file";
  } catch (const vorla::Error& e) {
    EXPECT_EQ(vorla::Error::CANNOT_OPEN_FILE, e.code());
    EXPECT_EQ(dir.file("gone.ini"), e.path());
    EXPECT_EQ(ENOENT, e.sysErrno());
  }
}

TEST_F(DamageTest, SoundWorkspaceAndPlainFindingsAreNotDamage) {
  const std::string text = album();
  CheckReport r = checkText(text);
  EXPECT_TRUE(r.findings.empty());
  EXPECT_FALSE(r.damaged);
  // A wrong count and an orphan left by a crash are findings, not damage.
  std::string spoiled = text;
  spoiled.replace(spoiled.find("intrefcount_sys = 1"), 19,
                  "intrefcount_sys = 4");
  write_file(data + "/crash_9__1_", "x");
  r = checkText(spoiled);
  EXPECT_EQ(1u, countOf(r, Finding::COUNT_MISMATCH));
  EXPECT_EQ(1u, countOf(r, Finding::ORPHAN_FILE));
  EXPECT_FALSE(r.damaged);
}

TEST_F(DamageTest, CutAtSectionBoundaryLeavesDanglingChildrenAndOrphans) {
  const std::string text = album();
  // Records 4, 5 and 6 are gone, with a whole line at the end.
  const CheckReport r = checkText(text.substr(0, text.find("[4]")));
  EXPECT_TRUE(r.damaged);
  EXPECT_EQ(0u, countOf(r, Finding::CUT_SHORT));
  EXPECT_EQ(2u, countOf(r, Finding::DANGLING_CHILD));  // 2.p2, 3.thumb
  EXPECT_EQ(3u, countOf(r, Finding::ORPHAN_FILE));
  const Finding* missing = first(r, Finding::RECORDS_MISSING);
  ASSERT_NE(nullptr, missing);
  EXPECT_EQ(2u, missing->dangling);
  EXPECT_EQ(0u, missing->parentless);
  EXPECT_EQ(3u, missing->orphans);
  EXPECT_EQ(index, missing->file);
  // It sums the others up, so it comes last.
  EXPECT_EQ(Finding::RECORDS_MISSING, r.findings.back().kind);
}

TEST_F(DamageTest, CutMidLineIsCutShortWithWrongValue) {
  const std::string text = album();
  // The last data file name loses its tail.
  const std::size_t at = text.rfind("pixels_file = ") + 20;
  const CheckReport r = checkText(text.substr(0, at));
  EXPECT_TRUE(r.damaged);
  const Finding* cut = first(r, Finding::CUT_SHORT);
  ASSERT_NE(nullptr, cut);
  EXPECT_EQ(index, cut->file);
  EXPECT_EQ(1u, countOf(r, Finding::MISSING_FILE));
  EXPECT_EQ(1u, countOf(r, Finding::ORPHAN_FILE));
}

TEST_F(DamageTest, DeletedParentSectionLeavesParentlessRecords) {
  const std::string text = album();
  const std::size_t from = text.find("[2]");
  const std::string cut =
      text.substr(0, from) + text.substr(text.find("[3]", from));
  const CheckReport r = checkText(cut);
  // No child item names a missing record; its children lost their parent.
  EXPECT_EQ(0u, countOf(r, Finding::DANGLING_CHILD));
  const Finding* missing = first(r, Finding::RECORDS_MISSING);
  ASSERT_NE(nullptr, missing);
  EXPECT_EQ(2u, missing->parentless);
  EXPECT_EQ(1u, missing->orphans);
  EXPECT_TRUE(r.damaged);
}

TEST_F(DamageTest, DanglingChildAloneIsDamageWithoutRecordsMissing) {
  const CheckReport r =
      checkText(header(9) + section(2, 1, 0, "kid_child = 7\n"));
  EXPECT_TRUE(r.damaged);
  EXPECT_EQ(0u, countOf(r, Finding::RECORDS_MISSING));
}

TEST_F(DamageTest, CounterBelowHighestIdIsDamage) {
  const CheckReport r =
      checkText(header(3) + section(2, 1, 0, "") + section(8, 1, 0, ""));
  const Finding* behind = first(r, Finding::COUNTER_BEHIND);
  ASSERT_NE(nullptr, behind);
  EXPECT_EQ(0u, behind->id);
  EXPECT_EQ(3u, behind->stored);
  EXPECT_EQ(8u, behind->actual);
  EXPECT_TRUE(r.damaged);
  EXPECT_EQ(0u, countOf(checkText(header(8) + section(8, 1, 0, "")),
                        Finding::COUNTER_BEHIND));
}

TEST_F(DamageTest, BackupKeepsFormerContentAndNeverReplacesABackup) {
  album();
  const std::string before = read_file(index);
  EXPECT_EQ(index + ".bak", vorla::backupFile(index));
  write_file(index + ".bak.1", "someone else's");
  EXPECT_EQ(index + ".bak.2", vorla::backupFile(index));
  EXPECT_EQ("someone else's", read_file(index + ".bak.1"));
  // A save puts a new file in place; the backups keep the former one.
  SpaceMan ws;
  ws.load(index);
  ws.newStruct();
  ws.save();
  EXPECT_NE(before, read_file(index));
  EXPECT_EQ(before, read_file(index + ".bak"));
  EXPECT_EQ(before, read_file(index + ".bak.2"));
  try {
    vorla::backupFile(dir.file("gone.ini"));
    ADD_FAILURE() << "no error for a missing file";
  } catch (const vorla::Error& e) {
    EXPECT_EQ(vorla::Error::CANNOT_OPEN_FILE, e.code());
  }
}

TEST_F(DamageTest, BackupOfLinkedIndexKeepsTheTargetBesideTheLink) {
  album();
  const std::string link = dir.file("link.ini");
  ASSERT_EQ(0, ::symlink(index.c_str(), link.c_str()));
  const std::string kept = vorla::backupFile(link);
  EXPECT_EQ(link + ".bak", kept);
  struct stat st;
  ASSERT_EQ(0, ::lstat(kept.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(index), read_file(kept));
}

TEST_F(DamageTest, LostFoundSitsBesideTheDataDirectory) {
  const std::string idx = dir.file("sub/ws.ini");
  ::mkdir(dir.file("sub").c_str(), 0755);
  const std::vector<std::pair<std::string, std::string> > cases = {
      {"data", dir.file("sub/lost+found")},
      {"a/b", dir.file("sub/a/lost+found")},
      {"", dir.file("sub/lost+found")},
      {".", dir.file("sub/lost+found")},
      {"data/", dir.file("sub/lost+found")},
  };
  for (const auto& c : cases) {
    SpaceMan ws;
    ws.init(idx, c.first);
    EXPECT_EQ(c.second, vorla::lostFoundDirectory(ws)) << c.first;
  }
}

TEST_F(DamageTest, MoveIntoLostFoundKeepsEveryFileUnderAUniqueName) {
  const std::string lf = dir.file("lost+found");
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::string to;
  int err = 0;
  OrphanFile f;
  f.name = "x_2__1_";
  for (const char* content : {"first", "second", "third"}) {
    write_file(data + "/" + f.name, content);
    setAge(data + "/" + f.name, 100);
    ASSERT_EQ(RemoveResult::REMOVED,
              vorla::moveIfOld(data, f, lf, now, 60, &to, &err))
        << err;
    EXPECT_FALSE(exists(data + "/" + f.name));
  }
  EXPECT_EQ(lf + "/x_2__1_.2", to);
  EXPECT_EQ("first", read_file(lf + "/x_2__1_"));
  EXPECT_EQ("second", read_file(lf + "/x_2__1_.1"));
  EXPECT_EQ("third", read_file(lf + "/x_2__1_.2"));

  // Too young stays; a file gone already counts as done, moving nothing.
  write_file(data + "/" + f.name, "young");
  EXPECT_EQ(RemoveResult::TOO_YOUNG,
            vorla::moveIfOld(data, f, lf, now, 3600, &to, &err));
  EXPECT_TRUE(exists(data + "/" + f.name));
  f.name = "gone_2__2_";
  EXPECT_EQ(RemoveResult::REMOVED,
            vorla::moveIfOld(data, f, lf, now, 0, &to, &err));
  EXPECT_TRUE(to.empty());
}

TEST_F(DamageTest, MoveRefusesLostFoundThatIsALinkOrAFile) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  OrphanFile f;
  f.name = "x_2__1_";
  write_file(data + "/" + f.name, "keep me");
  ::mkdir(dir.file("elsewhere").c_str(), 0755);
  ASSERT_EQ(0, ::symlink(dir.file("elsewhere").c_str(),
                         dir.file("lost+found").c_str()));
  std::string to;
  int err = 0;
  EXPECT_EQ(
      RemoveResult::FAILED,
      vorla::moveIfOld(data, f, dir.file("lost+found"), now, 0, &to, &err));
  EXPECT_NE(0, err);
  write_file(dir.file("plain"), "");
  EXPECT_EQ(RemoveResult::FAILED,
            vorla::moveIfOld(data, f, dir.file("plain"), now, 0, &to, &err));
  EXPECT_EQ("keep me", read_file(data + "/" + f.name));
  EXPECT_FALSE(exists(dir.file("elsewhere/x_2__1_")));
}

// Every name the store puts on disk is read back as the kind it was built
// for, and as no other: gc and the search for sharers pass over backups,
// unfinished saves and data files by these tests alone.
TEST(FileNamesTest, EachNameIsReadBackAsWhatItWasBuiltForAndNoOther) {
  namespace names = vorla::file_names;
  enum Kind { OTHER, BACKUP, SAVE_TEMP, DATA_FILE };
  const struct {
    std::string name;
    Kind kind;
  } cases[] = {
      {names::backup("ws.ini", 0), BACKUP},
      {names::backup("ws.ini", 1), BACKUP},
      {names::backup("ws.ini", 12), BACKUP},
      {std::string(names::kSaveTempPrefix) + "a1B2c3", SAVE_TEMP},
      {names::owned(7, "pix") + "_123_", DATA_FILE},
      {names::owned(7, "") + "_0_", DATA_FILE},
      {names::temporary("t") + "_5_", DATA_FILE},
      {"ws.ini", OTHER},
      {"ws.bak.1a", OTHER},
      {"ws.bak.", OTHER},
      {std::string(names::kSaveTempPrefix) + "abc", OTHER},
      {"pix_7_123_", OTHER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.kind == BACKUP, names::is_backup(c.name)) << c.name;
    EXPECT_EQ(c.kind == SAVE_TEMP, names::is_save_temp(c.name)) << c.name;
    EXPECT_EQ(c.kind == DATA_FILE, names::matches(c.name)) << c.name;
  }
  EXPECT_EQ("dir/lost+found", names::lost_found_in("dir"));
  EXPECT_EQ("a.1", names::numbered("a", 1));
}

}  // namespace
