// What a workspace leaves behind in its directories that nothing names any
// more: data files that no file item names (orphans: the data of a record
// made but never saved, or of a copy that failed), and the temporary files
// of saves that never finished. Found here from the registry
// (SpaceMan::getStructs) and the directories, deleted only on request and
// only once they are old enough; load the workspace through SpaceMan::load
// first.
//
// Like the rest of the library: one thread at a time per workspace; errors
// are std::runtime_error with fixed messages; nothing is logged.

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

// Whether `name` has the form of the names the library gives data files:
// a prefix, "_", a decimal id, "__", a decimal draw, "_".
bool isDataFileName(const std::string& name);

// Whether a stored file name stays inside the data directory: not empty,
// not "." or "..", and holding neither "/", "\" nor NUL.
bool isPlainFileName(const std::string& name);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_GC_H_
