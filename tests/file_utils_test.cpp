#include "utils/file_utils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

using vorla_test::TempDir;

TEST(FileUtilsTest, PathnameIsEverythingBeforeTheLastSeparator) {
  EXPECT_EQ("a/b", utils::pathname("a/b/c"));
  EXPECT_EQ("a/b", utils::pathname("a/b/"));
  EXPECT_EQ("a", utils::pathname("a\\b"));
  EXPECT_EQ("a/b", utils::pathname("a/b\\c"));
  EXPECT_EQ("", utils::pathname("/x"));
  EXPECT_EQ("", utils::pathname("/"));
  EXPECT_EQ(".", utils::pathname("name"));
  EXPECT_EQ(".", utils::pathname(""));
}

TEST(FileUtilsTest, PathaddInsertsOneSlashUnlessThereIsASeparator) {
  EXPECT_EQ("a/b/c", utils::pathadd("a/b", "c"));
  EXPECT_EQ("a/b/c", utils::pathadd("a/b/", "c"));
  EXPECT_EQ("a\\c", utils::pathadd("a\\", "c"));
  EXPECT_EQ("/c", utils::pathadd("", "c"));
  EXPECT_EQ("a//c", utils::pathadd("a", "/c"));
  EXPECT_EQ("a/", utils::pathadd("a", ""));
  // As the workspace derives its data directory.
  EXPECT_EQ("/data", utils::pathadd(utils::pathname("/ws.ini"), "data"));
  EXPECT_EQ("./data", utils::pathadd(utils::pathname("ws.ini"), "data"));
}

TEST(FileUtilsTest, SplitextSplitsAtTheLastDotAnywhere) {
  typedef std::pair<std::string, std::string> Split;
  EXPECT_EQ(Split("a.tar", ".gz"), utils::splitext("a.tar.gz"));
  EXPECT_EQ(Split("", ".profile"), utils::splitext(".profile"));
  EXPECT_EQ(Split("file", "."), utils::splitext("file."));
  EXPECT_EQ(Split("name", ""), utils::splitext("name"));
  EXPECT_EQ(Split("dir", ".d/file"), utils::splitext("dir.d/file"));
  EXPECT_EQ('\0', utils::lastchr(""));
  EXPECT_EQ('c', utils::lastchr("abc"));
}

TEST(FileUtilsTest, ExistenceAndSize) {
  TempDir dir;
  EXPECT_TRUE(utils::file_exists(dir.path()));
  EXPECT_FALSE(utils::file_exists(dir.file("missing")));
  ASSERT_EQ(
      0, ::symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()));
  EXPECT_FALSE(utils::file_exists(dir.file("dangling")));

  EXPECT_EQ(0, utils::filesize(dir.file("missing")));
  vorla_test::write_file(dir.file("empty"), "");
  EXPECT_EQ(0, utils::filesize(dir.file("empty")));
  vorla_test::write_file(dir.file("five"), "12345");
  EXPECT_EQ(5, utils::filesize(dir.file("five")));
}

TEST(FileUtilsTest, CopyfileCopiesBytesAndPermissionBits) {
  TempDir dir;
  const std::string content("bytes\0and more", 14);
  vorla_test::write_file(dir.file("src"), content);
  ASSERT_EQ(0, ::chmod(dir.file("src").c_str(), 0640));
  utils::copyfile(dir.file("src"), dir.file("dst"));
  EXPECT_EQ(content, vorla_test::read_file(dir.file("dst")));
  struct stat st;
  ASSERT_EQ(0, ::stat(dir.file("dst").c_str(), &st));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(0640u & ~mask, st.st_mode & 07777u);

  vorla_test::write_file(dir.file("zero"), "");
  utils::copyfile(dir.file("zero"), dir.file("zero-copy"));
  EXPECT_TRUE(vorla_test::exists(dir.file("zero-copy")));
  EXPECT_EQ("", vorla_test::read_file(dir.file("zero-copy")));
}

TEST(FileUtilsTest, CopyfileFailuresCreateNothing) {
  TempDir dir;
  EXPECT_THROW_MSG(utils::copyfile(dir.file("missing"), dir.file("dst")),
                   "cannot open file");
  EXPECT_FALSE(vorla_test::exists(dir.file("dst")));
  vorla_test::write_file(dir.file("src"), "x");
  EXPECT_THROW_MSG(utils::copyfile(dir.file("src"), dir.file("no/dst")),
                   "cannot copy file");
}

TEST(FileUtilsTest, CopyfileThatEndsEarlyRemovesWhatItCreated) {
  TempDir dir;
  // A directory opens for reading but transfers nothing, like a source that
  // ends before its stated size.
  EXPECT_THROW_MSG(utils::copyfile(dir.file("data"), dir.file("dst")),
                   "cannot copy file");
  EXPECT_FALSE(vorla_test::exists(dir.file("dst")));
}

TEST(FileUtilsTest, OpenTempCreatesAUniqueFile) {
  TempDir dir;
  std::ofstream stream;
  const std::string name = utils::open_temp(stream, dir.file("x"));
  ASSERT_EQ(dir.file("x_").size() + 6, name.size());
  EXPECT_EQ(0u, name.find(dir.file("x_")));
  EXPECT_TRUE(stream.is_open());
  EXPECT_TRUE(vorla_test::exists(name));
  EXPECT_EQ(0, utils::filesize(name));

  std::ofstream other;
  EXPECT_EQ("", utils::open_temp(other, dir.file("missing/x")));
  EXPECT_FALSE(other.is_open());
}

}  // namespace
