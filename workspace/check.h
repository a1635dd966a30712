// Integrity check of a workspace: what is wrong with its records, their
// counts and their data files, computed from the registry
// (SpaceMan::getStructs) and the data directory. Nothing here reads the
// index file; load the workspace through SpaceMan::load first. The
// statistics (workspace/stats.h) and the search for orphan data files
// (workspace/gc.h) come with this header, so that one include gives all
// three reports of the command-line tool.
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
#include <string>
#include <vector>

#include "workspace/gc.h"
#include "workspace/progress.h"
#include "workspace/stats.h"
#include "workspace/workspace.h"

namespace vorla {

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

// The records that no chain of child items reaches from a record with an
// external reference, or from record 0, in ascending id order: what
// releases should have removed, and what a cycle keeps alive.
std::vector<unsigned> unreachableRecords(const SpaceMan& ws);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_CHECK_H_
