// vorla init: a new, empty workspace and its data directory.

#include <sys/stat.h>  // stat

#include <stdexcept>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "utils/file_utils.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kInitHelp[] =
    "usage: vorla init [--force] [--wait SECONDS] INDEX [RELDATADIR]\n"
    "\n"
    "Writes a new, empty workspace to the index file INDEX and creates its\n"
    "data directory, RELDATADIR (default \"data\") beside the index file,\n"
    "and any missing directory above them.\n"
    "An existing INDEX is left alone unless --force is given, and even then\n"
    "while another process holds the workspace (exit status 5; --wait\n"
    "waits up to SECONDS for it).\n";

int runInit(const Args& args) {
  needOperands(args, 1, 2);
  const std::string& index = args.operands[0];
  const std::string rel = args.operands.size() > 1 ? args.operands[1] : "data";
  struct stat st;
  if (!args.has("--force") && ::stat(index.c_str(), &st) == 0) {
    throw Failure(index, "file exists (use --force to overwrite)");
  }
  makeDirs(utils::pathname(index));
  SpaceMan ws;
  ws.setLockWait(parseWait(args));
  try {
    ws.init(index, rel);
  } catch (const WriterConflict& e) {
    throw InUse(index, e);
  } catch (const std::runtime_error& e) {
    throw Failure(index, e.what());
  }
  makeDirs(ws.getDatadir());
  Out out;
  out << "created " << displayText(index) << " with data directory "
      << displayText(ws.getDatadir()) << '\n';
  out.flush();
  return kOk;
}

}  // namespace

Command initCommand() {
  return Command{"init", kInitHelp, {"--force"}, {"--wait"}, runInit};
}

}  // namespace tool
}  // namespace vorla
