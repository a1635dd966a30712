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

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "workspace/check.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kGcHelp[] =
    "usage: vorla gc [--delete | --purge] [--force] [--grace AGE] [--json]\n"
    "                [--bytes] [--wait SECONDS] INDEX\n"
    "\n"
    "Lists the data files that no record names (left by crashes or by\n"
    "copies that failed, or all that is left of records that a damaged\n"
    "index file lost), and the temporary files that saves killed half-way\n"
    "left beside the index file (.vorla-XXXXXX).\n"
    "\n"
    "--delete moves them into the workspace's lost+found folder, beside the\n"
    "data directory (in it when the data directory is the index file's own\n"
    "folder), and prints where each went; nothing there is ever replaced:\n"
    "a name already taken gets \".1\", \".2\" ... Delete lost+found once\n"
    "nothing in it is needed. A file on another file system than lost+found\n"
    "is not moved. --purge deletes them outright instead.\n"
    "\n"
    "Files younger than the grace age are never touched, as a running\n"
    "process may have created one for a record that its index file does not\n"
    "name yet. AGE is a number of seconds, or a number followed by s, m, h or\n"
    "d; the default is 1h. Only files with the names the library gives data\n"
    "files are considered; the data directory must not be shared with\n"
    "another workspace.\n"
    "\n"
    "--delete and --purge first check the workspace and refuse one whose\n"
    "index file looks damaged (see 'vorla check --help'): exit status 3,\n"
    "nothing changed, unless --force is given. They hold the workspace's\n"
    "writer lock from before they read the workspace, so no running process\n"
    "that writes through the library has unsaved data files meanwhile; while\n"
    "another process holds it, nothing is touched and the exit status is 5\n"
    "(--wait waits up to SECONDS for it). The grace age still protects what\n"
    "the lock cannot: files of programs that write without it, and files\n"
    "being put in place by hand. A file that cannot be moved or deleted is\n"
    "named on standard error, and the exit status is 3. Before it exits,\n"
    "gc flushes lost+found and the directories it moved files out of, so\n"
    "that a power cut after it loses no file.\n"
    "\n"
    "--bytes prints sizes as plain byte counts. --json prints one JSON\n"
    "document: {\"index\", \"datadir\", \"grace\", \"action\": \"list\", "
    "\"move\"\n"
    "or \"purge\", \"lost_found\", \"files\": [{\"path\", \"kind\": \"orphan\" "
    "or\n"
    "\"temp\", \"size\", \"age\", \"done\", \"to\"}], \"total_bytes\"}; the "
    "README\n"
    "gives its schema.\n";

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
  o += "{\"index\":";
  appendJson(o, plan.index);
  o += ",\"datadir\":";
  appendJson(o, datadir);
  o += ",\"grace\":" + std::to_string(plan.grace) + ",\"action\":\"" +
       actionName(plan.action) + "\",\"lost_found\":";
  if (plan.action == Action::MOVE) {
    appendJson(o, plan.lostFound);
  } else {
    o += "null";
  }
  o += ",\"files\":[";
  uint64_t total = 0;
  for (std::size_t k = 0; k < files.size(); ++k) {
    const Candidate& c = files[k];
    total += c.file.size;
    o += k > 0 ? ",{\"path\":" : "{\"path\":";
    appendJson(o, utils::pathadd(*c.dir, c.file.name));
    o += std::string(",\"kind\":\"") + (c.temp ? "temp" : "orphan") +
         "\",\"size\":" + std::to_string(c.file.size) +
         ",\"age\":" + std::to_string(plan.now - c.file.mtime) +
         ",\"done\":" + (c.done ? "true" : "false") + ",\"to\":";
    if (c.movedTo.empty()) {
      o += "null";
    } else {
      appendJson(o, c.movedTo);
    }
    o += '}';
    if (o.size() >= (1 << 20)) out.flush();
  }
  o += "],\"total_bytes\":" + std::to_string(total) + "}\n";
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

Plan planOf(const Args& args) {
  Plan plan;
  plan.index = args.operands[0];
  const std::string* graceText = args.value("--grace");
  if (graceText) plan.grace = parseAge(args.command, *graceText);
  if (args.has("--delete")) plan.action = Action::MOVE;
  if (args.has("--purge")) plan.action = Action::PURGE;
  if (args.has("--force") && plan.action == Action::LIST) {
    throw Failure::usage(args.command, "--force goes with --delete or --purge");
  }
  plan.raw = args.has("--bytes");
  return plan;
}

int runGc(const Args& args) {
  needOperands(args, 1, 1);
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
  if (plan.action != Action::LIST) refuseDamaged(ws, args, progress);
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
                 kGcHelp,
                 {"--delete", "--purge", "--force", "--json", "--bytes"},
                 {"--grace", "--wait"},
                 runGc};
}

}  // namespace tool
}  // namespace vorla
