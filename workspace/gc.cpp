// SPDX-License-Identifier: MIT
#include "workspace/gc.h"

#include <fcntl.h>     // open, AT_FDCWD
#include <sys/stat.h>  // lstat, stat, mkdir
#include <unistd.h>    // unlink, link

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>   // renameat2
#include <cstdlib>  // realpath, free
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "workspace/data_dir.h"
#include "workspace/error.h"
#include "workspace/file_names.h"
#include "workspace/index_format.h"
#include "workspace/progress.h"
#include "workspace/record_graph.h"
#include "workspace/workspace.h"

namespace vorla {

std::vector<OrphanFile> findOrphanFiles(const SpaceMan& ws) {
  const record_graph::Graph g = record_graph::buildGraph(ws, ProgressFn());
  const std::vector<record_graph::FileRef> files = record_graph::fileItems(g);
  const data_dir::DirListing listing = data_dir::listDataDir(ws);
  const std::string dir = ws.getDatadir();
  std::vector<OrphanFile> orphans;
  for (const std::string& name :
       data_dir::orphanNames(listing, files, nullptr)) {
    struct stat st;
    // Gone since the listing: nothing to report or collect.
    if (lstat(utils::pathadd(dir, name).c_str(), &st) != 0) continue;
    OrphanFile orphan;
    orphan.name = name;
    orphan.size = static_cast<uint64_t>(st.st_size);
    orphan.mtime = static_cast<int64_t>(st.st_mtime);
    orphans.push_back(orphan);
  }
  return orphans;
}

namespace {

// Whether the file `path` may be removed now: READY when it is old enough,
// REMOVED when it is gone already. Its age is read again, since a running
// process may have just rewritten it.
enum class Gate { READY, REMOVED, TOO_YOUNG, FAILED };

Gate ageGate(const std::string& path, int64_t now, int64_t grace) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? Gate::REMOVED : Gate::FAILED;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return Gate::FAILED;
  }
  if (now - static_cast<int64_t>(st.st_mtime) < grace) return Gate::TOO_YOUNG;
  return Gate::READY;
}

// Opens the folder `dir`, made when missing (and synced into its parent
// before anything is moved into it), never through a symbolic link.
int openKeepingDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    if (!utils::make_directories(dir, false)) return -1;
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  return fd;
}

// Gives `src` the name `name` in the folder `dirfd` unless something
// stands there (EEXIST). A rename that may not replace, or where the file
// system cannot promise that, a hard link and the removal of the old name.
bool moveNoReplace(const std::string& src, int dirfd, const std::string& name) {
  if (::renameat2(AT_FDCWD, src.c_str(), dirfd, name.c_str(),
                  RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::linkat(AT_FDCWD, src.c_str(), dirfd, name.c_str(), 0) != 0)
    return false;
  if (::unlink(src.c_str()) == 0 || errno == ENOENT) return true;
  // A move that fails leaves one name, as it found it: no second copy in
  // lost+found for a later gc to move again.
  const int err = errno;
  ::unlinkat(dirfd, name.c_str(), 0);
  errno = err;
  return false;
}

}  // namespace

RemoveResult removeIfOld(const std::string& dir, const OrphanFile& file,
                         int64_t now, int64_t grace) {
  if (!isPlainFileName(file.name)) return RemoveResult::FAILED;
  const std::string path = utils::pathadd(dir, file.name);
  switch (ageGate(path, now, grace)) {
    case Gate::REMOVED:
      return RemoveResult::REMOVED;
    case Gate::TOO_YOUNG:
      return RemoveResult::TOO_YOUNG;
    case Gate::FAILED:
      return RemoveResult::FAILED;
    case Gate::READY:
      break;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return RemoveResult::FAILED;
  }
  return RemoveResult::REMOVED;
}

