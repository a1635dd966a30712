// SPDX-License-Identifier: MIT
// vorla gc: the data files that no record names and the leftovers of
// unfinished saves, listed, moved into lost+found, or deleted.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>  // strerror
#include <ctime>
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
#include "utils/posix_file.h"
#include "workspace/check.h"
#include "workspace/create.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kGcHelp[] =
    "Lists the data files that no record names (left by crashes, by copies\n"
    "that failed, or all that is left of records that a damaged index file\n"
    "lost) and what saves killed half-way left beside the index file\n"
    "(.vorla-XXXXXX). Only files older than the grace age are collected:\n"
    "AGE is seconds, or a number followed by s, m, h or d (default 1h).\n"
    "\n"
    "--delete moves them into lost+found beside the data directory, never\n"
    "replacing a file there; --purge deletes them. Both refuse a workspace\n"
    "whose index file looks damaged (unless given --force) or whose data\n"
    "directory another index file names (exit status 3), and hold the\n"
    "workspace's writer lock while they work: --wait waits up to SECONDS\n"
    "for another process that holds it. A file that cannot be moved or\n"
    "deleted is named on standard error (exit status 3).\n"
    "--bytes prints sizes as plain byte counts. --json prints one JSON\n"
    "document (docs/schemas/gc.json).\n";

// Seconds, or a number followed by s, m, h or d.
int64_t parseAge(const std::string& command, const std::string& text) {
  std::size_t digits = 0;
  int64_t v = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' &&
         digits < 12) {
    v = v * 10 + (text[digits] - '0');
    ++digits;
  }
  const std::string unit = text.substr(digits);
  int64_t scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 3600;
  if (unit == "d") scale = 86400;
  if (digits == 0 || scale == 0) {
    throw Failure::usage(command, "invalid age " + quoted(text));
  }
  return v * scale;
}

// What gc does with the files it finds.
enum class Action { LIST, MOVE, PURGE };

const char* actionName(Action a) {
  return a == Action::LIST ? "list" : a == Action::MOVE ? "move" : "purge";
}

// A file that gc lists or collects, with the directory it is in, and what
// became of it.
struct Candidate {
  const std::string* dir = nullptr;
  OrphanFile file;
  bool temp = false;  // the leftover of a save, not a data file
  bool done = false;
  std::string movedTo;
};

// The orphan data files of `ws` in `datadir`, then what killed saves left
// in `savedir`, beside the index file.
std::vector<Candidate> findCandidates(const SpaceMan& ws,
                                      const std::string& datadir,
                                      const std::string& savedir) {
  std::vector<Candidate> candidates;
  try {
    for (const OrphanFile& f : findOrphanFiles(ws)) {
      candidates.emplace_back();
      candidates.back().dir = &datadir;
      candidates.back().file = f;
    }
  } catch (const Error& e) {
    throw Failure(datadir, e);
  }
  try {
    for (const OrphanFile& f : findSaveLeftovers(ws)) {
      candidates.emplace_back();
      candidates.back().dir = &savedir;
      candidates.back().file = f;
      candidates.back().temp = true;
    }
  } catch (const Error& e) {
    throw Failure(savedir, e);
  }
  return candidates;
}

// What gc is asked to do, as its command line says.
struct Plan {
  std::string index;
  Action action = Action::LIST;
  int64_t grace = 3600;
  int64_t now = 0;
  bool raw = false;
  std::string lostFound;  // for MOVE
};

// Moves or deletes one candidate if it is old enough; prints what became
// of it unless `json`, and returns false when it failed.
bool collect(const Plan& plan, Candidate* c, bool json, Out& out) {
  const OrphanFile& f = c->file;
  const std::string name = displayName(f.name);
  int err = 0;
  const RemoveResult result =
      plan.action == Action::MOVE
          ? moveIfOld(*c->dir, f, plan.lostFound, plan.now, plan.grace,
                      &c->movedTo, &err)
          : removeIfOld(*c->dir, f, plan.now, plan.grace);
  if (result == RemoveResult::FAILED) {
    out.flush();
    std::fprintf(stderr, "vorla: %s: cannot %s file: %s\n",
                 displayText(utils::pathadd(*c->dir, f.name)).c_str(),
                 plan.action == Action::MOVE ? "move" : "delete",
                 std::strerror(err != 0 ? err : EIO));
    return false;
  }
  c->done = result == RemoveResult::REMOVED;
  if (json) return true;
  if (!c->done) {
    out << "kept " << name << "  (younger than the grace age)\n";
  } else if (plan.action == Action::PURGE) {
    out << "deleted " << name << "  " << formatSize(f.size, plan.raw) << '\n';
  } else if (c->movedTo.empty()) {
    out << name << " was gone already\n";
  } else {
    out << "moved " << name << " to " << displayText(c->movedTo) << "  "
        << formatSize(f.size, plan.raw) << '\n';
  }
  return true;
}

