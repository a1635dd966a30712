// SPDX-License-Identifier: MIT
// Several real processes on one workspace: worker processes (worker.cpp)
// driven step by step through pipes, the vorla tool, and this process's own
// workspace objects. Every sequence ends with a clear error for one side and
// nothing lost. The paths of the worker and of the tool come from the build.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/check.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace {

using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::read_file;

// A worker process and the two pipes that drive it.
class Worker {
 public:
  Worker() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execl(VORLA_WORKER_PATH, VORLA_WORKER_PATH,
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to = in[1];
    from = ::fdopen(out[0], "r");
  }
  ~Worker() { quit(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  std::string call(const std::string& command) {
    send(command);
    return receive();
  }
  void send(const std::string& command) {
    const std::string line = command + "\n";
    if (::write(to, line.data(), line.size()) !=
        static_cast<ssize_t>(line.size()))
      ADD_FAILURE() << "worker gone before " << command;
  }
  std::string receive() {
    char buf[4096];
    if (!std::fgets(buf, sizeof buf, from)) return "(no answer)";
    std::string line = buf;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
  // Ends the worker the way a program ends; returns its exit status.
  int quit() {
    if (pid <= 0) return -1;
    ::close(to);
    std::fclose(from);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void kill() {
    ::kill(pid, SIGKILL);
    quit();
  }
  std::string id() const { return std::to_string(pid); }

 private:
  pid_t pid = 0;
  int to = -1;
  FILE* from = nullptr;
};

struct Result {
  int status;
  std::string out;
  std::string err;
};

// The tool, started with `args`; finish() waits for it.
class Tool {
 public:
  Tool(const std::string& dir, const std::vector<std::string>& args)
      : outPath(dir + "/.stdout." + std::to_string(++count)),
        errPath(dir + "/.stderr." + std::to_string(count)) {
    std::vector<std::string> words(args);
    std::string program = VORLA_TOOL_PATH;
    std::vector<char*> argv(1, &program[0]);
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int out =
          ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err =
          ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) ::_exit(127);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  Result finish() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(outPath);
    r.err = read_file(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return r;
  }

 private:
  static int count;
  std::string outPath, errPath;
  pid_t pid;
};

int Tool::count = 0;

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// "ok ID PATH" -> PATH
std::string pathOf(const std::string& answer) {
  return answer.substr(answer.rfind(' ') + 1);
}

std::size_t filesIn(const std::string& dir) {
  std::size_t n = 0;
  if (std::FILE* p = ::popen(("ls -A '" + dir + "'").c_str(), "r")) {
    for (int c; (c = std::fgetc(p)) != EOF;) n += c == '\n';
    ::pclose(p);
  }
  return n;
}

class MultiProcessTest : public ::testing::Test {
 protected:
  MultiProcessTest() : index(dir.file("ws.ini")), data(dir.file("data")) {
    SpaceMan ws;
    ws.init(index, "data");
  }

  Result tool(const std::vector<std::string>& args) {
    return Tool(dir.path(), args).finish();
  }

  // The workspace as a fresh reader sees it; sound, or the test fails.
  void expectSound(const std::string& path) {
    SpaceMan ws;
    ws.load(path);
    const vorla::CheckReport report = vorla::checkWorkspace(ws);
    EXPECT_TRUE(report.findings.empty())
        << path << ": " << report.findings.size() << " findings";
  }

  std::string inUse(const Worker& holder) {
    return "error workspace in use holder " + holder.id();
  }

  vorla_test::TempDir dir;
  std::string index;
  std::string data;
};

TEST_F(MultiProcessTest, TwoWritersAtOnceTheSecondIsRefusedBeforeItDraws) {
  Worker a, b;
  ASSERT_EQ("ok", a.call("load w " + index));
  ASSERT_EQ("ok", b.call("load w " + index));
  const std::string made = a.call("add w photo from-a");
  ASSERT_TRUE(startsWith(made, "ok 2 ")) << made;
  // Both were started in the same second, so they draw the same names: the
  // second is refused before it draws one.
  EXPECT_EQ(inUse(a), b.call("add w photo from-b"));
  EXPECT_EQ(1u, filesIn(data));
  EXPECT_EQ("ok", a.call("save w"));
  EXPECT_EQ(inUse(a), b.call("save w"));
  EXPECT_EQ(0, a.quit());
  // The lock is free now, but b's image is older than the file.
  EXPECT_EQ("error changed on disk", b.call("save w"));
  ASSERT_EQ("ok", b.call("load w " + index));
  const std::string second = b.call("add w photo from-b");
  ASSERT_TRUE(startsWith(second, "ok 3 ")) << second;
  EXPECT_EQ("ok", b.call("save w"));
  EXPECT_EQ(0, b.quit());

  SpaceMan ws;
  ws.load(index);
  EXPECT_EQ(pathOf(made), ws.getStruct(2)->getFile("photo"));
  EXPECT_EQ("from-a", read_file(ws.getStruct(2)->getFile("photo")));
  EXPECT_EQ("from-b", read_file(ws.getStruct(3)->getFile("photo")));
  expectSound(index);
}

TEST_F(MultiProcessTest, AWriterWhoseImageIsOlderThanTheFileMustReload) {
  Worker a, b;
  ASSERT_EQ("ok", a.call("load w " + index));
  ASSERT_EQ("ok", b.call("load w " + index));
  ASSERT_TRUE(startsWith(a.call("add w photo from-a"), "ok 2 "));
  ASSERT_EQ("ok", a.call("save w"));
  ASSERT_EQ(0, a.quit());
  const std::string saved = read_file(index);
  // Any first write: drawing a name, saving.
  EXPECT_EQ("error changed on disk", b.call("add w photo from-b"));
  EXPECT_EQ("error changed on disk", b.call("save w"));
  EXPECT_EQ(1u, filesIn(data));
  EXPECT_EQ(saved, read_file(index));
  ASSERT_EQ("ok", b.call("load w " + index));
  EXPECT_TRUE(startsWith(b.call("add w photo from-b"), "ok 3 "));
  EXPECT_EQ("ok", b.call("save w"));
  b.quit();
  expectSound(index);
}

TEST_F(MultiProcessTest, ToolWritersRefuseWhileAProgramHasUnsavedWork) {
  const std::string src = dir.file("src.ini");
  ::mkdir(dir.file("srcdata").c_str(), 0755);
  {
    SpaceMan s;
    s.init(src, "srcdata");
    std::shared_ptr<StructConfig> r = s.newStruct();
    vorla_test::write_file(r->newFile("pic"), "source bytes");
    s.save();
  }
  Worker w;
  ASSERT_EQ("ok", w.call("load w " + index));
  const std::string made = w.call("add w draft unsaved");
  ASSERT_TRUE(startsWith(made, "ok 2 ")) << made;
  const std::string unsaved = pathOf(made);
  const std::string before = read_file(index);
  const std::string refused = "vorla: " + index +
                              ": workspace in use (held by process " + w.id() +
                              ")\n";

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string> >{
           {"copy", src, "2", index},
           {"check", "--fix-counts", index},
           {"gc", "--delete", "--grace", "0", index},
           {"init", "--force", index}}) {
    const Result r = tool(args);
    EXPECT_EQ(5, r.status) << args[0];
    EXPECT_EQ(refused, r.err) << args[0];
    EXPECT_EQ("", r.out) << args[0];
  }
  EXPECT_TRUE(exists(unsaved));
  EXPECT_EQ(before, read_file(index));

  // Readers neither wait nor fail.
  EXPECT_EQ(0, tool({"show", index}).status);
  EXPECT_EQ(0, tool({"stats", index}).status);
  Result r = tool({"gc", index});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.out, "1 orphan data file")) << r.out;
  r = tool({"check", index});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out, "orphan-file")) << r.out;

  ASSERT_EQ("ok", w.call("save w"));
  ASSERT_EQ(0, w.quit());
  r = tool({"copy", src, "2", index});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("3\n", r.out);
  EXPECT_EQ(0, tool({"check", "--fix-counts", index}).status);
  EXPECT_EQ(0, tool({"gc", "--delete", "--grace", "0", index}).status);
  EXPECT_TRUE(exists(unsaved));
  EXPECT_EQ("unsaved", read_file(unsaved));
  expectSound(index);
}

