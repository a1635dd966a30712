// Integrity check, statistics and data directory scan of a workspace: the
// facts the command-line tool reports, computed here from the registry
// (SpaceMan::getStructs) and the data directory. Nothing here reads the
// index file; load the workspace through SpaceMan::load first.
//
// A workspace that only the library has touched, and that was saved, is
// sound: checkWorkspace finds nothing in it. A hand-edited index file loads
// as long as it is well-formed, and the check finds what is wrong in it.
//
// Like the rest of the library: one thread at a time per workspace; errors
// are std::runtime_error with fixed messages; nothing is logged.

#ifndef VORLA_WORKSPACE_CHECK_H_
#define VORLA_WORKSPACE_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "workspace/workspace.h"

namespace vorla {

// Called now and then during a long walk, with the records (or files) done
// so far and their total, so that a caller can show progress.
typedef std::function<void(std::size_t done, std::size_t total)> ProgressFn;

// One thing wrong with a workspace.
struct Finding {
  enum Kind {
    // A child or extchild item names a record that is not registered.
    // `id`, `item`; `target` is the id named.
    DANGLING_CHILD,
    // A record's stored internal count differs from the number of child and
    // extchild items that name it. `id`; `stored` and `actual`.
    COUNT_MISMATCH,
    // A record other than record 0 with no external reference that no child
    // item names: nothing keeps it, yet it was never removed. `id`.
    UNKEPT_RECORD,
    // Child items that lead back to where they started; releases can never
    // remove such records. One finding per strongly connected group: `id`
    // is its lowest id, `item` the item it leaves by, and `path` one cycle
    // through it, from `id` back to `id`.
    CYCLE,
    // A file item whose data file is not in the data directory. `id`,
    // `item`, `file`.
    MISSING_FILE,
    // A file item naming the same data file as an earlier one (in id, then
    // item name order): erasing either record deletes the other's data.
    // `id`, `item`, `file`; `target` is the record of the earlier item.
    SHARED_FILE,
    // A file item whose stored name is not a plain name and so would reach
    // outside the data directory ("", ".", "..", or a name holding "/" or
    // "\"). `id`, `item`, `file`. The reader refuses such names, so only a
    // workspace changed in memory can hold one.
    INVALID_FILE_NAME,
    // A data file in the data directory, with the library's name form, that
    // no file item names. `file`.
    ORPHAN_FILE
  };

  Kind kind;
  unsigned id = 0;
  std::string item;
  std::string file;
  unsigned target = 0;
  unsigned stored = 0;
  unsigned actual = 0;
  std::vector<unsigned> path;
};

// What checkWorkspace found, with a little context for the report.
struct CheckReport {
  std::vector<Finding> findings;
  std::size_t records = 0;
  // Whether the data directory exists; the library creates none, so a
  // workspace without file items may well have none.
  bool dataDirExists = false;
  // Entries of the data directory that do not have the library's name
  // form: not data files, so neither checked nor ever collected.
  std::size_t foreignFiles = 0;
};

// Runs every check on the workspace and its data directory. Findings come
// grouped by kind, in the order of the kinds above, and within a kind by
// record id (orphans by name). Throws "cannot read data directory" when the
// data directory exists but cannot be listed.
CheckReport checkWorkspace(const SpaceMan& ws,
                           const ProgressFn& progress = ProgressFn());

// A record whose stored internal count differs from the recomputed one.
struct CountFix {
  unsigned id;
  unsigned stored;
  unsigned actual;
};

// Sets every record's internal count to the number of child and extchild
// items of registered records that name it, and returns what changed, by
// id. The change is in memory only: the caller saves.
std::vector<CountFix> fixInternalCounts(SpaceMan& ws);

// Counts of a workspace's records, items and data files.
struct WorkspaceStats {
  std::size_t records = 0;
  // Records with an external reference: the roots of the record trees.
  std::size_t topLevel = 0;
  // Items by StructConfig::DataItemType (index 0 stays 0).
  std::size_t items[6] = {0, 0, 0, 0, 0, 0};
  // Distinct data files named by file items, present and missing, and the
  // total size of those present.
  std::size_t files = 0;
  std::size_t missingFiles = 0;
  uint64_t fileBytes = 0;
  // Data files that no file item names, and their total size.
  std::size_t orphanFiles = 0;
  uint64_t orphanBytes = 0;
};

// Throws "cannot read data directory" as checkWorkspace does.
WorkspaceStats computeStats(const SpaceMan& ws,
                            const ProgressFn& progress = ProgressFn());

// A data file that no file item names.
struct OrphanFile {
  std::string name;
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since the epoch
};

// The orphan data files of the workspace's data directory, sorted by name.
// Only names of the library's form count (see isDataFileName); anything
// else in the directory is not the library's and is left out. Throws
// "cannot read data directory" as checkWorkspace does.
std::vector<OrphanFile> findOrphanFiles(const SpaceMan& ws);

// The temporary files of saves that never finished, beside the index file
// (in the directory of the file that the index path leads to), sorted by
// name: a process killed in the middle of a save leaves one.
std::vector<OrphanFile> findSaveLeftovers(const SpaceMan& ws);

enum class RemoveResult { REMOVED, TOO_YOUNG, FAILED };

// Deletes the file `file.name` in `dir` if it is at least `grace` seconds
// old at time `now`, its age read again just before; a file that is gone
// by then counts as removed.
RemoveResult removeIfOld(const std::string& dir, const OrphanFile& file,
                         int64_t now, int64_t grace);

// The directory that holds the save leftovers of `ws`.
std::string saveDirectory(const SpaceMan& ws);

// Deletes an orphan data file if it is at least `grace` seconds old at time
// `now`. Its age is read again just before, since a running process may have
// just rewritten it; a file that is gone by then counts as removed. The
// caller has made sure, from a workspace loaded after the file's mtime plus
// the grace, that no record names it.
RemoveResult removeOrphanFile(const SpaceMan& ws, const OrphanFile& file,
                              int64_t now, int64_t grace);

// The records that no chain of child items reaches from a record with an
// external reference, or from record 0, in ascending id order: what
// releases should have removed, and what a cycle keeps alive.
std::vector<unsigned> unreachableRecords(const SpaceMan& ws);

// Whether `name` has the form of the names the library gives data files:
// a prefix, "_", a decimal id, "__", a decimal draw, "_".
bool isDataFileName(const std::string& name);

// Whether a stored file name stays inside the data directory: not empty,
// not "." or "..", and holding neither "/" nor "\".
bool isPlainFileName(const std::string& name);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_CHECK_H_
