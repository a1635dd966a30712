// vorla init: a new, empty workspace and its data directory.

#include <sys/stat.h>  // stat

#include <cstddef>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "utils/file_utils.h"
#include "workspace/gc.h"
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
    "a \"..\" component is refused (exit status 2).\n"
    "An existing INDEX is left alone unless --force is given, and even then\n"
    "while another process holds the workspace (exit status 5; --wait\n"
    "waits up to SECONDS for it). --force over a workspace with records\n"
    "(or an index file that does not load) keeps the former index file\n"
    "beside it as INDEX.bak (INDEX.bak.1, .2 ... when that exists; a backup\n"
    "is never replaced) and says how many records it dropped.\n"
    "\n"
    "--json prints {\"index\", \"datadir\", \"reldatadir\", \"dropped\": the\n"
    "number of records of the workspace it replaced, \"backup\": where the\n"
    "former index file is kept, or null}.\n";

// What init did, for its report.
struct InitOutcome {
  std::string datadir;
  // The records of the workspace it replaced (--force).
  std::size_t dropped = 0;
  // Where the former index file is kept; empty when nothing was replaced.
  std::string backup;
  // The replaced index file did not load, so its records are not known.
  bool unreadable = false;
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

// --force over a workspace with records keeps its index file first, so
// that what init replaces stays until the user deletes it. One that does
// not load is kept too: nothing says it holds no records.
void keepFormer(const std::string& index, InitOutcome* outcome) {
  struct stat st;
  if (::stat(index.c_str(), &st) != 0) return;
  SpaceMan former;
  try {
    former.load(index);
    const SpaceMan::Registry& recs = former.getStructs();
    outcome->dropped = recs.size() - recs.count(0);
    if (outcome->dropped == 0) return;
  } catch (const Error&) {
    outcome->unreadable = true;
  }
  try {
    outcome->backup = backupFile(index);
  } catch (const Error& e) {
    throw Failure(index, e, "cannot keep the former index file");
  }
}

InitOutcome initWorkspace(const Args& args, const std::string& index,
                          const std::string& rel) {
  struct stat st;
  if (!args.has("--force") && ::stat(index.c_str(), &st) == 0) {
    throw Failure(index, "file exists (use --force to overwrite)", kUsage);
  }
  makeDirs(utils::pathname(index));
  InitOutcome outcome;
  // Held from before the former workspace is read until the new one is
  // written, so that the backup is of the file that init replaces.
  WriterLock lock;
  if (args.has("--force")) {
    lockWorkspace(lock, index, parseWait(args));
    keepFormer(index, &outcome);
  }
  SpaceMan ws;
  ws.setLockWait(parseWait(args));
  try {
    ws.init(index, rel);
  } catch (const Error& e) {
    // The library's rules for the data directory's name.
    if (e.code() == Error::INVALID_FILE_NAME ||
        e.code() == Error::INVALID_TEXT || e.code() == Error::LINE_TOO_LONG) {
      throw Failure::usage(args.command,
                           "RELDATADIR " + quoted(rel) + ": " + e.what());
    }
    throw Failure(index, e);
  }
  outcome.datadir = ws.getDatadir();
  makeDirs(outcome.datadir);
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
    o += ",\"dropped\":" + std::to_string(done.dropped);
    o += ",\"backup\":";
    if (done.backup.empty()) {
      o += "null";
    } else {
      appendJson(o, done.backup);
    }
    o += "}\n";
  } else {
    if (done.unreadable) {
      out << "replaced " << displayText(index) << ", which does not load";
      if (!done.backup.empty()) {
        out << "; it is kept as " << displayText(done.backup);
      }
      out << '\n';
    } else if (!done.backup.empty() || done.dropped > 0) {
      out << "replaced a workspace of " << count(done.dropped, "record");
      if (!done.backup.empty()) {
        out << "; its index file is kept as " << displayText(done.backup);
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
