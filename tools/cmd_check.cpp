// SPDX-License-Identifier: MIT
// vorla check: what is wrong with a workspace, and whether its index file
// looks damaged; --fix-counts repairs the internal counts, keeping the
// former index file.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/progress.h"
#include "tools/wait.h"
#include "tools/workspace_io.h"
#include "utils/file_utils.h"
#include "workspace/check.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kCheckHelp[] =
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
    "  cut-short          the index file's last line has no line feed: the\n"
    "                     file lost its end, and its last value may be wrong\n"
    "  counter-behind     record 0's id counter is below the highest id\n"
    "  records-missing    orphan data files together with child items that\n"
    "                     name missing records, or records that lost the\n"
    "                     record that named them: the orphans are most\n"
    "                     likely the data of records the index file lost\n"
    "  shared-data-dir    another index file in the same folder names the\n"
    "                     same data directory (gc refuses to touch it)\n"
    "The index file looks damaged when there is a dangling-child, cut-short,\n"
    "counter-behind or records-missing finding; the last line then says so.\n"
    "Keep the orphan data files of a damaged workspace, and its index file:\n"
    "they may be all that is left of the lost records.\n"
    "Exits 1 when anything is wrong.\n"
    "\n"
    "--fix-counts sets every internal count to the recomputed one, keeps the\n"
    "former index file as INDEX.bak (INDEX.bak.1, ... when taken), saves,\n"
    "prints what it changed and checks again. It refuses a workspace that\n"
    "looks damaged (exit status 3, nothing changed) unless given --force.\n"
    "--wait waits up to SECONDS for another process that holds the\n"
    "workspace.\n"
    "--json prints one JSON document (docs/schemas/check.json).\n";

const char* kindName(Finding::Kind kind) {
  switch (kind) {
    case Finding::DANGLING_CHILD:
      return "dangling-child";
    case Finding::COUNT_MISMATCH:
      return "count-mismatch";
    case Finding::UNKEPT_RECORD:
      return "unkept-record";
    case Finding::CYCLE:
      return "cycle";
    case Finding::MISSING_FILE:
      return "missing-file";
    case Finding::SHARED_FILE:
      return "shared-file";
    case Finding::INVALID_FILE_NAME:
      return "invalid-file-name";
    case Finding::ORPHAN_FILE:
      return "orphan-file";
    case Finding::CUT_SHORT:
      return "cut-short";
    case Finding::COUNTER_BEHIND:
      return "counter-behind";
    case Finding::RECORDS_MISSING:
      return "records-missing";
    case Finding::SHARED_DATA_DIR:
      return "shared-data-dir";
  }
  return "unknown";
}

// Whether a finding is about a record (else about the index file or a data
// file alone), and whether about one of its items.
bool hasRecord(const Finding& f) {
  return f.kind != Finding::ORPHAN_FILE && f.kind != Finding::CUT_SHORT &&
         f.kind != Finding::RECORDS_MISSING &&
         f.kind != Finding::SHARED_DATA_DIR;
}

bool hasItem(const Finding& f) {
  return hasRecord(f) && f.kind != Finding::COUNT_MISMATCH &&
         f.kind != Finding::UNKEPT_RECORD;
}

// Whether `file` of a finding is a data file's stored name.
bool namesDataFile(const Finding& f) {
  return f.kind == Finding::MISSING_FILE || f.kind == Finding::SHARED_FILE ||
         f.kind == Finding::ORPHAN_FILE || f.kind == Finding::INVALID_FILE_NAME;
}

std::string where(const Finding& f) {
  std::string s = "record " + std::to_string(f.id);
  if (hasItem(f)) s += ", item " + quoted(f.item);
  return s;
}