void listCandidate(const Plan& plan, const Candidate& c, Out& out) {
  const OrphanFile& f = c.file;
  out << displayName(f.name)
      << (c.temp ? " (unfinished save of the index)" : "") << "  "
      << formatSize(f.size, plan.raw) << "  " << humanAge(plan.now - f.mtime)
      << " old"
      << (plan.now - f.mtime < plan.grace
              ? "  (younger than the grace age, kept)"
              : "")
      << '\n';
}

void printSummary(const Plan& plan, const std::vector<Candidate>& files,
                  Out& out) {
  std::size_t temps = 0, old = 0, done = 0;
  uint64_t bytes = 0, doneBytes = 0;
  for (const Candidate& c : files) {
    if (c.temp) ++temps;
    if (plan.now - c.file.mtime >= plan.grace) ++old;
    bytes += c.file.size;
    if (c.done) {
      ++done;
      doneBytes += c.file.size;
    }
  }
  out << count(files.size() - temps, "orphan data file");
  if (temps > 0) out << ", " << count(temps, "unfinished save");
  out << ", " << formatSize(bytes, plan.raw);
  if (plan.action == Action::LIST) {
    out << "; " << old << " older than the grace age"
        << (old > 0 ? " (--delete moves them to lost+found)\n" : "\n");
  } else if (plan.action == Action::PURGE) {
    out << "; deleted " << done << ", " << formatSize(doneBytes, plan.raw)
        << '\n';
  } else {
    out << "; moved " << done << ", " << formatSize(doneBytes, plan.raw);
    if (done > 0) {
      out << ", to " << displayText(plan.lostFound)
          << " (delete it once nothing there is needed)";
    }
    out << '\n';
  }
}

void printJson(const Plan& plan, const std::string& datadir,
               const std::vector<Candidate>& files, Out& out) {
  std::string& o = out.raw();
  JsonWriter w(o);
  w.beginObject().field("index", plan.index).field("datadir", datadir);
  w.field("grace", plan.grace).field("action", actionName(plan.action));
  w.stringOrNull("lost_found", plan.action == Action::MOVE, plan.lostFound);
  w.key("files").beginArray();
  uint64_t total = 0;
  for (const Candidate& c : files) {
    total += c.file.size;
    w.beginObject().field("path", utils::pathadd(*c.dir, c.file.name));
    w.field("kind", c.temp ? "temp" : "orphan").field("size", c.file.size);
    w.field("age", plan.now - c.file.mtime).field("done", c.done);
    w.stringOrNull("to", !c.movedTo.empty(), c.movedTo).endObject();
    if (o.size() >= (1 << 20)) out.flush();
  }
  w.endArray().field("total_bytes", total).endObject();
}

// Flushes the directories that gc moved files into and out of, in that
// order, so that a power cut after gc returns loses no file: one moved is
// on disk in lost+found before its old name is gone. Prints each directory
// that cannot be flushed on standard error; returns how many.
std::size_t syncCollected(const Plan& plan, const std::vector<Candidate>& files,
                          Out& out) {
  std::vector<std::string> dirs;
  for (const Candidate& c : files) {
    if (!c.done) continue;
    if (dirs.empty() && plan.action == Action::MOVE)
      dirs.push_back(plan.lostFound);
    if (std::find(dirs.begin(), dirs.end(), *c.dir) == dirs.end())
      dirs.push_back(*c.dir);
  }
  std::size_t failed = 0;
  for (const std::string& dir : dirs) {
    if (utils::sync_directory(dir)) continue;
    const int err = errno;
    out.flush();
    std::fprintf(stderr, "vorla: %s: cannot flush directory: %s\n",
                 displayText(dir).c_str(), std::strerror(err));
    ++failed;
  }
  return failed;
}

