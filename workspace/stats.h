// SPDX-License-Identifier: MIT
// Statistics of a workspace: how many records, items and data files it
// has, and how much room its data files take. Computed from the registry
// (SpaceMan::getStructs) and the data directory; load the workspace through
// SpaceMan::load first.
//
// Like the rest of the library: one thread at a time per workspace; errors
// are vorla::Error (workspace/error.h) with fixed messages; nothing is
// logged.

#ifndef VORLA_WORKSPACE_STATS_H_
#define VORLA_WORKSPACE_STATS_H_

#include <cstddef>
#include <cstdint>

#include "workspace/progress.h"
#include "workspace/workspace.h"

namespace vorla {

// Counts of a workspace's records, items and data files.
struct WorkspaceStats {
  std::size_t records = 0;
  // Records with an external reference: the roots of the record trees.
  std::size_t topLevel = 0;
  // Items by StructConfig::DataItemType (index 0, ITEM_NONE, stays 0).
  std::size_t items[StructConfig::kItemTypeCount] = {};
  // Distinct data files named by file items, present and missing, and the
  // total size of those present.
  std::size_t files = 0;
  std::size_t missingFiles = 0;
  uint64_t fileBytes = 0;
  // Data files that no file item names, and their total size.
  std::size_t orphanFiles = 0;
  uint64_t orphanBytes = 0;
};

// Throws "cannot read data directory" when the data directory exists but
// cannot be listed.
WorkspaceStats computeStats(const SpaceMan& ws,
                            const ProgressFn& progress = ProgressFn());

}  // namespace vorla

#endif  // VORLA_WORKSPACE_STATS_H_
