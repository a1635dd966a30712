// SPDX-License-Identifier: MIT
// vorla init: a new, empty workspace and its data directory.

#include <sys/stat.h>  // stat
#include <unistd.h>    // rmdir

#include <cstddef>
#include <string>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/make_dirs.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/wait.h"
#include "utils/file_utils.h"
#include "workspace/create.h"
#include "workspace/index_format.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kInitHelp[] =
    "Writes a new, empty workspace to the index file INDEX and creates its\n"
    "data directory, RELDATADIR (default \"data\") beside the index file,\n"
    "and any missing directory above them. RELDATADIR stays inside the\n"
    "index file's folder (no absolute path, no \"..\") and must not be the\n"
    "data directory of another index file there (exit status 2).\n"
    "\n"
    "An existing INDEX is replaced only with --force, and only a regular\n"
    "file; the former one is kept as INDEX.bak (INDEX.bak.1, ... when\n"
    "taken) when it had records or does not load. --wait waits up to\n"
    "SECONDS for another process that holds the workspace.\n"
    "--json prints one JSON document (docs/schemas/init.json).\n";

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
    JsonWriter w(out.raw());
    w.beginObject().field("index", index).field("datadir", done.datadir);
    w.field("reldatadir", rel).field("dropped", done.former.dropped);
    w.stringOrNull("backup", !done.former.backup.empty(), done.former.backup);
    w.endObject();
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
  needOperands(args);
  const std::string& index = args.operands[0];
  const std::string rel = args.operands.size() > 1 ? args.operands[1] : "data";
  checkRelDataDir(args, rel);
  printInit(args, index, rel, initWorkspace(args, index, rel));
  return kOk;
}

}  // namespace

Command initCommand() {
  return Command{
      "init",
      "create an empty workspace and its data directory",
      {{"--force", nullptr}, {"--json", nullptr}, {"--wait", "SECONDS"}},
      {"INDEX", "[RELDATADIR]"},
      {kOk, kUsage, kBroken, kInUse},
      kInitHelp,
      runInit};
}

}  // namespace tool
}  // namespace vorla