TEST_F(MultiProcessTest, ToolWaitsForTheHolderWhenAsked) {
  Worker w;
  ASSERT_EQ("ok", w.call("load w " + index));
  ASSERT_TRUE(startsWith(w.call("add w draft kept"), "ok 2 "));
  // A short wait runs out.
  Result r = tool({"gc", "--delete", "--wait", "0.2", index});
  EXPECT_EQ(5, r.status);
  EXPECT_TRUE(contains(r.err, "workspace in use")) << r.err;
  // A long one ends when the holder lets go.
  Tool waiting(dir.path(), {"copy", "--wait", "60", index, "2", index});
  ASSERT_EQ("ok", w.call("save w"));
  ASSERT_EQ(0, w.quit());
  r = waiting.finish();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("3\n", r.out);
  SpaceMan ws;
  ws.load(index);
  EXPECT_EQ("kept", read_file(ws.getStruct(3)->getFile("draft")));
  expectSound(index);
}

TEST_F(MultiProcessTest, ALibraryWriterWaitsForTheHolderWhenAsked) {
  Worker a, b;
  ASSERT_EQ("ok", a.call("load w " + index));
  ASSERT_EQ("ok", a.call("lock w"));
  ASSERT_EQ("ok", b.call("wait w 0.2"));
  ASSERT_EQ("ok", b.call("load w " + index));
  EXPECT_EQ(inUse(a), b.call("lock w"));
  ASSERT_EQ("ok", b.call("wait w 60"));
  b.send("lock w");
  ASSERT_EQ(0, a.quit());
  EXPECT_EQ("ok", b.receive());
}

