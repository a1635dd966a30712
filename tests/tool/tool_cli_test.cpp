// SPDX-License-Identifier: MIT
// The vorla program as a user runs it: output, exit codes and what it does
// to the files. The path of the program comes from the build
// (VORLA_TOOL_PATH), and so does the version it must report (VORLA_VERSION).

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>  // utimes
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/workspace.h"

namespace {

using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::header;
using vorla_test::read_file;
using vorla_test::section;
using vorla_test::setAge;
using vorla_test::write_file;

struct Result {
  int status;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs the tool with `args`, stdin closed, output captured in `dir`.
Result run(const std::string& dir, const std::vector<std::string>& args) {
  const std::string outPath = dir + "/.stdout", errPath = dir + "/.stderr";
  std::vector<char*> argv;
  std::string program = VORLA_TOOL_PATH;
  argv.push_back(&program[0]);
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.out = read_file(outPath);
  r.err = read_file(errPath);
  return r;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Whether `text` is valid UTF-8 without any control character but the line
// break: nothing in it can act on a terminal.
bool terminalSafe(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
      ++i;
      continue;
    }
    const std::size_t len = c >= 0xf0 && c <= 0xf4   ? 4
                            : c >= 0xe0 && c <= 0xef ? 3
                            : c >= 0xc2 && c <= 0xdf ? 2
                                                     : 0;
    if (len == 0 || i + len > text.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
        return false;
      }
    }
    // C1 controls, U+0080 to U+009F.
    if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      return false;
    }
    i += len;
  }
  return true;
}

std::size_t lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// A strict JSON validator (RFC 8259), including the UTF-8 of the text: the
// tool's JSON must be readable by any parser.
class JsonValidator {
 public:
  explicit JsonValidator(const std::string& text) : s(text), i(0) {}

  bool valid() {
    ws();
    if (!value(0)) return false;
    ws();
    return i == s.size();
  }

 private:
  void ws() {
    while (i < s.size() &&
           (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) {
      ++i;
    }
  }
  bool lit(const char* word) {
    const std::string w = word;
    if (s.compare(i, w.size(), w) != 0) return false;
    i += w.size();
    return true;
  }
  bool value(int depth) {
    if (i >= s.size() || depth > 64) return false;
    switch (s[i]) {
      case '{':
        return container(depth, '}', true);
      case '[':
        return container(depth, ']', false);
      case '"':
        return string();
      case 't':
        return lit("true");
      case 'f':
        return lit("false");
      case 'n':
        return lit("null");
      default:
        return number();
    }
  }
  bool container(int depth, char close, bool object) {
    ++i;
    ws();
    if (i < s.size() && s[i] == close) {
      ++i;
      return true;
    }
    while (true) {
      ws();
      if (object) {
        if (!string()) return false;
        ws();
        if (i >= s.size() || s[i++] != ':') return false;
        ws();
      }
      if (!value(depth + 1)) return false;
      ws();
      if (i >= s.size()) return false;
      if (s[i] == close) {
        ++i;
        return true;
      }
      if (s[i++] != ',') return false;
    }
  }
  bool number() {
    const std::size_t start = i;
    if (i < s.size() && s[i] == '-') ++i;
    if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) {
      return false;
    }
    if (s[i] == '0' && i + 1 < s.size() &&
        isdigit(static_cast<unsigned char>(s[i + 1]))) {
      return false;
    }
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
  }
  bool string() {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    while (i < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i;
        if (i >= s.size()) return false;
        const char e = s[i++];
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++i) {
            if (i >= s.size() || !isxdigit(static_cast<unsigned char>(s[i]))) {
              return false;
            }
          }
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return false;
        }
        continue;
      }
      if (c < 0x80) {
        ++i;
        continue;
      }
      // A UTF-8 sequence: lead byte, then continuation bytes, shortest form.
      int len = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
      if (len == 0 || c > 0xf4 || i + len > s.size()) return false;
      uint32_t cp = c & (0xff >> (len + 1));
      for (int k = 1; k < len; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xc0) != 0x80) return false;
        cp = (cp << 6) | (d & 0x3f);
      }
      if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
          cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
        return false;
      }
      i += len;
    }
    return false;
  }

  const std::string& s;
  std::size_t i;
};

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() : index(dir.file("ws.ini")), data(dir.file("data")) {}

  Result vorla(const std::vector<std::string>& args) {
    return run(dir.path(), args);
  }

  // A small sound workspace made through the library: record 2 with a data
  // file and a child (3) with its own data file.
  void makeSound() {
    SpaceMan ws;
    ws.init(index, "data");
    std::shared_ptr<StructConfig> a = ws.newStruct();
    a->setType("album");
    write_file(a->newFile("cover"), "12345");
    std::shared_ptr<StructConfig> kid = a->newChildStruct("kid");
    kid->setType("photo");
    write_file(kid->newFile("pixels"), "abc");
    ws.save();
  }

  vorla_test::TempDir dir;
  std::string index;
  std::string data;
};

