// SPDX-License-Identifier: MIT
#include "utils/file_utils.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "utils/posix_file.h"

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

// The one directory maker: what it finds, makes and refuses.
TEST(FileUtilsTest, MakeDirectoriesMakesWhatIsMissingAndRefusesNonDirectories) {
  TempDir dir;
  vorla_test::write_file(dir.file("plain"), "x");
  struct Case {
    std::string path;
    bool parents;
    bool made;
    int err;
  } cases[] = {
      {dir.path(), false, true, 0},
      {dir.file("one"), false, true, 0},
      {dir.file("one"), false, true, 0},  // found the second time
      {dir.file("a/b/c"), false, false, ENOENT},
      {dir.file("a/b/c"), true, true, 0},
      {dir.file("plain"), true, false, ENOTDIR},
      {dir.file("plain/below"), true, false, ENOTDIR},
      {std::string(dir.file("nul")).append(1, '\0'), true, false, EINVAL},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(c.made, utils::make_directories(c.path, c.parents)) << c.path;
    struct stat st;
    if (c.made) {
      EXPECT_TRUE(::stat(c.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    } else {
      EXPECT_EQ(c.err, errno) << c.path;
    }
  }
  EXPECT_FALSE(vorla_test::exists(dir.file("a/b/c/x")));
  EXPECT_FALSE(vorla_test::exists(dir.file("nul")));
}

void on_signal(int) {}

// A read that a signal interrupts (a handler without SA_RESTART) is made
// again and gets the byte that the sender writes after its signals.
TEST(FileUtilsTest, RetryEintrMakesAnInterruptedCallAgain) {
  struct sigaction sa = {};
  struct sigaction former;
  sa.sa_handler = on_signal;
  ASSERT_EQ(0, ::sigaction(SIGUSR1, &sa, &former));
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    for (int i = 0; i < 3; ++i) {
      ::usleep(20000);
      ::kill(parent, SIGUSR1);
    }
    ::usleep(20000);
    ::_exit(::write(p[1], "x", 1) == 1 ? 0 : 1);
  }
  char c = 0;
  const ssize_t n = utils::retry_eintr([&] { return ::read(p[0], &c, 1); });
  int status = 0;
  ::waitpid(child, &status, 0);
  ::sigaction(SIGUSR1, &former, nullptr);
  ::close(p[0]);
  ::close(p[1]);
  EXPECT_EQ(1, n);
  EXPECT_EQ('x', c);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