TEST_F(MultiProcessTest, AKilledHolderLeavesNoLockBehind) {
  Worker h;
  ASSERT_EQ("ok", h.call("load w " + index));
  ASSERT_TRUE(startsWith(h.call("add w draft never-saved"), "ok 2 "));
  Worker b;
  ASSERT_EQ("ok", b.call("load w " + index));
  EXPECT_EQ(inUse(h), b.call("lock w"));
  h.kill();
  // At once, without waiting.
  EXPECT_EQ("ok", b.call("lock w"));
  EXPECT_EQ("ok", b.call("drop w"));
  const Result r = tool({"gc", "--delete", "--grace", "0", index});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "moved draft_2_")) << r.out;
  expectSound(index);
}

TEST_F(MultiProcessTest, TwoWorkspacesInOneFolderAreWrittenAtTheSameTime) {
  const std::string one = dir.file("one.ini"), two = dir.file("two.ini");
  {
    SpaceMan ws;
    ws.init(one, "data1");
    ws.init(two, "data2");
  }
  ::mkdir(dir.file("data1").c_str(), 0755);
  ::mkdir(dir.file("data2").c_str(), 0755);
  Worker a, b;
  ASSERT_EQ("ok", a.call("load w " + one));
  ASSERT_EQ("ok", b.call("load w " + two));
  ASSERT_EQ("ok", a.call("lock w"));
  ASSERT_EQ("ok", b.call("lock w"));
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    a.send("add w f a" + n);
    b.send("add w f b" + n);
    EXPECT_TRUE(startsWith(a.receive(), "ok "));
    EXPECT_TRUE(startsWith(b.receive(), "ok "));
    a.send("save w");
    b.send("save w");
    EXPECT_EQ("ok", a.receive());
    EXPECT_EQ("ok", b.receive());
  }
  a.quit();
  b.quit();
  for (const std::string& path : {one, two}) {
    SpaceMan ws;
    ws.load(path);
    EXPECT_EQ(6u, ws.getStructs().size()) << path;
    expectSound(path);
  }
}

