// SPDX-License-Identifier: MIT
// The records of a workspace as a graph, as the integrity check, the
// statistics and the search for orphan data files walk it: the records in
// ascending id order, and the edges that child and extchild items make
// between them. Internal to the library; not installed.

#ifndef VORLA_WORKSPACE_RECORD_GRAPH_H_
#define VORLA_WORKSPACE_RECORD_GRAPH_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "workspace/progress.h"
#include "workspace/workspace.h"

namespace vorla {
namespace record_graph {

// The node of an id that is not registered.
const uint32_t kNone = UINT32_MAX;

// The records in ascending id order, with the edges that child and extchild
// items make between them, in compressed rows: the edges of record i are
// edge[first[i]] .. edge[first[i + 1] - 1], in item name order. An edge to
// an id that is not registered has target kNone.
struct Graph {
  std::vector<std::pair<unsigned, StructConfig*> > recs;
  std::vector<uint32_t> first;
  std::vector<uint32_t> target;
  std::vector<const std::string*> itemName;
  std::vector<unsigned> named;  // the id an edge names, registered or not

  uint32_t find(unsigned id) const {
    auto it = std::lower_bound(recs.begin(), recs.end(), id,
                               [](const std::pair<unsigned, StructConfig*>& r,
                                  unsigned v) { return r.first < v; });
    if (it == recs.end() || it->first != id) return kNone;
    return static_cast<uint32_t>(it - recs.begin());
  }
};

// Calls `progress`, if any, every so many records and at the end.
void reportProgress(const ProgressFn& progress, std::size_t done,
                    std::size_t total);

// The graph of the workspace's registered records. Building it is the first
// half of a walk: progress runs up to the number of records out of twice
// that.
Graph buildGraph(const SpaceMan& ws, const ProgressFn& progress);

// For each node, the number of edges that reach it.
std::vector<unsigned> actualCounts(const Graph& g);

// Strongly connected components. Returns each node's component number and
// sets `count` to the number of components.
std::vector<uint32_t> components(const Graph& g, uint32_t* count);

// One cycle through `start` inside its component, found breadth first: the
// ids from start back to start, and the first edge taken. `seen` is shared
// between calls: a node counts as seen when it holds `start`, which is
// different for every call.
std::vector<unsigned> cycleThrough(const Graph& g,
                                   const std::vector<uint32_t>& comp,
                                   uint32_t start, std::vector<uint32_t>* seen,
                                   uint32_t* firstEdge);

// A file item, with where it is.
struct FileRef {
  const std::string* name;
  uint32_t rec;
  const std::string* item;
};

// The file items of all records, sorted by stored name, then id, then item.
std::vector<FileRef> fileItems(const Graph& g);

}  // namespace record_graph
}  // namespace vorla

#endif  // VORLA_WORKSPACE_RECORD_GRAPH_H_
