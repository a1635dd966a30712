// vorla copy: a record tree, with its data files, into a workspace.

#include <sys/stat.h>  // stat

#include <memory>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kCopyHelp[] =
    "usage: vorla copy [--json] [--wait SECONDS] SRC_INDEX ID DST_INDEX\n"
    "\n"
    "Copies record ID of the workspace SRC_INDEX, with its child records\n"
    "and data files, into a new top-level record of DST_INDEX (which may be\n"
    "the same workspace), saves DST_INDEX and prints the new record's id.\n"
    "DST_INDEX's data directory is created when it is missing. DST_INDEX's\n"
    "writer lock is held from before it is read; while another process\n"
    "holds it, nothing is copied and the exit status is 5 (--wait waits up\n"
    "to SECONDS for it). SRC_INDEX is only read.\n"
    "\n"
    "Record 0, the workspace's system record, cannot be copied (exit\n"
    "status 2); a record that does not exist gives exit status 4.\n"
    "--json prints {\"index\": DST_INDEX, \"source\": SRC_INDEX,\n"
    "\"source_id\": ID, \"new_id\": the new record's id}.\n";

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
    std::string& o = out.raw();
    o += "{\"index\":";
    appendJson(o, args.operands[2]);
    o += ",\"source\":";
    appendJson(o, args.operands[0]);
    o += ",\"source_id\":" + std::to_string(id);
    o += ",\"new_id\":" + std::to_string(newId) + "}\n";
  }
  out.flush();
}

int runCopy(const Args& args) {
  needOperands(args, 3, 3);
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
  return Command{"copy", kCopyHelp, {"--json"}, {"--wait"}, runCopy};
}

}  // namespace tool
}  // namespace vorla