TEST_F(MultiProcessTest, InitAndInitWorkspaceRefuseAHeldWorkspace) {
  Worker h, b;
  ASSERT_EQ("ok", h.call("load w " + index));
  ASSERT_EQ("ok", h.call("lock w"));
  const std::string before = read_file(index);
  EXPECT_EQ(inUse(h), b.call("initws " + index + " other"));
  const Result r = tool({"init", "--force", index, "other"});
  EXPECT_EQ(5, r.status);
  EXPECT_EQ(before, read_file(index));
  h.quit();
  EXPECT_EQ("ok", b.call("initws " + index + " other"));
  SpaceMan ws;
  ws.load(index);
  EXPECT_EQ("other", ws.getRelDataDir());
}

// Objects of one process share the lock and save in turn, as they always
// have; the last save wins.
TEST_F(MultiProcessTest, ObjectsOfOneProcessSaveInTurn) {
  SpaceMan x, y;
  x.load(index);
  y.load(index);
  x.newStruct()->addStr("by", "x");
  x.save();
  y.newStruct()->addStr("by", "y");
  y.save();
  x.save();
  // One that read what another wrote saves after the other saved again.
  SpaceMan z;
  z.load(index);
  x.save();
  z.save();
  // The lock stays with the process while any object holds it.
  Worker other;
  ASSERT_EQ("ok", other.call("load w " + index));
  EXPECT_EQ("error workspace in use holder " + std::to_string(::getpid()),
            other.call("lock w"));
}

// An object whose image another object of the process wrote over may save
// even after that object is gone and the lock was given back.
TEST_F(MultiProcessTest, TheLastWriterOfTheProcessNeedNotStayAround) {
  SpaceMan y;
  y.load(index);
  {
    SpaceMan x;
    x.load(index);
    x.newStruct();
    x.save();
  }
  y.newStruct()->addStr("by", "y");
  y.save();
  SpaceMan again;
  again.load(index);
  EXPECT_EQ("y", again.getStruct(2)->getStr("by"));
}

// Another process saved between y's load and the moment this process took
// the lock for x: y must not save, whether or not x has saved since.
TEST_F(MultiProcessTest, AnObjectOlderThanAnotherProcessesSaveCannotSave) {
  SpaceMan y;
  y.load(index);
  {
    Worker p;
    ASSERT_EQ("ok", p.call("load w " + index));
    ASSERT_TRUE(startsWith(p.call("add w photo from-p"), "ok 2 "));
    ASSERT_EQ("ok", p.call("save w"));
  }
  SpaceMan x;
  x.load(index);
  x.lockForWriting();
  std::shared_ptr<StructConfig> rec = y.newStruct();
  EXPECT_THROW_MSG(rec->newFile("photo"), "changed on disk");
  EXPECT_THROW_MSG(y.save(), "changed on disk");
  x.newStruct()->addStr("by", "x");
  x.save();
  EXPECT_THROW_MSG(y.save(), "changed on disk");
  try {
    y.save();
  } catch (const vorla::WriterConflict& e) {
    EXPECT_EQ(vorla::WriterConflict::CHANGED_ON_DISK, e.kind());
  }
  y.load(index);
  y.save();
  SpaceMan now;
  now.load(index);
  EXPECT_EQ("from-p", read_file(now.getStruct(2)->getFile("photo")));
  EXPECT_EQ("x", now.getStruct(3)->getStr("by"));
}

// Threads of one process that wait for one workspace's lock together share
// it once it is free: none takes the others for another process.
TEST_F(MultiProcessTest, ThreadsOfOneProcessWaitForTheLockTogether) {
  Worker holder;
  ASSERT_EQ("ok", holder.call("load w " + index));
  ASSERT_EQ("ok", holder.call("lock w"));
  const int n = 6;
  std::vector<std::unique_ptr<SpaceMan> > objects;
  for (int i = 0; i < n; ++i) {
    objects.emplace_back(new SpaceMan);
    objects.back()->load(index);
    objects.back()->setLockWait(60);
  }
  std::vector<std::string> errors(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&objects, &errors, i] {
      try {
        objects[i]->lockForWriting();
      } catch (const std::runtime_error& e) {
        errors[i] = e.what();
      }
    });
  }
  // Let them start waiting; the outcome does not depend on how many have.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(0, holder.quit());
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors) EXPECT_EQ("", e);
  Worker other;
  ASSERT_EQ("ok", other.call("load w " + index));
  EXPECT_EQ("error workspace in use holder " + std::to_string(::getpid()),
            other.call("lock w"));
  objects.clear();
  EXPECT_EQ("ok", other.call("lock w"));
}