std::string describeDamage(const Finding& f) {
  switch (f.kind) {
    case Finding::CUT_SHORT:
      return "cut-short: " + displayText(f.file) +
             ": the last line has no line feed: the file was cut short, and "
             "its last value may be wrong";
    case Finding::COUNTER_BEHIND:
      return "counter-behind: record 0: the id counter is " +
             std::to_string(f.stored) + ", below the highest id " +
             std::to_string(f.actual);
    default:
      break;
  }
  std::string s = "records-missing: records appear to be missing: ";
  if (f.dangling > 0) {
    s += count(f.dangling, "child item") + (f.dangling == 1
                                                ? " names a missing record, "
                                                : " name missing records, ");
  }
  if (f.parentless > 0) {
    s += count(f.parentless, "record") + " lost the record that named " +
         (f.parentless == 1 ? "it, " : "them, ");
  }
  return s + count(f.orphans, "orphan data file") +
         " may hold their data: keep them";
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
    case Finding::SHARED_DATA_DIR:
      return "shared-data-dir: " + displayText(f.file) +
             " names the same data directory: a release or a gc of either "
             "workspace deletes the other's data files";
    default:
      return describeDamage(f);
  }
}

// One finding as a JSON object: kind, record, item and path, then what
// its kind adds.
void jsonFinding(const Finding& f, const std::string& datadir, JsonWriter& w) {
  w.beginObject().field("kind", kindName(f.kind)).key("record");
  hasRecord(f) ? w.value(f.id) : w.null();
  w.stringOrNull("item", hasItem(f) || f.kind == Finding::COUNTER_BEHIND,
                 f.item);
  if (namesDataFile(f)) {
    w.stringOrNull("path", f.kind != Finding::INVALID_FILE_NAME,
                   utils::pathadd(datadir, f.file));
    w.field("file", f.file);
  } else {
    w.stringOrNull("path", !f.file.empty(), f.file);
  }
  switch (f.kind) {
    case Finding::DANGLING_CHILD:
    case Finding::SHARED_FILE:
      w.field("target", f.target);
      break;
    case Finding::COUNT_MISMATCH:
      w.field("stored", f.stored).field("actual", f.actual);
      break;
    case Finding::COUNTER_BEHIND:
      w.field("counter", f.stored).field("highest_id", f.actual);
      break;
    case Finding::CYCLE:
      w.key("cycle").beginArray();
      for (unsigned id : f.path) w.value(id);
      w.endArray();
      break;
    case Finding::RECORDS_MISSING:
      w.field("dangling_children", f.dangling);
      w.field("parentless_records", f.parentless);
      w.field("orphan_files", f.orphans);
      break;
    default:
      break;
  }
  w.endObject();
}

// What check found and did, for its report.
struct Outcome {
  CheckReport report;
  bool loaded = true;  // false: the reader refused a stored file name
  std::vector<CountFix> fixed;
  std::string backup;
};

void printJson(const std::string& index, const std::string& datadir,
               const Outcome& done, Out& out) {
  std::string& o = out.raw();
  const CheckReport& r = done.report;
  JsonWriter w(o);
  w.beginObject().field("index", index).key("records");
  done.loaded ? w.value(r.records) : w.null();
  w.field("sound", r.findings.empty()).field("damaged", r.damaged);
  w.key("findings").beginArray();
  if (!done.loaded) {
    w.beginObject().field("kind", "invalid-file-name");
    w.key("record").null().key("item").null();
    w.field("path", index).endObject();
  }
  for (std::size_t k = 0; done.loaded && k < r.findings.size(); ++k) {
    jsonFinding(r.findings[k], datadir, w);
    if (o.size() >= (1 << 20)) out.flush();
  }
  w.endArray().key("fixed").beginArray();
  for (const CountFix& fix : done.fixed) {
    w.beginObject().field("record", fix.id).field("stored", fix.stored);
    w.field("actual", fix.actual).endObject();
  }
  w.endArray().stringOrNull("backup", !done.backup.empty(), done.backup);
  w.endObject();
}

void printText(const std::string& index, const Outcome& done, Out& out) {
  const CheckReport& r = done.report;
  for (const Finding& f : r.findings) out << describe(f) << '\n';
  out << displayText(index) << ": " << count(r.records, "record") << ", "
      << (r.findings.empty() ? std::string("sound")
                             : count(r.findings.size(), "finding"))
      << (r.damaged ? "; the index file looks damaged (see 'vorla check "
                      "--help' before changing anything)"
                    : "")
      << '\n';
}

