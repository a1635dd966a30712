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
//   quit

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
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
