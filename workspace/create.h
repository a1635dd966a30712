// SPDX-License-Identifier: MIT
// Making a workspace where something may already stand: what creating one
// refuses, and what replacing one keeps. SpaceMan::init writes a new index
// file whatever the path holds; the tool's init, the package's
// Workspace.create and _vorla.init_workspace come here first, so that none
// of them loses a workspace that holds records or makes two workspaces
// share a data directory by accident. Internal to the library; not
// installed.
//
// Rules:
//   (1) Nothing is replaced but a regular file (links followed): a FIFO, a
//       device or a directory at the index path is refused before anything
//       is read or kept.
//   (2) A replaced index file that holds records, or that is not a well
//       formed index file (nothing then says it holds none), is kept first
//       as INDEX.bak (backupFile: never replacing a backup). It is read as
//       the reader cuts it into lines, not loaded, so that a file that
//       would not load is kept rather than refused.
//   (3) The writer lock of the index file is held from before the former
//       file is read until the new one is written, so that what is kept is
//       what is replaced.
//   (4) Creating refuses a data directory that another index file in the
//       index file's folder names: a release or a gc of one workspace would
//       delete the data files of the other.

#ifndef VORLA_WORKSPACE_CREATE_H_
#define VORLA_WORKSPACE_CREATE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "workspace/workspace.h"

namespace vorla {

// What replacing a workspace dropped and kept.
struct FormerWorkspace {
  // The records (sections) of the replaced workspace, record 0 not counted.
  std::size_t dropped = 0;
  // Where the former index file is kept; empty when nothing was kept.
  std::string backup;
  // The former file is no well formed index file (rule 2), so its records
  // are not known.
  bool unreadable = false;
};

// Keeps the index file at `index` as a backup when it holds records or is
// not a well formed index file (rules 1 and 2); nothing when no file is
// there. Throws "cannot
// write file" (EISDIR for a directory, errno 0 for another file that is not
// a regular one) and the errors of backupFile. The caller holds the writer
// lock of `index`.
FormerWorkspace keepFormerWorkspace(const std::string& index);

// `ws`.init(index, reldatadir) over whatever the path holds, after
// keepFormerWorkspace, the writer lock held throughout (rules 1 to 3). Its
// data directory's name is checked first, so that a name init refuses
// keeps nothing. Waits for the lock as `ws` does (SpaceMan::setLockWait).
FormerWorkspace replaceWorkspace(SpaceMan& ws, const std::string& index,
                                 const std::string& reldatadir);

// A new workspace at `index`: "index file exists" when anything stands at
// the path unless `overwrite`, "shared data directory" (naming the other
// index file) when another index file in the folder names the same data
// directory (rule 4), then replaceWorkspace. Creates no directory.
FormerWorkspace createWorkspace(SpaceMan& ws, const std::string& index,
                                const std::string& reldatadir, bool overwrite);

// The other index files in the folder of `index`, in name order, whose
// data directory is the one `reldatadir` names beside `index`: the same
// name ("data", "./data" and "data/" are one) or the same directory. An
// index file is a regular file whose record 0 names a data directory; only
// as much of each file is read as it takes to find record 0 or to see that
// it is no index file. Backups (NAME.bak, NAME.bak.N), unfinished saves,
// data file names and the index file itself (whatever its path) are passed
// over. Empty when the folder cannot be listed.
std::vector<std::string> dataDirectorySharers(const std::string& index,
                                              const std::string& reldatadir);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_CREATE_H_
