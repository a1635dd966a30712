// SPDX-License-Identifier: MIT
// The library's errors say what failed and where: a code for each message,
// the path, the errno of a failed system call, and the line of the index
// file that the reader refused.

#include "workspace/error.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "utils/file_utils.h"
#include "workspace/workspace.h"

namespace {

using vorla::Error;
using vorla_test::header;
using vorla_test::section;
using vorla_test::write_file;

// The error that `statement` throws; fails the test when it throws none.
template <typename F>
Error caught(F statement) {
  try {
    statement();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no vorla::Error";
  return Error(Error::UNREACHABLE);
}

TEST(ErrorTest, EveryCodeHasItsOwnMessageAndName) {
  std::set<std::string> messages, names;
  for (int c = 0; c < Error::kCodes; ++c) {
    const Error::Code code = static_cast<Error::Code>(c);
    const Error e(code);
    EXPECT_STREQ(Error::message(code), e.what());
    EXPECT_TRUE(messages.insert(e.what()).second) << e.what();
    const std::string name = Error::codeName(code);
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_EQ(std::string::npos, name.find_first_not_of("abcdefghijklmnopqrstu"
                                                        "vwxyz0123456789_"))
        << name;
  }
  // Callers that catch std::runtime_error and compare the text still work.
  try {
    throw Error(Error::CANNOT_FIND_ID);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("cannot find id", e.what());
  }
}

class ReaderErrorTest : public ::testing::Test {
 protected:
  // Loads an index file of `content` and returns what the load threw.
  Error loadError(const std::string& content) {
    write_file(index, content);
    vorla::SpaceMan ws;
    return caught([&] { ws.load(index); });
  }

  vorla_test::TempDir dir;
  const std::string index = dir.file("ws.ini");
};

TEST_F(ReaderErrorTest, NamesTheFileAndTheLineItRefused) {
  // header() is lines 1 to 6 and the section lines 7 to 11.
  const std::string good = header(5) + section(2, 1, 0, "a_uint64 = 1\n");
  struct Case {
    std::string lines;
    Error::Code code;
    size_t line;
  } cases[] = {
      {"no equals sign\n", Error::CANNOT_PARSE_LINE, 12},
      {"[3]\nn_uint64 = 12x\n", Error::CONVERSION_ERROR, 13},
      {"[x]\n", Error::CONVERSION_ERROR, 12},
      {"[3]\nk_weird = 1\n", Error::UNIDENTIFIED_SUFFIX, 13},
      {"[3]\nf_file = ../out\n", Error::INVALID_FILE_NAME, 13},
      {"[3]\nodd_sys = 1\n", Error::UNKNOWN_SYS_VAR, 13},
      {"[3]\n[1]\n\n[3]\n", Error::DUPLICATED_ENTRY, 15},
      {"[3]\nt_str = " + std::string(5000, 'x') + "\n", Error::LINE_TOO_LONG,
       13},
      // The last line, without a line feed, counts too.
      {"[3]\nt_str = " + std::string(5000, 'x'), Error::LINE_TOO_LONG, 13},
  };
  for (const Case& c : cases) {
    const Error e = loadError(good + c.lines);
    EXPECT_EQ(c.code, e.code()) << c.lines.substr(0, 40);
    EXPECT_EQ(c.line, e.line()) << c.lines.substr(0, 40);
    EXPECT_EQ(index, e.path());
    EXPECT_EQ(0, e.sysErrno());
  }
}

TEST_F(ReaderErrorTest, CountsLinesAcrossReadBuffers) {
  // Far more than one read buffer of short lines before the bad one.
  std::string content = header(3) + "[2]\n";
  size_t lines = 7;
  while (content.size() < 300000) {
    content += "t" + std::to_string(lines) + "_str = some text\n";
    ++lines;
  }
  content += "broken\n";
  EXPECT_EQ(lines + 1, loadError(content).line());
}

TEST_F(ReaderErrorTest, ARecordThatIsNotInTheFileHasNoLine) {
  const Error e = loadError(section(2, 1, 0, ""));
  EXPECT_EQ(Error::CANNOT_FIND_GROUP_0, e.code());
  EXPECT_EQ(index, e.path());
  EXPECT_EQ(0u, e.line());
}

TEST_F(ReaderErrorTest, LinesFromElsewhereNameNoFile) {
  vorla::SpaceMan ws;
  ws.init(index, "data");
  std::shared_ptr<vorla::StructConfig> rec = ws.newStruct();
  const Error e = caught([&] { rec->import_kv("n_uint64", "twelve"); });
  EXPECT_EQ(Error::CONVERSION_ERROR, e.code());
  EXPECT_EQ("", e.path());
  EXPECT_EQ(0u, e.line());
}

TEST_F(ReaderErrorTest, SystemFailuresCarryTheirErrno) {
  vorla::SpaceMan ws;
  Error e = caught([&] { ws.load(dir.file("missing.ini")); });
  EXPECT_EQ(Error::CANNOT_OPEN_FILE, e.code());
  EXPECT_EQ(ENOENT, e.sysErrno());
  EXPECT_EQ(dir.file("missing.ini"), e.path());
  // A directory opens, and its first read fails.
  e = caught([&] { ws.load(dir.file("data")); });
  EXPECT_EQ(Error::CANNOT_OPEN_FILE, e.code());
  EXPECT_EQ(EISDIR, e.sysErrno());

  ws.init(index, "data");
  e = caught([&] { ws.save(dir.file("data")); });
  EXPECT_EQ(Error::CANNOT_WRITE_FILE, e.code());
  EXPECT_EQ(EISDIR, e.sysErrno());
  EXPECT_EQ(dir.file("data"), e.path());
  e = caught([&] { ws.save(dir.file("nowhere/ws.ini")); });
  EXPECT_EQ(Error::CANNOT_WRITE_FILE, e.code());
  EXPECT_EQ(ENOENT, e.sysErrno());
}

TEST_F(ReaderErrorTest, CopiesNameTheFileThatFailed) {
  Error e =
      caught([&] { utils::copyfile(dir.file("gone"), dir.file("data/copy")); });
  EXPECT_EQ(Error::CANNOT_OPEN_FILE, e.code());
  EXPECT_EQ(dir.file("gone"), e.path());
  EXPECT_EQ(ENOENT, e.sysErrno());
  write_file(dir.file("src"), "content");
  e = caught([&] { utils::copyfile(dir.file("src"), dir.file("no/copy")); });
  EXPECT_EQ(Error::CANNOT_COPY_FILE, e.code());
  EXPECT_EQ(dir.file("no/copy"), e.path());
  EXPECT_EQ(ENOENT, e.sysErrno());
  // A source refused for its kind, not by the system.
  e = caught([&] { utils::copyfile(dir.file("data"), dir.file("copy")); });
  EXPECT_EQ(Error::CANNOT_COPY_FILE, e.code());
  EXPECT_EQ(0, e.sysErrno());
}

TEST_F(ReaderErrorTest, ConflictsAreErrorsWithTheirCode) {
  { vorla::SpaceMan().init(index, "data"); }
  vorla::SpaceMan b;
  b.load(index);
  // Another process saves after b has read the file.
  const pid_t child = ::fork();
  if (child == 0) {
    vorla::SpaceMan c;
    c.load(index);
    c.save();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_EQ(0, status);
  const Error e = caught([&] { b.save(); });
  EXPECT_EQ(Error::CHANGED_ON_DISK, e.code());
  EXPECT_EQ(index, e.path());
}

}  // namespace
