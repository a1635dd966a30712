// SPDX-License-Identifier: MIT
#include "workspace/data_dir.h"

#include <sys/stat.h>  // stat

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/posix_file.h"
#include "workspace/error.h"
#include "workspace/gc.h"
#include "workspace/record_graph.h"
#include "workspace/workspace.h"

namespace vorla {
namespace data_dir {

using record_graph::FileRef;

DirListing listDataDir(const SpaceMan& ws) {
  DirListing listing;
  const std::string dir = ws.getDatadir();
  std::vector<utils::DirEntry> entries;
  uint64_t device = 0;
  if (!utils::list_directory(dir, &entries, &device)) {
    if (errno == ENOENT || errno == ENOTDIR) return listing;
    throw Error(Error::CANNOT_READ_DATA_DIRECTORY, dir, errno);
  }
  listing.exists = true;
  // A data directory that is the index file's own folder holds the index
  // file, which is no data file.
  struct stat index;
  const bool haveIndex = ::stat(ws.mainfile().c_str(), &index) == 0 &&
                         static_cast<uint64_t>(index.st_dev) == device;
  for (utils::DirEntry& e : entries) {
    if (e.isDir) continue;
    if (haveIndex && e.ino == static_cast<uint64_t>(index.st_ino)) continue;
    listing.names.push_back(std::move(e.name));
  }
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
