// SPDX-License-Identifier: MIT
// The program whose file-system calls the crash explorer records: one call
// of the library on the workspace DIR/index.ini that the test prepared,
// chosen by name. Exit status 0 once the call returned.
//
//   crash_driver edits|newfile|newfile-fsync|newfiles|release|release-kill|
//                import DIR

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "workspace/workspace.h"

namespace {

// A new record with a data file that the program writes itself, as a
// program using the library does; `sync` adds the program's own fsync.
void addPhoto(vorla::SpaceMan* ws, const std::string& tag, bool sync) {
  std::shared_ptr<vorla::StructConfig> r = ws->newStruct();
  r->setType("photo");
  const std::string bytes(3000, tag[0]);
  for (const char* item : {"pixels", "thumb"}) {
    const std::string path = r->newFile(item);
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc)
        << bytes << item;
    if (sync) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0 || ::fsync(fd) != 0) ::_exit(3);
      ::close(fd);
    }
  }
}

int run(const std::string& what, const std::string& dir) {
  vorla::SpaceMan ws;
  ws.load(dir + "/index.ini");
  if (what == "edits") {
    for (const auto& e : ws.getStructs()) {
      if (e.first != 0)
        e.second->addStr("label", "edited " + std::to_string(e.first));
    }
    ws.newStruct()->setType("note");
  } else if (what == "newfile" || what == "newfile-fsync") {
    addPhoto(&ws, "n", what == "newfile-fsync");
  } else if (what == "newfiles") {  // past the count where save syncs all
    for (int i = 0; i < 20; ++i) addPhoto(&ws, "m", false);
  } else if (what == "release" || what == "release-kill") {
    ws.unlinkStruct(2);
    if (what == "release-kill") ::raise(SIGKILL);
  } else if (what == "import") {
    vorla::SpaceMan src;
    src.load(dir + "/src/index.ini");
    ws.import(&src, 2);
  } else {
    return 2;
  }
  ws.save();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    return run(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "crash_driver: %s\n", e.what());
    return 1;
  }
}
