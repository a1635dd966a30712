// vorla gc: the data files that no record names and the leftovers of
// unfinished saves, listed or deleted.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "utils/file_utils.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

namespace {

const char kGcHelp[] =
    "usage: vorla gc [--delete] [--grace AGE] [--wait SECONDS] INDEX\n"
    "\n"
    "Lists the data files that no record names (left by crashes or by\n"
    "copies that failed); with --delete, deletes them and prints what it\n"
    "deleted. Files younger than the grace age are never touched, as a\n"
    "running process may have created one for a record that its index file\n"
    "does not name yet. AGE is a number of seconds, or a number followed\n"
    "by s, m, h or d; the default is 1h. Only files with the names the\n"
    "library gives data files are considered; the data directory must not\n"
    "be shared with another workspace. The temporary files that saves\n"
    "killed half-way left beside the index file (.vorla-XXXXXX) are listed\n"
    "and deleted alike.\n"
    "\n"
    "--delete holds the workspace's writer lock from before it reads the\n"
    "workspace, so no running process that writes through the library has\n"
    "unsaved data files meanwhile; while another process holds it, nothing\n"
    "is deleted and the exit status is 5 (--wait waits up to SECONDS for it).\n"
    "The grace age still protects what the lock cannot: files of programs\n"
    "that write without it, and files being put in place by hand.\n";

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

// A file that gc lists or deletes, with the directory it is in.
struct Candidate {
  const std::string* dir;
  OrphanFile file;
};

// The orphan data files of `ws` in `datadir`, then what killed saves left
// in `savedir`, beside the index file; `orphans` is set to the number of
// the former.
std::vector<Candidate> findCandidates(const SpaceMan& ws,
                                      const std::string& datadir,
                                      const std::string& savedir,
                                      std::size_t* orphans) {
  std::vector<Candidate> candidates;
  try {
    for (const OrphanFile& f : findOrphanFiles(ws))
      candidates.push_back(Candidate{&datadir, f});
    *orphans = candidates.size();
  } catch (const Error& e) {
    throw Failure(datadir, e);
  }
  try {
    for (const OrphanFile& f : findSaveLeftovers(ws))
      candidates.push_back(Candidate{&savedir, f});
  } catch (const Error& e) {
    throw Failure(savedir, e);
  }
  return candidates;
}

// What gc saw and did, for its last line.
struct Tally {
  std::size_t old = 0, removed = 0, failed = 0;
  uint64_t bytes = 0, removedBytes = 0;
};

// Deletes one candidate if it is old enough and says what became of it.
void deleteCandidate(const Candidate& c, const std::string& name, int64_t now,
                     int64_t grace, Out& out, Tally* tally) {
  const OrphanFile& f = c.file;
  switch (removeIfOld(*c.dir, f, now, grace)) {
    case RemoveResult::REMOVED:
      out << "deleted " << name << "  " << formatSize(f.size, false) << '\n';
      ++tally->removed;
      tally->removedBytes += f.size;
      break;
    case RemoveResult::TOO_YOUNG:
      out << "kept " << name << "  (younger than the grace age)\n";
      break;
    case RemoveResult::FAILED:
      out.flush();
      std::fprintf(stderr, "vorla: %s: cannot delete file\n",
                   displayText(utils::pathadd(*c.dir, f.name)).c_str());
      ++tally->failed;
      break;
  }
}

void printSummary(std::size_t orphans, std::size_t candidates, bool remove,
                  const Tally& tally, Out& out) {
  out << count(orphans, "orphan data file");
  if (candidates > orphans)
    out << ", " << count(candidates - orphans, "unfinished save");
  out << ", " << formatSize(tally.bytes, false);
  if (remove) {
    out << "; deleted " << tally.removed << ", "
        << formatSize(tally.removedBytes, false) << '\n';
  } else {
    out << "; " << tally.old << " older than the grace age"
        << (tally.old > 0 ? " (--delete deletes them)\n" : "\n");
  }
}

int runGc(const Args& args) {
  needOperands(args, 1, 1);
  const std::string& index = args.operands[0];
  const std::string* graceText = args.value("--grace");
  const int64_t grace = graceText ? parseAge(args.command, *graceText) : 3600;
  const bool remove = args.has("--delete");
  const double wait = parseWait(args);
  // With the lock held, no process that writes through the library can
  // have made a data file that its index file does not name yet.
  WriterLock lock;
  if (remove) lockWorkspace(lock, index, wait);
  Progress progress;
  SpaceMan ws;
  loadWorkspace(ws, index, progress);
  const std::string datadir = ws.getDatadir();
  const std::string savedir = saveDirectory(ws);
  std::size_t orphans = 0;
  const std::vector<Candidate> candidates =
      findCandidates(ws, datadir, savedir, &orphans);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  Out out;
  Tally tally;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const OrphanFile& f = candidates[k].file;
    const std::string name =
        k < orphans ? displayName(f.name)
                    : displayName(f.name) + " (unfinished save of the index)";
    tally.bytes += f.size;
    const bool young = now - f.mtime < grace;
    if (!young) ++tally.old;
    if (remove) {
      deleteCandidate(candidates[k], name, now, grace, out, &tally);
    } else {
      out << name << "  " << formatSize(f.size, false) << "  "
          << humanAge(now - f.mtime) << " old"
          << (young ? "  (younger than the grace age, kept)" : "") << '\n';
    }
  }
  printSummary(orphans, candidates.size(), remove, tally, out);
  out.flush();
  return tally.failed == 0 ? kOk : kFound;
}

}  // namespace

Command gcCommand() {
  return Command{"gc", kGcHelp, {"--delete"}, {"--grace", "--wait"}, runGc};
}

}  // namespace tool
}  // namespace vorla
