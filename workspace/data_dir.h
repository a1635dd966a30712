// SPDX-License-Identifier: MIT
// The data directory of a workspace as the integrity check, the statistics
// and the search for orphan data files list it. Internal to the library;
// not installed.

#ifndef VORLA_WORKSPACE_DATA_DIR_H_
#define VORLA_WORKSPACE_DATA_DIR_H_

#include <cstddef>
#include <string>
#include <vector>

#include "workspace/record_graph.h"
#include "workspace/workspace.h"

namespace vorla {
namespace data_dir {

struct DirListing {
  bool exists = false;
  std::vector<std::string> names;  // sorted; no directories
};

// The entries of the data directory other than directories and the index
// file itself (which is there when the data directory is the index file's
// own directory). A missing data directory lists as not existing; throws
// "cannot read data directory" when it exists but cannot be listed.
DirListing listDataDir(const SpaceMan& ws);

// Whether the sorted `sorted` holds `s`.
bool contains(const std::vector<std::string>& sorted, const std::string& s);

// The names of the listing that have the data file form and that no file
// item names; `foreign`, unless null, counts the names of another form.
std::vector<std::string> orphanNames(
    const DirListing& listing, const std::vector<record_graph::FileRef>& files,
    std::size_t* foreign);

}  // namespace data_dir
}  // namespace vorla

#endif  // VORLA_WORKSPACE_DATA_DIR_H_