RemoveResult moveIfOld(const std::string& dir, const OrphanFile& file,
                       const std::string& lostFound, int64_t now, int64_t grace,
                       std::string* movedTo, int* sysErrno) {
  movedTo->clear();
  *sysErrno = EINVAL;
  if (!isPlainFileName(file.name)) return RemoveResult::FAILED;
  const std::string path = utils::pathadd(dir, file.name);
  const Gate gate = ageGate(path, now, grace);
  *sysErrno = errno;
  if (gate == Gate::REMOVED) return RemoveResult::REMOVED;
  if (gate == Gate::TOO_YOUNG) return RemoveResult::TOO_YOUNG;
  if (gate == Gate::FAILED) return RemoveResult::FAILED;
  const utils::OwnedFd keep(openKeepingDirectory(lostFound));
  if (!keep.valid()) {
    *sysErrno = errno;
    return RemoveResult::FAILED;
  }
  for (unsigned n = 0; n < file_names::kMaxNumbered; ++n) {
    const std::string name = file_names::numbered(file.name, n);
    if (moveNoReplace(path, keep.get(), name)) {
      *movedTo = utils::pathadd(lostFound, name);
      return RemoveResult::REMOVED;
    }
    // Gone meanwhile (another gc, say): nothing left to keep.
    if (errno == ENOENT && !utils::name_taken(path))
      return RemoveResult::REMOVED;
    if (errno != EEXIST) break;
  }
  *sysErrno = errno;
  return RemoveResult::FAILED;
}

std::string lostFoundDirectory(const SpaceMan& ws) {
  std::string data = ws.getDatadir();
  for (;;) {
    if (data.size() > 1 && data.back() == '/') {
      data.pop_back();
    } else if (data.size() > 2 && data.compare(data.size() - 2, 2, "/.") == 0) {
      data.resize(data.size() - 2);
    } else {
      break;
    }
  }
  const std::string home = utils::pathname(ws.mainfile());
  if (data == home || data == "." || data.empty())
    return file_names::lost_found_in(home);
  return file_names::lost_found_in(utils::pathname(data));
}

std::string backupFile(const std::string& path) {
  std::string target;
  if (!utils::follow_links(path, &target))
    throw Error(Error::CANNOT_OPEN_FILE, path, errno);
  // A link to a FIFO or a device would be a stray node, not a backup.
  struct stat st;
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Error(Error::CANNOT_COPY_FILE, path, 0);
  for (unsigned n = 0; n < file_names::kMaxNumbered; ++n) {
    const std::string name = file_names::backup(path, n);
    if (utils::name_taken(name)) continue;
    if (::link(target.c_str(), name.c_str()) != 0) {
      if (errno == EEXIST) continue;
      if (errno == ENOENT) throw Error(Error::CANNOT_OPEN_FILE, path, errno);
      // No hard link here (the link is on another file system, or this one
      // has none): a copy, into a name just seen free.
      utils::copyfile(target, name);
    }
    // The backup's name must be on disk before a save replaces the file.
    if (!utils::sync_directory(utils::directory_part(name)))
      throw Error(Error::CANNOT_COPY_FILE, name, errno);
    return name;
  }
  throw Error(Error::CANNOT_COPY_FILE, path, EEXIST);
}

RemoveResult removeOrphanFile(const SpaceMan& ws, const OrphanFile& file,
                              int64_t now, int64_t grace) {
  return removeIfOld(ws.getDatadir(), file, now, grace);
}

std::string saveDirectory(const SpaceMan& ws) {
  // save replaces the file that the index path leads to, links followed,
  // and keeps its temporary file in that file's directory.
  char* real = realpath(ws.mainfile().c_str(), nullptr);
  const std::string path = real ? real : ws.mainfile();
  std::free(real);
  return utils::directory_part(path);
}

std::vector<OrphanFile> findSaveLeftovers(const SpaceMan& ws) {
  const std::string dir = saveDirectory(ws);
  std::vector<OrphanFile> leftovers;
  std::vector<utils::DirEntry> entries;
  uint64_t device = 0;
  if (!utils::list_directory(dir, &entries, &device))
    throw Error(Error::CANNOT_READ_DIRECTORY, dir, errno);
  for (const utils::DirEntry& e : entries) {
    if (!file_names::is_save_temp(e.name)) continue;
    struct stat st;
    if (lstat(utils::pathadd(dir, e.name).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    OrphanFile f;
    f.name = e.name;
    f.size = static_cast<uint64_t>(st.st_size);
    f.mtime = static_cast<int64_t>(st.st_mtime);
    leftovers.push_back(f);
  }
  std::sort(
      leftovers.begin(), leftovers.end(),
      [](const OrphanFile& a, const OrphanFile& b) { return a.name < b.name; });
  return leftovers;
}

bool isDataFileName(const std::string& name) {
  return file_names::matches(name);
}

bool isPlainFileName(const std::string& name) {
  return index_format::plain_file_name(name.data(), name.size());
}

}  // namespace vorla
