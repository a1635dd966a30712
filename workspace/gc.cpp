#include "workspace/gc.h"

#include <sys/stat.h>  // lstat
#include <unistd.h>    // unlink

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>  // realpath, free
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "workspace/data_dir.h"
#include "workspace/data_file_name.h"
#include "workspace/error.h"
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

RemoveResult removeIfOld(const std::string& dir, const OrphanFile& file,
                         int64_t now, int64_t grace) {
  if (!isPlainFileName(file.name)) return RemoveResult::FAILED;
  const std::string path = utils::pathadd(dir, file.name);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? RemoveResult::REMOVED : RemoveResult::FAILED;
  }
  if (S_ISDIR(st.st_mode)) return RemoveResult::FAILED;
  if (now - static_cast<int64_t>(st.st_mtime) < grace) {
    return RemoveResult::TOO_YOUNG;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return RemoveResult::FAILED;
  }
  return RemoveResult::REMOVED;
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
  const std::string prefix = SpaceMan::kSaveTempPrefix;
  std::vector<OrphanFile> leftovers;
  std::vector<utils::DirEntry> entries;
  uint64_t device = 0;
  if (!utils::list_directory(dir, &entries, &device))
    throw Error(Error::CANNOT_READ_DIRECTORY, dir, errno);
  for (const utils::DirEntry& e : entries) {
    if (e.name.size() != prefix.size() + 6 ||
        e.name.compare(0, prefix.size(), prefix) != 0)
      continue;
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
  return data_file_name::matches(name);
}

bool isPlainFileName(const std::string& name) {
  return index_format::plain_file_name(name.data(), name.size());
}

}  // namespace vorla
