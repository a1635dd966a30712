// vorla init: a new, empty workspace and its data directory.

#include <sys/stat.h>  // stat
#include <unistd.h>    // rmdir

#include <cstddef>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "utils/file_utils.h"
#include "workspace/create.h"
#include "workspace/index_format.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kInitHelp[] =
    "usage: vorla init [--force] [--json] [--wait SECONDS] INDEX [RELDATADIR]\n"
    "\n"
    "Writes a new, empty workspace to the index file INDEX and creates its\n"
    "data directory, RELDATADIR (default \"data\") beside the index file,\n"
    "and any missing directory above them. RELDATADIR is relative to the\n"
    "index file's folder and stays inside it: an absolute path or one with\n"
    "a \"..\" component is refused (exit status 2), and so is one that\n"
    "another index file in the same folder names: two workspaces must not\n"
    "share a data directory (name another RELDATADIR).\n"
    "An existing INDEX is left alone unless --force is given, and even then\n"
    "while another process holds the workspace (exit status 5; --wait\n"
    "waits up to SECONDS for it). --force over a workspace with records\n"
    "(or an index file that does not load) keeps the former index file\n"
    "beside it as INDEX.bak (INDEX.bak.1, .2 ... when that exists; a backup\n"
    "is never replaced) and says how many records it dropped. Only a\n"
    "regular file is replaced: anything else at INDEX is refused (exit\n"
    "status 3) before anything is kept.\n"
    "\n"
    "--json prints {\"index\", \"datadir\", \"reldatadir\", \"dropped\": the\n"
    "number of records of the workspace it replaced, \"backup\": where the\n"
    "former index file is kept, or null}.\n";

// What init did, for its report.
struct InitOutcome {
  std::string datadir;
  FormerWorkspace former;
};

// RELDATADIR must name a folder inside the index file's folder, as the
// library requires of every data directory.
void checkRelDataDir(const Args& args, const std::string& rel) {
  if (!index_format::contained_dir(rel)) {
    throw Failure::usage(args.command,
                         "RELDATADIR " + quoted(rel) +
                             " must be a relative path without \"..\"");
  }
}

InitOutcome initWorkspace(const Args& args, const std::string& index,
                          const std::string& rel) {
  struct stat st;
  if (!args.has("--force") && ::stat(index.c_str(), &st) == 0) {
    throw Failure(index, "file exists (use --force to overwrite)", kUsage);
  }
  makeDirs(utils::pathname(index));
  // The data directory is on disk before the index file that names it: a
  // power cut in between leaves an empty folder, never an index without
  // its data directory. Made for nothing, it goes again.
  const std::string datadir = utils::pathadd(utils::pathname(index), rel);
  const bool made = !utils::file_exists(datadir);
  makeDirs(datadir);
  InitOutcome outcome;
  SpaceMan ws;
  ws.setLockWait(parseWait(args));
  try {
    outcome.former = createWorkspace(ws, index, rel, true);
  } catch (const Error& e) {
    if (made) ::rmdir(datadir.c_str());
    // The library's rules for the data directory's name.
    if (e.code() == Error::INVALID_FILE_NAME ||
        e.code() == Error::INVALID_TEXT || e.code() == Error::LINE_TOO_LONG) {
      throw Failure::usage(args.command,
                           "RELDATADIR " + quoted(rel) + ": " + e.what());
    }
    if (e.code() == Error::SHARED_DATA_DIRECTORY) {
      throw Failure::usage(args.command, "RELDATADIR " + quoted(rel) +
                                             " is the data directory of " +
                                             displayText(e.path()) +
                                             " too (name another one)");
    }
    throw Failure(index, e);
  }
  outcome.datadir = ws.getDatadir();
  return outcome;
}

void printInit(const Args& args, const std::string& index,
               const std::string& rel, const InitOutcome& done) {
  Out out;
  if (args.has("--json")) {
    std::string& o = out.raw();
    o += "{\"index\":";
    appendJson(o, index);
    o += ",\"datadir\":";
    appendJson(o, done.datadir);
    o += ",\"reldatadir\":";
    appendJson(o, rel);
    o += ",\"dropped\":" + std::to_string(done.former.dropped);
    o += ",\"backup\":";
    if (done.former.backup.empty()) {
      o += "null";
    } else {
      appendJson(o, done.former.backup);
    }
    o += "}\n";
  } else {
    const FormerWorkspace& former = done.former;
    if (former.unreadable) {
      out << "replaced " << displayText(index) << ", which does not load";
      if (!former.backup.empty()) {
        out << "; it is kept as " << displayText(former.backup);
      }
      out << '\n';
    } else if (!former.backup.empty() || former.dropped > 0) {
      out << "replaced a workspace of " << count(former.dropped, "record");
      if (!former.backup.empty()) {
        out << "; its index file is kept as " << displayText(former.backup);
      }
      out << '\n';
    }
    out << "created " << displayText(index) << " with data directory "
        << displayText(done.datadir) << '\n';
  }
  out.flush();
}

int runInit(const Args& args) {
  needOperands(args, 1, 2);
  const std::string& index = args.operands[0];
  const std::string rel = args.operands.size() > 1 ? args.operands[1] : "data";
  checkRelDataDir(args, rel);
  printInit(args, index, rel, initWorkspace(args, index, rel));
  return kOk;
}

}  // namespace

Command initCommand() {
  return Command{"init", kInitHelp, {"--force", "--json"}, {"--wait"}, runInit};
}

}  // namespace tool
}  // namespace vorla