// The table's rules, as writer_lock.cpp numbers them.

// Rule 5: one entry per workspace, whatever path leads to it: the holders
// of one process share its lock.
TEST_F(MultiProcessTest, Rule5OneEntryPerWorkspaceWhateverThePath) {
  const std::string alias = dir.file("alias");
  ASSERT_EQ(0, ::symlink(dir.path().c_str(), alias.c_str()));
  vorla::WriterLock a, b;
  a.hold(index);
  b.hold(alias + "/ws.ini");
  EXPECT_TRUE(a.held() && b.held());
  Worker other;
  ASSERT_EQ("ok", other.call("load w " + index));
  EXPECT_EQ("error workspace in use holder " + std::to_string(::getpid()),
            other.call("lock w"));
  a.release();
  b.release();
  EXPECT_EQ("ok", other.call("lock w"));
}

// Rule 6: the slot is held while any holder is left, and a take that fails
// leaves no holder behind that a later one would trust.
TEST_F(MultiProcessTest, Rule6TheSlotIsHeldExactlyWhileAnEntryHasHolders) {
  const std::string held =
      "error workspace in use holder " + std::to_string(::getpid());
  Worker other;
  ASSERT_EQ("ok", other.call("load w " + index));
  {
    vorla::WriterLock a, b;
    a.hold(index);
    b.hold(index);
    a.release();
    EXPECT_EQ(held, other.call("lock w"));
    b.release();
    EXPECT_EQ("ok", other.call("lock w"));
    try {
      a.hold(index);
      ADD_FAILURE() << "taken from another process";
    } catch (const vorla::WriterConflict& e) {
      EXPECT_EQ(vorla::WriterConflict::IN_USE, e.kind());
    }
    EXPECT_FALSE(a.held());
  }
  ASSERT_EQ(0, other.quit());
  vorla::WriterLock c;
  c.hold(index);
  Worker again;
  ASSERT_EQ("ok", again.call("load w " + index));
  EXPECT_EQ(held, again.call("lock w"));
}

