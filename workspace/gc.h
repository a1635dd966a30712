// SPDX-License-Identifier: MIT
// What a workspace leaves behind in its directories that nothing names any
// more: data files that no file item names (orphans: the data of a record
// made but never saved, or of a copy that failed), and the temporary files
// of saves that never finished. Found here from the registry
// (SpaceMan::getStructs) and the directories, removed only on request and
// only once they are old enough; load the workspace through SpaceMan::load
// first.
//
// What the destructive operations keep, so that they can be undone: a
// removed file can be moved into the workspace's lost+found folder rather
// than deleted (an orphan may be all that is left of a record that a
// damaged index file lost), and an index file about to be replaced can be
// kept beside it as a backup. Neither ever replaces a file.
//
// Like the rest of the library: one thread at a time per workspace; errors
// are vorla::Error (workspace/error.h) with fixed messages; nothing is
// logged.

#ifndef VORLA_WORKSPACE_GC_H_
#define VORLA_WORKSPACE_GC_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vorla {

class SpaceMan;

// A data file that no file item names.
struct OrphanFile {
  std::string name;
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since the epoch
};

// The orphan data files of the workspace's data directory, sorted by name.
// Only names of the library's form count (see isDataFileName); anything
// else in the directory is not the library's and is left out. Throws
// "cannot read data directory" when the data directory exists but cannot
// be listed.
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

// Moves the file `file.name` in `dir` into the folder `lostFound` if it is
// at least `grace` seconds old at time `now`, its age read again just
// before (a file gone by then counts as removed, `movedTo` left empty). It
// keeps its name there, or gets its name and ".1", ".2" ... when that is
// taken: nothing in lostFound is ever replaced. lostFound is created when
// missing (its parent must exist) and refused when it is a symbolic link
// or not a directory. The move is a rename, never a copy: a file on another
// file system than lostFound is not moved (FAILED, EXDEV). On success
// `movedTo` is the file's new path; on FAILED `sysErrno` is the reason.
RemoveResult moveIfOld(const std::string& dir, const OrphanFile& file,
                       const std::string& lostFound, int64_t now, int64_t grace,
                       std::string* movedTo, int* sysErrno);

// The lost+found folder of `ws`: "lost+found" in the folder that holds its
// data directory, or in the data directory itself when that is the index
// file's own folder (the data file listings pass over directories).
std::string lostFoundDirectory(const SpaceMan& ws);

// Keeps the file that `path` leads to (links followed) as it is now under
// the first free name of path ".bak", path ".bak.1", ".bak.2" ..., beside
// `path`, and returns that name. A hard link where the file system allows
// one: a save replaces the index file with a new file, so the link keeps
// the former content at no cost; else a copy. Its directory is flushed
// before it returns, so that the backup survives a power cut that follows
// the replacement. Throws "cannot open file" when there is no file to keep,
// "cannot copy file" when the copy or the flush fails (a backup made whose
// directory could not be flushed stays) or the file is not a regular one (a
// FIFO, a device: nothing is made).
std::string backupFile(const std::string& path);

// Whether `name` has the form of the names the library gives data files:
// a prefix, "_", a decimal id, "__", a decimal draw, "_".
bool isDataFileName(const std::string& name);

// Whether a stored file name stays inside the data directory: not empty,
// not "." or "..", and holding neither "/", "\" nor NUL.
bool isPlainFileName(const std::string& name);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_GC_H_
