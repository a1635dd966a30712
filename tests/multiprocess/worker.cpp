// SPDX-License-Identifier: MIT
// A process that works on workspaces as a program would, one command at a
// time, so that a test can interleave several real processes step by step.
// Reads one command a line on stdin and answers each with one line on
// stdout: "ok [VALUES]", or "error MESSAGE" (" holder PID" added when the
// holder of the lock is known). Ends at "quit" or at the end of its input.
//
// Commands (OBJ names a workspace object of this process, made on first
// use; paths hold no blanks):
//   load OBJ INDEX          SpaceMan::load
//   wait OBJ SECONDS        SpaceMan::setLockWait
//   lock OBJ                SpaceMan::lockForWriting
//   add OBJ NAME [TEXT]     a new record with a data file item NAME whose
//                           file gets TEXT (none: drawn, never written);
//                           answers "ok ID PATH"
//   save OBJ                SpaceMan::save
//   drop OBJ                destroys the object
//   initws INDEX RELDATA    init_workspace, as the Python module calls it
//   hammer INDEX TAG ROUNDS load-add-save rounds, each by a fresh object,
//                           retried after a conflict; the new record's text
//                           item "tag" is TAG-n; answers "ok SAVED"
//   forkpool OBJ N ROUNDS   with OBJ holding the lock, forks N children
//                           that hammer OBJ's index file (tags fK-n), then
//                           drops OBJ; answers "ok SAVED0 SAVED1 ...", the
//                           rounds each child saved
//   sleeper KIND            forks a child that sleeps a minute keeping what
//                           it inherited: with fork(), or (KIND "raw")
//                           without the fork handlers, as a raw clone does;
//                           answers "ok PID"
//   quit

#include <sys/syscall.h>  // SYS_fork
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "module/vorla.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace {

using vorla::SpaceMan;

std::map<std::string, std::unique_ptr<SpaceMan> > objects;

SpaceMan& object(const std::string& name) {
  std::unique_ptr<SpaceMan>& slot = objects[name];
  if (!slot) slot.reset(new SpaceMan);
  return *slot;
}

void reply(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int hammer(const std::string& index, const std::string& tag, int rounds) {
  typedef std::chrono::steady_clock Clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::minutes(15);
  std::minstd_rand jitter(static_cast<unsigned>(::getpid()));
  int saved = 0;
  while (saved < rounds && Clock::now() < deadline) {
    try {
      SpaceMan ws;
      ws.load(index);
      ws.newStruct()->addStr("tag", tag + "-" + std::to_string(saved));
      ws.save();
      ++saved;
    } catch (const vorla::WriterConflict&) {
      std::this_thread::sleep_for(
          std::chrono::microseconds(100 + jitter() % 2000));
    }
  }
  return saved;
}

std::string forkpool(SpaceMan& holder, int n, int rounds) {
  holder.lockForWriting();
  const std::string index = holder.mainfile();
  std::vector<pid_t> children;
  std::vector<int> results;
  for (int k = 0; k < n; ++k) {
    int done[2];
    if (::pipe(done) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string saved =
          std::to_string(hammer(index, "f" + std::to_string(k), rounds));
      const bool told = ::write(done[1], saved.data(), saved.size()) ==
                        static_cast<ssize_t>(saved.size());
      ::_exit(told ? 0 : 1);
    }
    ::close(done[1]);
    children.push_back(pid);
    results.push_back(done[0]);
  }
  objects.clear();
  std::string answer = "ok";
  for (std::size_t k = 0; k < children.size(); ++k) {
    char buf[32] = {0};
    const ssize_t got = ::read(results[k], buf, sizeof buf - 1);
    ::close(results[k]);
    ::waitpid(children[k], nullptr, 0);
    answer += " " + std::string(buf, got > 0 ? static_cast<size_t>(got) : 0);
  }
  return answer;
}

std::string run(const std::vector<std::string>& w) {
  const std::string& cmd = w[0];
  auto arg = [&w](std::size_t i) {
    if (i >= w.size()) throw std::runtime_error("missing argument");
    return w[i];
  };
  if (cmd == "load") {
    object(arg(1)).load(arg(2));
  } else if (cmd == "wait") {
    object(arg(1)).setLockWait(std::stod(arg(2)));
  } else if (cmd == "lock") {
    object(arg(1)).lockForWriting();
  } else if (cmd == "add") {
    std::shared_ptr<vorla::StructConfig> rec = object(arg(1)).newStruct();
    const std::string path = rec->newFile(arg(2));
    if (w.size() > 3) std::ofstream(path.c_str()) << w[3];
    return "ok " + std::to_string(rec->getId()) + " " + path;
  } else if (cmd == "save") {
    object(arg(1)).save();
  } else if (cmd == "drop") {
    objects.erase(arg(1));
  } else if (cmd == "initws") {
    vorla::init_workspace(arg(1), arg(2));
  } else if (cmd == "hammer") {
    return "ok " + std::to_string(hammer(arg(1), arg(2), std::stoi(arg(3))));
  } else if (cmd == "forkpool") {
    return forkpool(object(arg(1)), std::stoi(arg(2)), std::stoi(arg(3)));
  } else if (cmd == "sleeper") {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    const long pid = arg(1) == "raw" ? ::syscall(SYS_fork) : ::fork();
    if (pid == 0) {
      // Past fork and its handlers.
      if (::write(ready[1], "x", 1) != 1) ::_exit(1);
      ::close(0);
      ::close(1);
      std::this_thread::sleep_for(std::chrono::minutes(1));
      ::_exit(0);
    }
    char byte = 0;
    const bool started = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::close(ready[1]);
    if (!started) throw std::runtime_error("child gone");
    return "ok " + std::to_string(pid);
  } else {
    throw std::runtime_error("unknown command");
  }
  return "ok";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    if (words[0] == "quit") break;
    try {
      reply(run(words));
    } catch (const vorla::WriterConflict& e) {
      reply(std::string("error ") + e.what() +
            (e.holder() > 0 ? " holder " + std::to_string(e.holder()) : ""));
    } catch (const std::exception& e) {
      reply(std::string("error ") + e.what());
    }
  }
  return 0;
}
