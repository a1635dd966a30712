// SPDX-License-Identifier: MIT
// What makes a save durable beyond the index file itself: the data files
// handed out since the index file on disk was written, flushed before the
// new index names them, and the deletions that releases ask for, deferred
// until an index that no longer names the files is in place. The order of
// the steps and what each relies on are stated at the top of
// workspace/workspace.h.

#include <unistd.h>  // unlink

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "workspace/error.h"
#include "workspace/on_disk.h"
#include "workspace/workspace.h"

namespace vorla {

void SpaceMan::eraseDataFile(const std::string& name, const std::string& path) {
  if (newFiles.count(name) != 0) {
    // No index on disk names it: nothing to wait for. It stays among the
    // new files, since an item that stays may be given content again.
    if (utils::file_exists(path)) std::remove(path.c_str());
    return;
  }
  utils::FileIdentity id;
  // A file that is not there, or cannot be examined, has nothing to delete,
  // as an immediate deletion would have found.
  if (!utils::identity_at(path, &id) || !id.exists) return;
  disk->deferredDeletions[name] = id;
}

void SpaceMan::revert() {
  if (mainpath.empty()) throw Error(Error::WORKSPACE_NOT_LOADED);
  // Taken before the load forgets them. They were drawn as free names, by
  // this object, under the writer lock that it still holds: no index on
  // disk names them.
  std::vector<std::string> made;
  if (!newFilesNamedElsewhere) made.assign(newFiles.begin(), newFiles.end());
  const std::string dir = datadir;
  load(mainpath);
  bool removed = false;
  for (const std::string& name : made) {
    if (::unlink(utils::pathadd(dir, name).c_str()) == 0) removed = true;
  }
  // Best effort: files that come back after a power cut are orphans that
  // gc collects.
  if (removed) static_cast<void>(utils::sync_directory(dir));
}

void SpaceMan::makeNewFilesDurable() {
  if (newFiles.empty()) return;
  const std::vector<std::string> names(newFiles.begin(), newFiles.end());
  std::string failed;
  if (!utils::sync_files(datadir, names, &failed))
    throw Error(Error::CANNOT_WRITE_FILE, failed, errno);
  // The names of the new files live in the data directory.
  if (!utils::sync_directory(datadir))
    throw Error(Error::CANNOT_WRITE_FILE, datadir, errno);
}

void SpaceMan::runDeferredDeletions() {
  if (disk->deferredDeletions.empty()) return;
  bool removed = false;
  for (const std::pair<const std::string, utils::FileIdentity>& entry :
       disk->deferredDeletions) {
    const std::string path = utils::pathadd(datadir, entry.first);
    utils::FileIdentity now;
    // A file written again since its erasure was asked for is the
    // program's new data: it stays. So does one that cannot be deleted;
    // the index no longer names it, and gc collects it.
    if (!utils::identity_at(path, &now) || now != entry.second) continue;
    if (::unlink(path.c_str()) == 0) removed = true;
  }
  disk->deferredDeletions.clear();
  // Best effort: should the deletions be lost in a power cut, the files
  // come back as orphans, which no index names.
  if (removed) static_cast<void>(utils::sync_directory(datadir));
}

}  // namespace vorla