TEST_F(ToolTest, HelpIsThereForEveryCommand) {
  Result r = vorla({"--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.out, "usage: vorla COMMAND"));
  for (const char* cmd : {"init", "show", "check", "gc", "copy", "stats"}) {
    r = vorla({cmd, "--help"});
    EXPECT_EQ(0, r.status) << cmd;
    EXPECT_EQ(0u, r.out.find(std::string("usage: vorla ") + cmd)) << r.out;
    EXPECT_EQ("", r.err);
  }
  EXPECT_EQ(r.out, vorla({"help", "stats"}).out);
}

TEST_F(ToolTest, VersionIsTheProjectVersion) {
  const Result r = vorla({"--version"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("vorla " VORLA_VERSION "\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST_F(ToolTest, UsageErrorsAreOneLineAndExitTwo) {
  const std::vector<std::vector<std::string> > wrong = {
      {},
      {"frobnicate"},
      {"show"},
      {"check", "a", "b"},
      {"show", "--bogus", "x"},
      {"gc", "--grace"},
      {"gc", "--grace", "soon", "x"},
      {"show", "x", "12x"},
      {"copy", "a", "4294967296", "b"},
  };
  for (const auto& args : wrong) {
    const Result r = vorla(args);
    EXPECT_EQ(2, r.status) << (args.empty() ? "" : args[0]);
    EXPECT_EQ("", r.out);
    if (!args.empty()) {
      EXPECT_EQ(1u, lines(r.err)) << r.err;
    }
  }
}

TEST_F(ToolTest, BadIndexFileGivesOneLineNamingFileLineAndMessage) {
  write_file(dir.file("noeq.ini"),
             header(1) + "[2]\nthis line has no equals\n");
  write_file(dir.file("nozero.ini"), section(2, 1, 0, ""));
  write_file(dir.file("dup.ini"),
             header(1) + section(2, 1, 0, "") + section(2, 1, 0, ""));
  write_file(dir.file("conv.ini"),
             header(1) + section(2, 1, 0, "n_uint64 = 12x\n"));
  // Reader errors name the line, I/O errors the system's reason.
  const std::vector<std::pair<std::string, std::string> > cases = {
      {dir.file("missing.ini"),
       ": cannot open file: No such file or directory"},
      {dir.file("noeq.ini"), ":8: cannot parse this line"},
      {dir.file("nozero.ini"), ": cannot find group 0"},
      {dir.file("dup.ini"), ":11: duplicated entry"},
      {dir.file("conv.ini"), ":8: conversion error"},
  };
  for (const auto& c : cases) {
    for (const char* cmd : {"show", "check", "gc", "stats"}) {
      const Result r = vorla({cmd, c.first});
      EXPECT_EQ(3, r.status) << cmd << " " << c.first;
      EXPECT_EQ("vorla: " + c.first + c.second + "\n", r.err);
      EXPECT_EQ("", r.out);
    }
    const Result r = vorla({"copy", c.first, "2", c.first});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("vorla: " + c.first + c.second + "\n", r.err);
  }
}

TEST_F(ToolTest, InitWritesWorkspaceAndCreatesDataDirectory) {
  Result r = vorla({"init", index, "files/deep"});
  EXPECT_EQ(0, r.status) << r.err;
  struct stat st;
  ASSERT_EQ(0, ::stat(dir.file("files/deep").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  SpaceMan ws;
  ws.load(index);
  EXPECT_EQ("files/deep", ws.getRelDataDir());
  EXPECT_EQ(1u, ws.getStructs().size());

  // An existing workspace is not overwritten by accident.
  const std::string before = read_file(index);
  r = vorla({"init", index});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(contains(r.err, "--force"));
  EXPECT_EQ(before, read_file(index));
  EXPECT_EQ(0, vorla({"init", "--force", index}).status);
  EXPECT_TRUE(contains(read_file(index), "$reldatadir_str = data\n"));

  EXPECT_EQ(0, vorla({"init", dir.file("new/dir/ws.ini")}).status);
  EXPECT_TRUE(exists(dir.file("new/dir/data")));
  r = vorla({"init", index + "/ws.ini"});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("vorla: " + index + ": not a directory\n", r.err);
}

TEST_F(ToolTest, CheckExitsZeroOnSoundAndOneWithEveryFindingNamed) {
  makeSound();
  Result r = vorla({"check", index});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ(index + ": 3 records, sound\n", r.out);

  // A hand-broken workspace of its own, away from the sound one's files.
  ::mkdir(dir.file("b").c_str(), 0755);
  ::mkdir(dir.file("b/data").c_str(), 0755);
  const std::string broken = dir.file("b/ws.ini");
  write_file(broken,
             header(20) +
                 section(2, 1, 0,
                         "kid_child = 99\nloop_child = 5\n"
                         "p_file = p_2__1_\nq_file = gone_2__2_\n") +
                 section(3, 0, 2, "") +                  // unkept, counts
                 section(5, 0, 1, "back_child = 6\n") +  // cycle 5 -> 6 -> 5
                 section(6, 0, 1, "back_child = 5\n") +
                 section(7, 1, 0, "same_file = p_2__1_\n"));
  write_file(dir.file("b/data/p_2__1_"), "p");
  write_file(dir.file("b/data/lost_9__4_"), "orphan");
  r = vorla({"check", broken});
  EXPECT_EQ(1, r.status);
  const char* expected[] = {
      "dangling-child: record 2, item \"kid\": names record 99, which does "
      "not exist\n",
      "count-mismatch: record 3: internal count is 2, but 0 child items name "
      "it\n",
      "count-mismatch: record 5: internal count is 1, but 2 child items name "
      "it\n",
      "unkept-record: record 3: no external reference and no child item keeps "
      "it\n",
      "cycle: record 5, item \"back\": child items lead back: 5 -> 6 -> 5\n",
      "missing-file: record 2, item \"q\": data file gone_2__2_ is missing\n",
      "shared-file: record 7, item \"same\": data file p_2__1_ is also named "
      "by record 2\n",
      "orphan-file: data file lost_9__4_ is named by no record\n",
      "records-missing: records appear to be missing: 1 child item names a "
      "missing record, 1 record lost the record that named it, 1 orphan data "
      "file may hold their data: keep them\n",
      ": 6 records, 9 findings; the index file looks damaged",
  };
  std::size_t at = 0;
  for (const char* line : expected) {
    const std::size_t found = r.out.find(line, at);
    EXPECT_NE(std::string::npos, found) << line << "in\n" << r.out;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(10u, lines(r.out));
}

TEST_F(ToolTest, CheckReportsStoredNameThatIsNotPlainFromTheReader) {
  write_file(index,
             header(3) + section(2, 1, 0, "p_file = ../../etc/passwd\n"));
  const Result r = vorla({"check", index});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.out.find("invalid-file-name: " + index + ": ")) << r.out;
  EXPECT_TRUE(contains(r.out, "refuses to load")) << r.out;
  // The other commands cannot work on such a file at all.
  EXPECT_EQ(3, vorla({"show", index}).status);
  EXPECT_EQ(3, vorla({"gc", "--delete", index}).status);
}

TEST_F(ToolTest, FixCountsSavesRecomputedCountsAndSaysWhat) {
  makeSound();
  {
    // The program that spoils the count lets the workspace go before the
    // tool writes it.
    SpaceMan spoiler;
    spoiler.load(index);
    spoiler.getStruct(3)->intrefcount = 4;
    spoiler.save();
  }
  SpaceMan ws;
  Result r = vorla({"check", "--fix-counts", index});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(contains(r.out, "fixed: record 3: internal count 4 -> 1\n"));
  EXPECT_TRUE(contains(r.out, "sound\n"));
  ws.load(index);
  EXPECT_EQ(1u, ws.getStruct(3)->intrefcount);
  // Nothing more to fix: the file is not written again.
  const std::string before = read_file(index);
  r = vorla({"check", "--fix-counts", index});
  EXPECT_FALSE(contains(r.out, "fixed"));
  EXPECT_EQ(before, read_file(index));
}

TEST_F(ToolTest, GcDeletesExactlyOrphansOlderThanGraceAge) {
  makeSound();
  SpaceMan ws;
  ws.load(index);
  const std::string named = ws.getStruct(2)->getFile("cover");
  setAge(named, 90000);
  const std::string oldOrphan = data + "/old_4__1_";
  const std::string oldTemp = data + "/_tmp_0__7_";
  const std::string youngOrphan = data + "/young_4__2_";
  const std::string borderline = data + "/edge_4__3_";
  const std::string foreign = data + "/README";
  for (const std::string& p :
       {oldOrphan, oldTemp, youngOrphan, borderline, foreign}) {
    write_file(p, "x");
  }
  setAge(oldOrphan, 7200);
  setAge(oldTemp, 86400 * 3);
  setAge(youngOrphan, 30);
  setAge(borderline, 3000);
  setAge(foreign, 90000);

  // Listing deletes nothing.
  Result r = vorla({"gc", index});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.out, "4 orphan data files"));
  EXPECT_TRUE(contains(r.out, "2 older than the grace age")) << r.out;
  EXPECT_TRUE(exists(oldOrphan) && exists(youngOrphan));

  r = vorla({"gc", "--delete", index});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(exists(oldOrphan));
  EXPECT_FALSE(exists(oldTemp));
  EXPECT_TRUE(exists(youngOrphan));
  EXPECT_TRUE(exists(borderline));
  EXPECT_TRUE(exists(foreign));
  EXPECT_TRUE(exists(named));
  EXPECT_TRUE(exists(ws.getStruct(3)->getFile("pixels")));
  EXPECT_TRUE(contains(r.out, "moved old_4__1_ to " + dir.file("lost+found")))
      << r.out;
  EXPECT_TRUE(exists(dir.file("lost+found/old_4__1_")));
  EXPECT_TRUE(contains(r.out, "kept young_4__2_"));

  // A shorter grace age reaches the borderline file, not the young one.
  r = vorla({"gc", "--delete", "--grace=40m", index});
  EXPECT_EQ(0, r.status);
  EXPECT_FALSE(exists(borderline));
  EXPECT_TRUE(exists(youngOrphan));
  r = vorla({"gc", "--delete", "--grace", "0", index});
  EXPECT_FALSE(exists(youngOrphan));
  EXPECT_TRUE(exists(foreign) && exists(named));
  EXPECT_EQ(0, vorla({"check", index}).status);
}

TEST_F(ToolTest, GcDeletesWhatKilledSavesLeftBesideTheIndex) {
  makeSound();
  const std::string old = dir.file(".vorla-a1B2c3");
  const std::string young = dir.file(".vorla-d4E5f6");
  const std::string other = dir.file(".vorla-notmine");
  for (const std::string& p : {old, young, other}) write_file(p, "partial");
  setAge(old, 7200);
  setAge(young, 30);
  setAge(other, 7200);

  Result r = vorla({"gc", index});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.out, "2 unfinished saves")) << r.out;
  EXPECT_TRUE(exists(old));

  r = vorla({"gc", "--delete", index});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(exists(old));
  EXPECT_TRUE(exists(young));
  EXPECT_TRUE(exists(other));
  EXPECT_EQ(0, vorla({"check", index}).status);
}

TEST_F(ToolTest, ShowDrawsTreesAndListsUnreachedRecordsApart) {
  write_file(index, header(20) +
                        section(2, 1, 0,
                                "a_child = 3\nb_child = 3\nc_child = 99\n"
                                "p_file = p_2__1_\nq_file = q_2__2_\n") +
                        section(3, 0, 2, "n_uint64 = 7\n") +
                        section(4, 0, 0, "d_child = 5\n") +
                        section(5, 0, 1, ""));
  write_file(data + "/p_2__1_", "12345");
  Result r = vorla({"show", index});
  EXPECT_EQ(0, r.status) << r.err;
  const char* expected[] = {
      "[2] (no type) (ext 1, int 0)\n",
      "    a = child [3] (no type) (ext 0, int 2)\n",
      "        n = 7\n",
      "    b = child [3] (shown above)\n",
      "    c = child [99] (no such record)\n",
      "    p = file p_2__1_ (5 B)\n",
      "    q = file q_2__2_ (missing)\n",
      "not reached from any record with an external reference:\n[4]",
      "    d = child [5] (no type) (ext 0, int 1)\n",
  };
  std::size_t at = 0;
  for (const char* line : expected) {
    const std::size_t found = r.out.find(line, at);
    EXPECT_NE(std::string::npos, found) << line << "in\n" << r.out;
    if (found != std::string::npos) at = found;
  }

  r = vorla({"show", index, "3"});
  EXPECT_EQ("[3] (no type) (ext 0, int 2)\n    n = 7\n", r.out);
  r = vorla({"show", index, "42"});
  EXPECT_EQ(4, r.status);
  EXPECT_EQ("vorla: " + index + ": record 42: cannot find id\n", r.err);
}

TEST_F(ToolTest, ShowJsonIsValidForAnyBytes) {
  SpaceMan ws;
  ws.init(index, "data");
  std::shared_ptr<StructConfig> rec = ws.newStruct();
  rec->setType("t\"y\\pe");
  rec->addStr("ctl", std::string("a\x01z\tq\x7f\xc2\x9b", 8));
  rec->addStr("bad", "\xff\xfe\xc3\x28\xed\xa0\x80\xf4\x90\x80\x80!");
  rec->addStr("utf8", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  rec->addStr("q\"uote", "\\");
  rec->addUInt64("big", 18446744073709551615ull);
  write_file(rec->newFile("f"), "1234");
  rec->newChildStruct("kid")->newFile("gone");
  ws.save();

  Result r = vorla({"show", "--json", index});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(JsonValidator(r.out).valid()) << r.out;
  EXPECT_TRUE(contains(r.out, "\"a\\u0001z\\tq\\u007f\\u009b\""));
  EXPECT_TRUE(contains(r.out,
                       "\"\\u00ff\\u00fe\\u00c3(\\u00ed\\u00a0\\u0080"
                       "\\u00f4\\u0090\\u0080\\u0080!\""))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""));
  EXPECT_TRUE(contains(r.out,
                       "{\"name\":\"q\\\"uote\",\"type\":\"str\","
                       "\"value\":\"\\\\\"}"));
  EXPECT_TRUE(contains(r.out, "\"value\":18446744073709551615"));
  EXPECT_TRUE(contains(r.out, "\"size\":4,\"missing\":false"));
  EXPECT_TRUE(contains(r.out, "\"size\":null,\"missing\":true"));
  EXPECT_TRUE(contains(r.out,
                       "{\"name\":\"kid\",\"type\":\"child\","
                       "\"value\":3,\"dangling\":false}"));

  r = vorla({"show", "--json", index, "3"});
  EXPECT_TRUE(JsonValidator(r.out).valid()) << r.out;
  EXPECT_TRUE(contains(r.out, "\"records\":[\n{\"id\":3,"));
  EXPECT_FALSE(contains(r.out, "\"id\":2,"));

  EXPECT_TRUE(JsonValidator(vorla({"stats", "--json", index}).out).valid());
  EXPECT_FALSE(JsonValidator("{\"a\":\"\xff\"}").valid());
  EXPECT_FALSE(JsonValidator("{\"a\":\"\x01\"}").valid());
}

TEST_F(ToolTest, CopyImportsTreeWithFilesAndSaves) {
  makeSound();
  const std::string other = dir.file("other/ws.ini");
  ASSERT_EQ(0, vorla({"init", other}).status);
  Result r = vorla({"copy", index, "2", other});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("2\n", r.out);
  SpaceMan dst;
  dst.load(other);
  EXPECT_EQ("12345", read_file(dst.getStruct(2)->getFile("cover")));
  EXPECT_EQ(
      "abc",
      read_file(dst.getStruct(2)->getChildStruct("kid")->getFile("pixels")));
  EXPECT_EQ(0, vorla({"check", other}).status);

  // Within one workspace.
  r = vorla({"copy", index, "3", index});
  EXPECT_EQ("4\n", r.out);
  EXPECT_EQ(0, vorla({"check", index}).status);

  const std::string before = read_file(other);
  r = vorla({"copy", index, "77", other});
  EXPECT_EQ(4, r.status);
  EXPECT_EQ("vorla: " + index + ": record 77: cannot find id\n", r.err);
  EXPECT_EQ(before, read_file(other));
}

TEST_F(ToolTest, FailedCopyLeavesNeitherRecordNorDataFiles) {
  // The source's second file item names a data file that is not there, so
  // the copy fails after its first file was made.
  write_file(
      index,
      header(5) + section(2, 1, 0, "a_file = a_2__1_\nb_file = b_2__2_\n"));
  write_file(data + "/a_2__1_", "a");
  const std::string other = dir.file("other/ws.ini");
  ASSERT_EQ(0, vorla({"init", other}).status);
  const std::string before = read_file(other);
  const Result r = vorla({"copy", index, "2", other});
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("vorla: " + data +
                "/b_2__2_: record 2: cannot open file: No such file or "
                "directory\n",
            r.err);
  EXPECT_EQ(before, read_file(other));
  const Result gc = vorla({"gc", other});
  EXPECT_TRUE(contains(gc.out, "0 orphan data files")) << gc.out;

  // Within a workspace whose counter is behind its highest id: record 4
  // lies above the counter, and its data file must survive the failure.
  write_file(index,
             header(3) +
                 section(2, 1, 0, "a_file = a_2__1_\nb_file = b_2__2_\n") +
                 section(4, 1, 0, "f_file = f_4__1_\n"));
  write_file(data + "/f_4__1_", "f");
  const std::string mine = read_file(index);
  EXPECT_EQ(3, vorla({"copy", index, "2", index}).status);
  EXPECT_EQ(mine, read_file(index));
  EXPECT_EQ("f", read_file(data + "/f_4__1_"));
  EXPECT_EQ("a", read_file(data + "/a_2__1_"));
  EXPECT_TRUE(contains(vorla({"gc", index}).out, "0 orphan data files"));
}

TEST_F(ToolTest, StatsCountsRecordsItemsAndFiles) {
  makeSound();
  write_file(data + "/x_9__9_", "1234567");
  const Result r = vorla({"stats", "--json", index});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("{\"index\":\"" + index +
                "\",\"records\":3,\"top_level\":2,\"items\":{\"uint64\":1,"
                "\"str\":2,\"file\":2,\"child\":1,\"extchild\":0},\"files\":2,"
                "\"missing_files\":0,\"file_bytes\":8,\"orphan_files\":1,"
                "\"orphan_bytes\":7}\n",
            r.out);
  EXPECT_TRUE(contains(vorla({"stats", index}).out, "records       3"));
}

TEST_F(ToolTest, TextOutputEscapesControlCharactersFromFilesAndPaths) {
  // ESC starting a colour sequence, CR, BEL, DEL, C1 CSI as a lone byte and
  // in its UTF-8 form: in a folder name, the data directory name, a type
  // name, an item name, a text and a file name.
  const std::string evil = "\x1b[31m\r\x07\x7f\x9b\xc2\x9b";
  const std::string shown = "\\x1b[31m\\r\\x07\\x7f\\x9b\\xc2\\x9b";
  // Data file names hold no line break, or they could not be copied.
  const std::string file = "f\x1b[31m\x07\x7f\x9b\xc2\x9b_2__1_";
  const std::string shownFile = "f\\x1b[31m\\x07\\x7f\\x9b\\xc2\\x9b_2__1_";
  const std::string folder = dir.file("ws" + evil);
  const std::string shownFolder = dir.path() + "/ws" + shown;
  const std::string hostile = folder + "/ws.ini";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, ::mkdir((folder + "/d" + evil).c_str(), 0755));
  write_file(hostile,
             "[0]\n$current_counter_uint64 = 9\n$reldatadir_str = d" + evil +
                 "\nextrefcount_sys = 1000\nstructtype_sys = system_record\n\n"
                 "[2]\nstructtype_sys = type" +
                 evil + "end\nf_file = " + file + "\nkid_child = 3\nname" +
                 evil + "_str = text" + evil + "end\n" +
                 "extrefcount_sys = 1\nintrefcount_sys = 0\n\n" +
                 section(3, 0, 1,
                         "structtype_sys = album\nn_uint64 = 7\n"
                         "title_str = Gr\xc3\xbc\xc3\x9f"
                         "e, world\n"));
  write_file(folder + "/d" + evil + "/" + file, "abc");
  write_file(folder + "/d" + evil + "/o" + evil + "_9__9_", "orphan");

  std::vector<Result> results;
  Result r = vorla({"show", hostile});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string expected[] = {
      "workspace \"" + shownFolder + "/ws.ini\", data directory \"" +
          shownFolder + "/d" + shown + "\", counter 9, 3 records\n",
      "[2] \"type" + shown + "end\" (ext 1, int 0)\n",
      "    f = file \"" + shownFile + "\" (3 B)\n",
      // Friendly names and texts as they always were.
      "    kid = child [3] album (ext 0, int 1)\n"
      "        n = 7\n"
      "        title = \"Gr\xc3\xbc\xc3\x9f"
      "e, world\"\n",
      "    \"name" + shown + "\" = \"text" + shown + "end\"\n",
  };
  std::size_t at = 0;
  for (const std::string& line : expected) {
    const std::size_t found = r.out.find(line, at);
    EXPECT_NE(std::string::npos, found) << line << "in\n" << r.out;
    if (found != std::string::npos) at = found;
  }
  results.push_back(r);

  r = vorla({"check", hostile});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("orphan-file: data file \"o" + shown +
                "_9__9_\" is named by no record\n\"" + shownFolder +
                "/ws.ini\": 3 records, 1 finding\n",
            r.out);
  results.push_back(r);
  r = vorla({"gc", hostile});
  EXPECT_EQ(0u, r.out.find("\"o" + shown + "_9__9_\"  6 B  ")) << r.out;
  results.push_back(r);
  results.push_back(vorla({"stats", hostile}));
  results.push_back(vorla({"show", hostile, "3"}));

  // Errors that name the path or echo an argument.
  r = vorla({"copy", hostile, "77", hostile});
  EXPECT_EQ(
      "vorla: \"" + shownFolder + "/ws.ini\": record 77: cannot find id\n",
      r.err);
  results.push_back(r);
  write_file(folder + "/bad.ini", "[0]\nno equals sign\n");
  r = vorla({"show", folder + "/bad.ini"});
  EXPECT_EQ(
      "vorla: \"" + shownFolder + "/bad.ini\":2: cannot parse this line\n",
      r.err);
  results.push_back(r);
  results.push_back(vorla({"show", "--x" + evil, index}));

  // Friendly paths, names and texts print as they always did.
  const std::string friendly = dir.file("my album \xc3\xa4/ws.ini");
  r = vorla({"init", friendly});
  EXPECT_EQ("created " + friendly + " with data directory " +
                dir.file("my album \xc3\xa4/data") + "\n",
            r.out);
  r = vorla({"copy", hostile, "3", friendly});
  EXPECT_EQ("2\n", r.out) << r.err;
  r = vorla({"show", friendly});
  EXPECT_EQ("workspace " + friendly + ", data directory " +
                dir.file("my album \xc3\xa4/data") +
                ", counter 2, 2 records\n"
                "[0] system_record (ext 1000, int 0)\n"
                "    $current_counter = 2\n"
                "    $reldatadir = \"data\"\n"
                "    $version = \"" +
                SpaceMan().getVersion() +
                "\"\n"
                "[2] album (ext 1, int 0)\n"
                "    n = 7\n"
                "    title = \"Gr\xc3\xbc\xc3\x9f"
                "e, world\"\n",
            r.out);

  for (const Result& each : results) {
    EXPECT_TRUE(terminalSafe(each.out)) << each.out;
    EXPECT_TRUE(terminalSafe(each.err)) << each.err;
  }
  EXPECT_FALSE(
      terminalSafe("a\x1b"
                   "b"));
  EXPECT_FALSE(terminalSafe("\xc2\x9b"));
  EXPECT_TRUE(terminalSafe("caf\xc3\xa9\n"));
}

}  // namespace

