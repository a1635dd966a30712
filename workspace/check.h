// SPDX-License-Identifier: MIT
// Integrity check of a workspace: what is wrong with its records, their
// counts and their data files, computed from the registry
// (SpaceMan::getStructs) and the data directory, and whether the index file
// looks damaged. Of the index file only its last byte is read here; load
// the workspace through SpaceMan::load first. The
// statistics (workspace/stats.h) and the search for orphan data files
// (workspace/gc.h) come with this header, so that one include gives all
// three reports of the command-line tool.
//
// A workspace that only the library has touched, and that was saved, is
// sound: checkWorkspace finds nothing in it. A hand-edited index file loads
// as long as it is well-formed, and the check finds what is wrong in it.
//
// An index file that lost its end (a disk that filled up, a copy cut
// short) or a section loads as long as what is left is well-formed: a
// smaller workspace. Some findings say that records were lost rather than
// never made; the report calls the workspace damaged when it holds any of
// them (see CheckReport::damaged), and a program should then change
// nothing that the lost records may still need: their data files above all.
//
// Like the rest of the library: one thread at a time per workspace; errors
// are vorla::Error (workspace/error.h) with fixed messages; nothing is
// logged.

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
    ORPHAN_FILE,
    // The index file's last line has no line feed: every file the library
    // writes ends with one, so the file was cut short, most likely in the
    // middle of a line whose value is now wrong. `file` is the index
    // file's path.
    CUT_SHORT,
    // Record 0's id counter is below the highest id in use: the library
    // never gives an id above its counter, so record 0 comes from another
    // version of the file than some records. `id` 0, `item`
    // "$current_counter"; `stored` is the counter, `actual` the highest id.
    COUNTER_BEHIND,
    // Records appear to be missing: orphan data files together with child
    // items that name missing records, or records that lost the record
    // whose child item they were (unkept, with a stored internal count
    // above zero). The orphans are then most likely the data of the lost
    // records. `dangling`, `parentless` and `orphans` count the three;
    // `file` is the index file's path. Comes besides the findings it sums
    // up.
    RECORDS_MISSING,
    // Another index file in the index file's folder names the same data
    // directory (workspace/create.h): a release or a gc of either workspace
    // deletes the data files of the other. `file` is that index file's
    // path; one finding for each.
    SHARED_DATA_DIR
  };

  Kind kind;
  unsigned id = 0;
  std::string item;
  std::string file;
  unsigned target = 0;
  unsigned stored = 0;
  unsigned actual = 0;
  std::vector<unsigned> path;
  std::size_t dangling = 0;
  std::size_t parentless = 0;
  std::size_t orphans = 0;
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
  // Whether the index file looks damaged: a finding of kind CUT_SHORT,
  // DANGLING_CHILD, COUNTER_BEHIND or RECORDS_MISSING. A cut at a section
  // boundary that leaves no child item naming a lost record, no record
  // that a lost record named, and no orphan data file looks like a sound,
  // smaller workspace, and is not found.
  bool damaged = false;
};

// Runs every check on the workspace, its data directory and the end of its
// index file (when it has a path). Findings come grouped by kind, in the
// order of the kinds above, and within a kind by record id (orphans by
// name). Throws "cannot read data directory" when the data directory exists
// but cannot be listed, and "cannot open file" when the index file cannot
// be read.
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

// Whether the file at `path` is not empty and its last byte is not a line
// feed. Reads that byte only. Throws "cannot open file" (with the path and
// errno) when the file cannot be opened or read.
bool indexCutShort(const std::string& path);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_CHECK_H_