// Loads INDEX for check, and returns false when the reader refused it for
// a stored file name that is not a plain name. The reader refuses such an
// index file so that no data file path can leave the data directory; for
// check that is a finding about the file, not a failure to run. A file
// that does not load and lacks its last line feed is said to be cut short.
bool loadForCheck(SpaceMan& ws, const std::string& index, Progress& progress) {
  try {
    loadWorkspace(ws, index, progress);
  } catch (const Failure& e) {
    if (!e.is(Error::INVALID_FILE_NAME)) {
      if (e.status() == kBroken && !e.path().empty() &&
          indexCutShort(e.path())) {
        std::fprintf(stderr,
                     "vorla: %s: the last line has no line feed: "
                     "the file was cut short\n",
                     displayText(e.path()).c_str());
      }
      throw;
    }
    return false;
  }
  return true;
}

// The invalid-file-name finding of an index file that the reader refused:
// no record can be named, the path is the index file's.
void refusedName(Outcome* done) {
  Finding f;
  f.kind = Finding::INVALID_FILE_NAME;
  done->loaded = false;
  done->report.findings.push_back(f);
}

CheckReport runChecks(const SpaceMan& ws, Progress& progress) {
  try {
    CheckReport report = checkWorkspace(ws, progressOf(progress, "checking"));
    progress.clear();
    return report;
  } catch (const Error& e) {
    throw Failure(ws.getDatadir(), e);
  }
}

// --fix-counts: sets the internal counts and, when any changed, keeps the
// former index file and saves; refuses a damaged workspace unless forced.
void fixCounts(SpaceMan& ws, const Args& args, Progress& progress,
               Outcome* done) {
  const std::string index = ws.mainfile();
  if (done->report.damaged && !args.has("--force")) {
    if (!args.has("--json")) {
      Out out;
      printText(index, *done, out);
    }
    throw Failure(index,
                  "the index file looks damaged: --fix-counts changes nothing "
                  "(--force fixes the counts anyway)",
                  kBroken, "damaged");
  }
  done->fixed = fixInternalCounts(ws);
  if (done->fixed.empty()) return;
  try {
    done->backup = backupFile(index);
  } catch (const Error& e) {
    throw Failure(index, e, "cannot keep the former index file");
  }
  saveWorkspace(ws);
  done->report = runChecks(ws, progress);
}

int runCheck(const Args& args) {
  needOperands(args);
  const std::string& index = args.operands[0];
  const double wait = parseWait(args);
  const bool fix = args.has("--fix-counts");
  const bool json = args.has("--json");
  if (args.has("--force") && !fix) {
    throw Failure::usage(args.command, "--force goes with --fix-counts");
  }
  WriterLock lock;
  if (fix) lockWorkspace(lock, index, wait);
  Progress progress;
  SpaceMan ws;
  Outcome done;
  if (loadForCheck(ws, index, progress)) {
    done.report = runChecks(ws, progress);
    if (fix) fixCounts(ws, args, progress, &done);
  } else {
    refusedName(&done);
  }
  Out out;
  if (json) {
    printJson(index, ws.getDatadir(), done, out);
  } else if (!done.loaded) {
    out << "invalid-file-name: " << displayText(index)
        << ": a file item holds a stored file name that is not a plain name "
           "(empty, \".\", \"..\", or holding \"/\" or \"\\\"); the library "
           "refuses to load the index file, so the record cannot be named "
           "here: edit the file by hand\n"
        << displayText(index) << ": 1 finding\n";
  } else {
    for (const CountFix& f : done.fixed) {
      out << "fixed: record " << f.id << ": internal count " << f.stored
          << " -> " << f.actual << '\n';
    }
    if (!done.backup.empty()) {
      out << "kept the former index file as " << displayText(done.backup)
          << "\nsaved " << displayText(index) << '\n';
    }
    printText(index, done, out);
  }
  out.flush();
  return done.report.findings.empty() ? kOk : kFound;
}

}  // namespace

Command checkCommand() {
  return Command{"check",
                 "report what is wrong with a workspace",
                 {{"--fix-counts", nullptr},
                  {"--force", nullptr, 0, "--fix-counts"},
                  {"--json", nullptr},
                  {"--wait", "SECONDS"}},
                 {"INDEX"},
                 {kOk, kFound, kUsage, kBroken, kInUse},
                 kCheckHelp,
                 runCheck};
}

}  // namespace tool
}  // namespace vorla