// Rule 7: threads that take and give back one workspace's lock at once
// share one slot and leave none behind (run under ThreadSanitizer too).
TEST_F(MultiProcessTest, Rule7ThreadsTakingOneSlotAskTheKernelOneAtATime) {
  std::vector<std::thread> threads;
  std::vector<std::string> errors(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([this, &errors, i] {
      try {
        for (int n = 0; n < 100; ++n) {
          vorla::WriterLock lock;
          lock.hold(index);
          if (!lock.held()) errors[i] = "not held";
        }
      } catch (const std::runtime_error& e) {
        errors[i] = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors) EXPECT_EQ("", e);
  Worker other;
  ASSERT_EQ("ok", other.call("load w " + index));
  EXPECT_EQ("ok", other.call("lock w"));
}

// Rule 8: fork while another thread works in the table: the child's copy
// is whole, so that it takes a lock of its own without waiting forever.
TEST_F(MultiProcessTest, Rule8ForkWhileAnotherThreadHoldsTheTable) {
  const std::string second = dir.file("other.ini");
  SpaceMan().init(second, "data");
  std::atomic<bool> stop(false);
  std::thread busy([this, &stop] {
    while (!stop) {
      vorla::WriterLock lock;
      // A child holds the parent's descriptors until it has closed them:
      // the slot may be taken from the kernel's side for that long.
      lock.setWait(10);
      lock.hold(index);
    }
  });
  for (int i = 0; i < 20; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(20);
      int code = 0;
      try {
        vorla::WriterLock lock;
        lock.hold(second);
        code = lock.held() ? 0 : 2;
      } catch (...) {
        code = 3;
      }
      ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status;
  }
  stop = true;
  busy.join();
}

TEST_F(MultiProcessTest, HelpNamesTheExitStatusOfAWorkspaceInUse) {
  const Result r = tool({"--help"});
  EXPECT_TRUE(contains(r.out, "  5  another process holds")) << r.out;
  for (const char* cmd : {"init", "check", "gc", "copy"}) {
    EXPECT_TRUE(contains(tool({cmd, "--help"}).out, "--wait SECONDS")) << cmd;
  }
  EXPECT_EQ(2, tool({"gc", "--wait", "soon", index}).status);
}

// The hammer: independent processes, then a pool that a holder of the lock
// forks before it lets go, each process saving load-add-save rounds with
// retries. Every acknowledged save is in the final file. VORLA_HAMMER
// ("PROCESSESxROUNDS") scales it.
TEST_F(MultiProcessTest, HammeredByProcessesAndAForkPoolNoSaveIsLost) {
  int n = 8, rounds = 25;
  if (const char* scale = std::getenv("VORLA_HAMMER")) {
    ASSERT_EQ(2, std::sscanf(scale, "%dx%d", &n, &rounds));
  }
  // The tags of the acknowledged saves, from the rounds each process saved.
  std::set<std::string> acknowledged;
  auto saved = [&acknowledged](const std::string& tag, int count) {
    for (int i = 0; i < count; ++i)
      acknowledged.insert(tag + "-" + std::to_string(i));
  };
  {
    std::vector<std::unique_ptr<Worker> > workers;
    for (int k = 0; k < n; ++k) workers.emplace_back(new Worker);
    for (int k = 0; k < n; ++k) {
      workers[k]->send("hammer " + index + " p" + std::to_string(k) + " " +
                       std::to_string(rounds));
    }
    for (int k = 0; k < n; ++k) {
      const std::string answer = workers[k]->receive();
      EXPECT_EQ("ok " + std::to_string(rounds), answer);
      saved("p" + std::to_string(k), std::atoi(answer.c_str() + 3));
    }
  }
  Worker parent;
  ASSERT_EQ("ok", parent.call("load w " + index));
  std::istringstream pool(parent.call("forkpool w " + std::to_string(n) + " " +
                                      std::to_string(rounds)));
  std::string word;
  pool >> word;
  EXPECT_EQ("ok", word);
  for (int k = 0, count = 0; k < n && pool >> count; ++k) {
    EXPECT_EQ(rounds, count);
    saved("f" + std::to_string(k), count);
  }
  SpaceMan ws;
  ws.load(index);
  std::set<std::string> found;
  for (const auto& entry : ws.getStructs()) {
    if (entry.first != 0) found.insert(entry.second->getStr("tag"));
  }
  std::size_t lost = 0;
  for (const std::string& tag : acknowledged) lost += found.count(tag) == 0;
  std::printf(
      "%d independent processes and a fork pool of %d, %d rounds "
      "each: %zu of %zu acknowledged saves lost\n",
      n, n, rounds, lost, acknowledged.size());
  EXPECT_EQ(0u, lost);
  EXPECT_EQ(acknowledged.size() + 1, ws.getStructs().size());
}

// Rule 2 of writer_lock.h: a child made by fork closes its copies of the
// lock's descriptor, so the lock ends with its holder. A child that skips
// the fork handlers (a raw clone) keeps it, but the holder named is then a
// live process or unknown, never the one that ended.
TEST_F(MultiProcessTest, TheLockEndsWithItsHolderWhateverItsChildInherited) {
  for (const std::string kind : {"fork", "raw"}) {
    Worker h, other;
    ASSERT_EQ("ok", h.call("load w " + index));
    ASSERT_EQ("ok", h.call("lock w"));
    const std::string answer = h.call("sleeper " + kind);
    ASSERT_TRUE(startsWith(answer, "ok ")) << answer;
    const pid_t child = std::stoi(answer.substr(3));
    ASSERT_EQ("ok", other.call("load w " + index));
    EXPECT_EQ(inUse(h), other.call("lock w")) << kind;
    ASSERT_EQ(0, h.quit());
    EXPECT_EQ(kind == "fork" ? "ok" : "error workspace in use",
              other.call("lock w"))
        << kind;
    ::kill(child, SIGKILL);
    for (int i = 0; i < 500 && other.call("lock w") != "ok"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ("ok", other.call("lock w")) << kind;
  }
}

// Rule 1: a workspace object saves where it loaded, whatever the working
// directory or a link to the directory say by then, and never into the
// workspace that another process holds there now.
TEST_F(MultiProcessTest, ASaveGoesWhereTheLoadWasAfterChdirOrARepointedLink) {
  const std::string v1 = dir.file("v1"), v2 = dir.file("v2");
  const std::string current = dir.file("current");
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  for (const std::string move : {"chdir", "link"}) {
    ASSERT_EQ(0, std::system(("rm -rf '" + v1 + "' '" + v2 + "' '" + current +
                              "' && mkdir '" + v1 + "' '" + v2 + "'")
                                 .c_str()));
    SpaceMan().init(v1 + "/ws.ini", "data");
    SpaceMan().init(v2 + "/ws.ini", "data");
    ASSERT_EQ(0, ::symlink("v1", current.c_str()));
    Worker holder;
    ASSERT_EQ("ok", holder.call("load w " + v2 + "/ws.ini"));
    ASSERT_EQ("ok", holder.call("lock w"));
    const std::string theirs = read_file(v2 + "/ws.ini");

    const std::string given = move == "chdir" ? "ws.ini" : current + "/ws.ini";
    if (move == "chdir") {
      ASSERT_EQ(0, ::chdir(v1.c_str()));
    }
    SpaceMan ws;
    ws.load(given);
    ws.lockForWriting();
    if (move == "chdir") {
      ASSERT_EQ(0, ::chdir(v2.c_str()));
    } else {
      ASSERT_EQ(0, ::unlink(current.c_str()));
      ASSERT_EQ(0, ::symlink("v2", current.c_str()));
    }
    ws.newStruct()->addStr("by", move);
    ws.save();
    ASSERT_EQ(0, ::chdir(cwd));
    EXPECT_EQ(given, ws.mainfile());
    EXPECT_EQ(theirs, read_file(v2 + "/ws.ini")) << move;
    SpaceMan mine;
    mine.load(v1 + "/ws.ini");
    EXPECT_EQ(move, mine.getStruct(2)->getStr("by"));
  }
}

// Rule 4: another process's two saves that give the file back its inode,
// its size and (on a coarse clock) its modification time are still seen.
TEST_F(MultiProcessTest, TwoSavesThatLookLikeTheVersionReadAreStillChanges) {
  {
    SpaceMan ws;
    ws.load(index);
    ws.newStruct()->addStr("v", "0");
    ws.save();
  }
  SpaceMan stale;
  stale.load(index);
  struct stat before;
  ASSERT_EQ(0, ::stat(index.c_str(), &before));
  for (const char* value : {"1", "2"}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      SpaceMan other;
      other.load(index);
      other.getStruct(2)->addStr("v", value);
      other.save();
      ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_EQ(0, status);
    // A clock of whole seconds or coarser gives both saves one time.
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, index.c_str(), times, 0));
  }
  const std::string theirs = read_file(index);
  stale.newStruct();
  EXPECT_THROW_MSG(stale.save(), "changed on disk");
  EXPECT_EQ(theirs, read_file(index));
}

// Rule 4 keeps versions open only while they may matter: a process that
// is done with its workspaces keeps no descriptor of them.
TEST_F(MultiProcessTest, VersionsKeptOpenEndWithTheirObjects) {
  auto open_files = [] { return filesIn("/proc/self/fd"); };
  const std::size_t before = open_files();
  for (int i = 0; i < 50; ++i) {
    const std::string path = dir.file("w" + std::to_string(i) + ".ini");
    SpaceMan ws;
    ws.init(path, "data");
    ws.newStruct();
    ws.save();
    SpaceMan again;
    again.load(path);
    again.save();
  }
  EXPECT_EQ(before, open_files());
}

}  // namespace
