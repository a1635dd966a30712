// vorla check: what is wrong with a workspace; --fix-counts repairs the
// internal counts.

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "workspace/check.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kCheckHelp[] =
    "usage: vorla check [--fix-counts] [--wait SECONDS] INDEX\n"
    "\n"
    "Checks a workspace and names each finding with its record and item:\n"
    "  dangling-child     a child item names a record that does not exist\n"
    "  count-mismatch     a record's internal count differs from the number\n"
    "                     of child items that name it\n"
    "  unkept-record      no external reference and no child item keeps it\n"
    "  cycle              child items lead back to where they started\n"
    "  missing-file       a file item's data file is not there\n"
    "  shared-file        two file items name the same data file\n"
    "  invalid-file-name  a stored file name is not a plain name (the\n"
    "                     library refuses to load such an index file)\n"
    "  orphan-file        a data file that no file item names\n"
    "Exits 0 when the workspace is sound, 1 when anything is wrong.\n"
    "\n"
    "--fix-counts sets every internal count to the recomputed one, saves\n"
    "the workspace and prints what it changed, then checks the result. It\n"
    "holds the workspace's writer lock from before it reads the workspace;\n"
    "while another process holds it, it changes nothing and exits 5 (--wait\n"
    "waits up to SECONDS for it).\n";

std::string where(const Finding& f) {
  std::string s = "record " + std::to_string(f.id);
  if (f.kind != Finding::COUNT_MISMATCH && f.kind != Finding::UNKEPT_RECORD) {
    s += ", item " + quoted(f.item);
  }
  return s;
}

std::string describe(const Finding& f) {
  switch (f.kind) {
    case Finding::DANGLING_CHILD:
      return "dangling-child: " + where(f) + ": names record " +
             std::to_string(f.target) + ", which does not exist";
    case Finding::COUNT_MISMATCH:
      return "count-mismatch: " + where(f) + ": internal count is " +
             std::to_string(f.stored) + ", but " + std::to_string(f.actual) +
             (f.actual == 1 ? " child item names it" : " child items name it");
    case Finding::UNKEPT_RECORD:
      return "unkept-record: " + where(f) +
             ": no external reference and no child item keeps it";
    case Finding::CYCLE: {
      std::string path;
      for (unsigned id : f.path) {
        path += (path.empty() ? "" : " -> ") + std::to_string(id);
      }
      return "cycle: " + where(f) + ": child items lead back: " + path;
    }
    case Finding::MISSING_FILE:
      return "missing-file: " + where(f) + ": data file " +
             displayName(f.file) + " is missing";
    case Finding::SHARED_FILE:
      return "shared-file: " + where(f) + ": data file " + displayName(f.file) +
             " is also named by record " + std::to_string(f.target);
    case Finding::INVALID_FILE_NAME:
      return "invalid-file-name: " + where(f) + ": stored file name " +
             quoted(f.file) + " is not a plain name";
    case Finding::ORPHAN_FILE:
      return "orphan-file: data file " + displayName(f.file) +
             " is named by no record";
  }
  return "unknown finding";
}

// Loads INDEX for check, and returns false when the reader refused it for
// a stored file name that is not a plain name, after reporting that. The
// reader refuses such an index file so that no data file path can leave
// the data directory; for check that is a finding about the file, not a
// failure to run.
bool loadForCheck(SpaceMan& ws, const std::string& index, Progress& progress) {
  try {
    loadWorkspace(ws, index, progress);
  } catch (const Failure& e) {
    if (e.message() != "invalid file name") throw;
    Out out;
    out << "invalid-file-name: " << displayText(index)
        << ": a file item holds a stored file name that is not a plain name "
           "(empty, \".\", \"..\", or holding \"/\" or \"\\\"); the library "
           "refuses to load the index file, so the record cannot be named "
           "here: edit the file by hand\n"
        << displayText(index) << ": 1 finding\n";
    out.flush();
    return false;
  }
  return true;
}

// --fix-counts: sets the internal counts, saves when any changed, and says
// what it did.
void fixCounts(SpaceMan& ws, const std::string& index, Out& out) {
  const std::vector<CountFix> fixes = fixInternalCounts(ws);
  for (const CountFix& fix : fixes) {
    out << "fixed: record " << fix.id << ": internal count " << fix.stored
        << " -> " << fix.actual << '\n';
  }
  if (!fixes.empty()) {
    saveWorkspace(ws);
    out << "saved " << displayText(index) << '\n';
  }
}

int runCheck(const Args& args) {
  needOperands(args, 1, 1);
  const std::string& index = args.operands[0];
  const double wait = parseWait(args);
  const bool fix = args.has("--fix-counts");
  WriterLock lock;
  if (fix) lockWorkspace(lock, index, wait);
  Progress progress;
  SpaceMan ws;
  if (!loadForCheck(ws, index, progress)) return kFound;
  Out out;
  if (fix) fixCounts(ws, index, out);
  CheckReport report;
  try {
    report = checkWorkspace(ws, progressOf(progress, "checking"));
  } catch (const Error& e) {
    throw Failure(ws.getDatadir(), e);
  }
  progress.clear();
  for (const Finding& f : report.findings) out << describe(f) << '\n';
  out << displayText(index) << ": " << count(report.records, "record") << ", "
      << (report.findings.empty() ? std::string("sound")
                                  : count(report.findings.size(), "finding"))
      << '\n';
  out.flush();
  return report.findings.empty() ? kOk : kFound;
}

}  // namespace

Command checkCommand() {
  return Command{"check", kCheckHelp, {"--fix-counts"}, {"--wait"}, runCheck};
}

}  // namespace tool
}  // namespace vorla