#ifdef VORLA_SYNC_LOG_LIB
// The order in which the tool's new names reach the disk, from a log of
// its mkdir, rename, link and fsync calls: a directory made is flushed into
// its parent before anything is made in it; every rename and link is
// followed by a flush of both directories; a backup's directory is flushed
// before a save replaces the file it keeps.
TEST_F(ToolTest, NewNamesAreFlushedInOrder) {
  makeSound();
  write_file(data + "/old_4__1_", "orphan");
  setAge(data + "/old_4__1_", 7200);
  {
    SpaceMan spoiler;
    spoiler.load(index);
    spoiler.getStruct(3)->intrefcount = 4;
    spoiler.save();
  }
  const std::string log = dir.file("sync.log");
  const std::vector<std::pair<std::vector<std::string>, std::string> > cases = {
      {{"init", dir.file("new/a/ws.ini")}, "mkdir"},
      {{"gc", "--delete", index}, "rename"},
      {{"check", "--fix-counts", index}, "link"},
      {{"init", "--force", index}, "link"}};
  auto parent = [](const std::string& p) { return p.substr(0, p.rfind('/')); };
  for (const auto& c : cases) {
    std::remove(log.c_str());
    ::setenv("VORLA_SYNC_LOG", log.c_str(), 1);
    ::setenv("LD_PRELOAD", VORLA_SYNC_LOG_LIB, 1);
    const Result r = vorla(c.first);
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("VORLA_SYNC_LOG");
    EXPECT_EQ(0, r.status) << c.first[0] << ": " << r.err;
    std::vector<std::vector<std::string> > calls;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      calls.emplace_back();
      for (std::string w; words >> w;) calls.back().push_back(w);
    }
    bool seen = false;
    // Whether `dir` is flushed after call `from` and before any call at or
    // after it that `until` matches.
    auto flushed = [&](size_t from, const std::string& d, auto until) {
      for (size_t k = from + 1; k < calls.size(); ++k) {
        if (calls[k][0] == "fsync" && calls[k][1] == d) return true;
        if (until(calls[k])) return false;
      }
      return false;
    };
    auto never = [](const std::vector<std::string>&) { return false; };
    for (size_t i = 0; i < calls.size(); ++i) {
      const std::vector<std::string>& e = calls[i];
      const std::string at = c.first[0] + ": " + e[0] + " " + e[1];
      seen = seen || e[0] == c.second;
      if (e[0] == "mkdir") {
        EXPECT_TRUE(flushed(i, parent(e[1]), [&](const auto& later) {
          return later[0] != "fsync" && contains(later.back(), e[1] + "/");
        })) << at;
      } else if (e[0] == "rename" || e[0] == "link") {
        EXPECT_TRUE(flushed(i, parent(e[2]), never)) << at;
        EXPECT_TRUE(flushed(i, parent(e[1]), never)) << at;
      }
      if (e[0] == "link") {
        EXPECT_TRUE(flushed(i, parent(e[2]),
                            [&](const auto& later) {
                              return later[0] == "rename" && later[2] == e[1];
                            }))
            << at << ": backup not flushed before the save";
      }
    }
    EXPECT_TRUE(seen) << c.first[0] << " made no " << c.second;
  }
}
#endif
