// SPDX-License-Identifier: MIT
#include "workspace/record_graph.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "workspace/format.h"
#include "workspace/progress.h"
#include "workspace/workspace.h"

namespace vorla {
namespace record_graph {

namespace {

// How many records a walk handles between two progress reports.
const std::size_t kProgressStep = 1 << 16;

}  // namespace

void reportProgress(const ProgressFn& progress, std::size_t done,
                    std::size_t total) {
  if (progress && (done % kProgressStep == 0 || done == total)) {
    progress(done, total);
  }
}

Graph buildGraph(const SpaceMan& ws, const ProgressFn& progress) {
  Graph g;
  const SpaceMan::Registry& registry = ws.getStructs();
  g.recs.reserve(registry.size());
  for (const auto& entry : registry) {
    g.recs.emplace_back(static_cast<unsigned>(entry.first), entry.second.get());
  }
  // The registry orders its keys as signed numbers; ids of 2^31 and above
  // come first there.
  if (!std::is_sorted(g.recs.begin(), g.recs.end())) {
    std::sort(g.recs.begin(), g.recs.end());
  }
  const std::size_t n = g.recs.size();
  g.first.reserve(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    g.first.push_back(static_cast<uint32_t>(g.target.size()));
    for (const auto& item : g.recs[i].second->items) {
      if (!format::names_record(item.second.type)) continue;
      const unsigned id = static_cast<unsigned>(item.second.value);
      g.named.push_back(id);
      g.target.push_back(g.find(id));
      g.itemName.push_back(&item.first);
    }
    reportProgress(progress, i + 1, 2 * n);
  }
  g.first.push_back(static_cast<uint32_t>(g.target.size()));
  return g;
}

std::vector<unsigned> actualCounts(const Graph& g) {
  std::vector<unsigned> counts(g.recs.size(), 0);
  for (uint32_t t : g.target) {
    if (t != kNone) ++counts[t];
  }
  return counts;
}

// Tarjan's algorithm, without recursion so that long chains of children
// cannot overflow the stack.
std::vector<uint32_t> components(const Graph& g, uint32_t* count) {
  const uint32_t n = static_cast<uint32_t>(g.recs.size());
  std::vector<uint32_t> index(n, kNone), low(n, 0), comp(n, kNone);
  std::vector<uint32_t> stack;
  std::vector<std::pair<uint32_t, uint32_t> > calls;  // node, next edge
  uint32_t next = 0;
  *count = 0;
  for (uint32_t root = 0; root < n; ++root) {
    if (index[root] != kNone) continue;
    calls.emplace_back(root, g.first[root]);
    index[root] = low[root] = next++;
    stack.push_back(root);
    while (!calls.empty()) {
      const uint32_t v = calls.back().first;
      uint32_t& e = calls.back().second;
      if (e < g.first[v + 1]) {
        const uint32_t w = g.target[e++];
        if (w == kNone) continue;
        if (index[w] == kNone) {
          index[w] = low[w] = next++;
          stack.push_back(w);
          calls.emplace_back(w, g.first[w]);
        } else if (comp[w] == kNone) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      if (low[v] == index[v]) {
        uint32_t w;
        do {
          w = stack.back();
          stack.pop_back();
          comp[w] = *count;
        } while (w != v);
        ++*count;
      }
      calls.pop_back();
      if (!calls.empty()) {
        const uint32_t u = calls.back().first;
        low[u] = std::min(low[u], low[v]);
      }
    }
  }
  return comp;
}

std::vector<unsigned> cycleThrough(const Graph& g,
                                   const std::vector<uint32_t>& comp,
                                   uint32_t start, std::vector<uint32_t>* seen,
                                   uint32_t* firstEdge) {
  std::vector<std::pair<uint32_t, uint32_t> > via;  // node, parent slot
  std::vector<uint32_t> edgeOf;                     // edge into via[k]
  via.emplace_back(start, kNone);
  edgeOf.push_back(kNone);
  for (std::size_t k = 0; k < via.size(); ++k) {
    const uint32_t v = via[k].first;
    for (uint32_t e = g.first[v]; e < g.first[v + 1]; ++e) {
      const uint32_t w = g.target[e];
      if (w == kNone || comp[w] != comp[start]) continue;
      if (w == start) {
        std::vector<uint32_t> nodes(1, start);
        uint32_t edge = e;
        for (uint32_t s = static_cast<uint32_t>(k); s != kNone;
             s = via[s].second) {
          nodes.push_back(via[s].first);
          if (via[s].second != kNone) edge = edgeOf[s];
        }
        *firstEdge = edge;
        std::vector<unsigned> path;
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
          path.push_back(g.recs[*it].first);
        }
        return path;
      }
      if ((*seen)[w] == start) continue;
      (*seen)[w] = start;
      via.emplace_back(w, static_cast<uint32_t>(k));
      edgeOf.push_back(e);
    }
  }
  *firstEdge = kNone;
  return std::vector<unsigned>();
}

std::vector<FileRef> fileItems(const Graph& g) {
  std::vector<FileRef> files;
  for (uint32_t i = 0; i < g.recs.size(); ++i) {
    for (const auto& item : g.recs[i].second->items) {
      if (format::owns_file(item.second.type)) {
        files.push_back(FileRef{&item.second.str, i, &item.first});
      }
    }
  }
  std::stable_sort(
      files.begin(), files.end(),
      [](const FileRef& a, const FileRef& b) { return *a.name < *b.name; });
  return files;
}

}  // namespace record_graph
}  // namespace vorla
