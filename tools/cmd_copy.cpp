// SPDX-License-Identifier: MIT
// vorla copy: a record tree, with its data files, into a workspace.

#include <sys/stat.h>  // stat

#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/make_dirs.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/progress.h"
#include "tools/wait.h"
#include "tools/workspace_io.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kCopyHelp[] =
    "Copies record ID of the workspace SRC_INDEX, with its child records\n"
    "and data files, into a new top-level record of DST_INDEX (which may be\n"
    "the same workspace), saves DST_INDEX and prints the new record's id.\n"
    "DST_INDEX's data directory is made when missing; SRC_INDEX is only\n"
    "read. A failed copy leaves DST_INDEX as it was. Record 0, the system\n"
    "record, is refused (exit status 2). --wait waits up to SECONDS for\n"
    "another process that holds DST_INDEX.\n"
    "--json prints one JSON document (docs/schemas/copy.json).\n";

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void printCopy(const Args& args, unsigned id, unsigned newId) {
  Out out;
  if (!args.has("--json")) {
    out << newId << '\n';
  } else {
    JsonWriter w(out.raw());
    w.beginObject().field("index", args.operands[2]);
    w.field("source", args.operands[0]).field("source_id", id);
    w.field("new_id", newId).endObject();
  }
  out.flush();
}

int runCopy(const Args& args) {
  needOperands(args);
  const std::string& srcIndex = args.operands[0];
  const unsigned id = parseId(args.command, args.operands[1]);
  const std::string& dstIndex = args.operands[2];
  if (id == 0) {
    throw Failure::usage(args.command,
                         "record 0 is the workspace's system record and "
                         "cannot be copied");
  }
  WriterLock lock;
  lockWorkspace(lock, dstIndex, parseWait(args));
  Progress progress;
  SpaceMan dst;
  loadWorkspace(dst, dstIndex, progress);
  std::unique_ptr<SpaceMan> other;
  SpaceMan* src = &dst;
  if (!sameFile(srcIndex, dstIndex)) {
    other.reset(new SpaceMan);
    loadWorkspace(*other, srcIndex, progress);
    src = other.get();
  }
  if (findRecord(*src, id) == nullptr) {
    throw Failure(srcIndex, "record " + std::to_string(id) + ": cannot find id",
                  kNoRecord);
  }
  makeDirs(dst.getDatadir());
  unsigned newId;
  try {
    // A failed copy undoes itself, data files included.
    newId = dst.import(src, id);
  } catch (const Error& e) {
    throw Failure(srcIndex, e, "record " + std::to_string(id));
  }
  saveWorkspace(dst);
  printCopy(args, id, newId);
  return kOk;
}

}  // namespace

Command copyCommand() {
  return Command{"copy",
                 "copy a record tree into another workspace",
                 {{"--json", nullptr}, {"--wait", "SECONDS"}},
                 {"SRC_INDEX", "ID", "DST_INDEX"},
                 {kOk, kUsage, kBroken, kNoRecord, kInUse},
                 kCopyHelp,
                 runCopy};
}

}  // namespace tool
}  // namespace vorla
