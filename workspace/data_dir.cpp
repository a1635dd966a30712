#include "workspace/data_dir.h"

#include <fcntl.h>     // AT_SYMLINK_NOFOLLOW
#include <sys/stat.h>  // stat, fstatat

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "workspace/gc.h"
#include "workspace/record_graph.h"
#include "workspace/workspace.h"

#include <dirent.h>  // opendir, readdir

namespace vorla {
namespace data_dir {

using record_graph::FileRef;

DirListing listDataDir(const SpaceMan& ws) {
  DirListing listing;
  const std::string dir = ws.getDatadir();
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return listing;
    throw std::runtime_error("cannot read data directory");
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, closedir);
  listing.exists = true;
  struct stat index;
  const bool haveIndex = ::stat(ws.mainfile().c_str(), &index) == 0;
  struct stat self;
  const bool sameDevice =
      haveIndex && fstat(dirfd(d), &self) == 0 && self.st_dev == index.st_dev;
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      isDir = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
              S_ISDIR(st.st_mode);
    }
    if (isDir) continue;
    if (sameDevice && e->d_ino == index.st_ino) continue;
    listing.names.push_back(name);
  }
  if (errno != 0) throw std::runtime_error("cannot read data directory");
  std::sort(listing.names.begin(), listing.names.end());
  return listing;
}

bool contains(const std::vector<std::string>& sorted, const std::string& s) {
  return std::binary_search(sorted.begin(), sorted.end(), s);
}

std::vector<std::string> orphanNames(const DirListing& listing,
                                     const std::vector<FileRef>& files,
                                     std::size_t* foreign) {
  std::vector<std::string> orphans;
  std::size_t k = 0;
  std::size_t others = 0;
  for (const std::string& name : listing.names) {
    while (k < files.size() && *files[k].name < name) ++k;
    if (k < files.size() && *files[k].name == name) continue;
    if (isDataFileName(name)) {
      orphans.push_back(name);
    } else {
      ++others;
    }
  }
  if (foreign != nullptr) *foreign = others;
  return orphans;
}

}  // namespace data_dir
}  // namespace vorla
