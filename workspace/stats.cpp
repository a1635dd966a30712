// SPDX-License-Identifier: MIT
#include "workspace/stats.h"

#include <sys/stat.h>  // stat

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "workspace/data_dir.h"
#include "workspace/format.h"
#include "workspace/gc.h"
#include "workspace/progress.h"
#include "workspace/record_graph.h"
#include "workspace/workspace.h"

namespace vorla {

namespace {

bool statFile(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0 && !S_ISDIR(st->st_mode);
}

}  // namespace

WorkspaceStats computeStats(const SpaceMan& ws, const ProgressFn& progress) {
  WorkspaceStats stats;
  const SpaceMan::Registry& registry = ws.getStructs();
  const std::size_t n = registry.size();
  std::vector<std::string> names;
  std::size_t done = 0;
  for (const auto& entry : registry) {
    const StructConfig& rec = *entry.second;
    ++stats.records;
    if (rec.extrefcount > 0) ++stats.topLevel;
    for (const auto& item : rec.items) {
      const int type = static_cast<int>(item.second.type);
      if (StructConfig::isItemType(type)) ++stats.items[type];
      if (format::owns_file(item.second.type)) {
        names.push_back(item.second.str);
      }
    }
    record_graph::reportProgress(progress, ++done, 2 * n);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());

  const std::string dir = ws.getDatadir();
  const data_dir::DirListing listing = data_dir::listDataDir(ws);
  stats.files = names.size();
  std::size_t k = 0;
  for (const std::string& name : names) {
    struct stat st;
    if (isPlainFileName(name) && data_dir::contains(listing.names, name) &&
        statFile(utils::pathadd(dir, name), &st)) {
      stats.fileBytes += static_cast<uint64_t>(st.st_size);
    } else {
      ++stats.missingFiles;
    }
    record_graph::reportProgress(progress, n + (++k * n) / (names.size() + 1),
                                 2 * n);
  }
  for (const OrphanFile& orphan : findOrphanFiles(ws)) {
    ++stats.orphanFiles;
    stats.orphanBytes += orphan.size;
  }
  record_graph::reportProgress(progress, 2 * n, 2 * n);
  return stats;
}

}  // namespace vorla