// --delete and --purge leave a workspace alone whose index file looks
// damaged: its orphans may be all that is left of the records it lost.
void refuseDamaged(const SpaceMan& ws, const Args& args, Progress& progress) {
  if (args.has("--force")) return;
  CheckReport report;
  try {
    report = checkWorkspace(ws, progressOf(progress, "checking"));
    progress.clear();
  } catch (const Error& e) {
    throw Failure(ws.getDatadir(), e);
  }
  if (!report.damaged) return;
  throw Failure(ws.mainfile(),
                "the index file looks damaged: gc changes nothing (run "
                "'vorla check'; --force collects anyway)",
                kBroken, "damaged");
}

// --delete and --purge leave a data directory alone that another index
// file in the folder names: what is an orphan to this workspace may be a
// data file of the other.
void refuseShared(const SpaceMan& ws) {
  const std::vector<std::string> others =
      dataDirectorySharers(ws.mainfile(), ws.getRelDataDir());
  if (others.empty()) return;
  throw Failure(ws.mainfile(),
                "the data directory is shared with " + displayText(others[0]) +
                    ": gc changes nothing (give each workspace its own data "
                    "directory)",
                kBroken, "shared_data_directory");
}

Plan planOf(const Args& args) {
  Plan plan;
  plan.index = args.operands[0];
  const std::string* graceText = args.value("--grace");
  if (graceText) plan.grace = parseAge(args.command, *graceText);
  if (args.has("--delete") && args.has("--purge")) {
    throw Failure::usage(args.command,
                         "--delete and --purge exclude each other");
  }
  if (args.has("--delete")) plan.action = Action::MOVE;
  if (args.has("--purge")) plan.action = Action::PURGE;
  if (args.has("--force") && plan.action == Action::LIST) {
    throw Failure::usage(args.command, "--force goes with --delete or --purge");
  }
  plan.raw = args.has("--bytes");
  return plan;
}

int runGc(const Args& args) {
  needOperands(args);
  Plan plan = planOf(args);
  const bool json = args.has("--json");
  const double wait = parseWait(args);
  // With the lock held, no process that writes through the library can
  // have made a data file that its index file does not name yet.
  WriterLock lock;
  if (plan.action != Action::LIST) lockWorkspace(lock, plan.index, wait);
  Progress progress;
  SpaceMan ws;
  loadWorkspace(ws, plan.index, progress);
  if (plan.action != Action::LIST) {
    refuseShared(ws);
    refuseDamaged(ws, args, progress);
  }
  const std::string datadir = ws.getDatadir();
  const std::string savedir = saveDirectory(ws);
  plan.lostFound = lostFoundDirectory(ws);
  std::vector<Candidate> files = findCandidates(ws, datadir, savedir);
  plan.now = static_cast<int64_t>(std::time(nullptr));
  Out out;
  std::size_t failed = 0;
  for (Candidate& c : files) {
    if (plan.action != Action::LIST) {
      if (!collect(plan, &c, json, out)) ++failed;
    } else if (!json) {
      listCandidate(plan, c, out);
    }
  }
  if (plan.action != Action::LIST) failed += syncCollected(plan, files, out);
  if (json) {
    printJson(plan, datadir, files, out);
  } else {
    printSummary(plan, files, out);
  }
  out.flush();
  return failed == 0 ? kOk : kBroken;
}

}  // namespace

Command gcCommand() {
  return Command{"gc",
                 "list orphan data files; move them into lost+found, or delete "
                 "them",
                 {{"--delete", nullptr, 1},
                  {"--purge", nullptr, 1},
                  {"--force", nullptr},
                  {"--grace", "AGE"},
                  {"--json", nullptr},
                  {"--bytes", nullptr},
                  {"--wait", "SECONDS"}},
                 {"INDEX"},
                 {kOk, kUsage, kBroken, kInUse},
                 kGcHelp,
                 runGc};
}

}  // namespace tool
}  // namespace vorla
