#include "workspace/check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "workspace/data_dir.h"
#include "workspace/gc.h"
#include "workspace/progress.h"
#include "workspace/record_graph.h"
#include "workspace/workspace.h"

namespace vorla {

namespace {

using data_dir::DirListing;
using record_graph::FileRef;
using record_graph::Graph;
using record_graph::kNone;

bool byIdThenItem(const Finding& a, const Finding& b) {
  if (a.id != b.id) return a.id < b.id;
  return a.item < b.item;
}

// DANGLING_CHILD: every edge to an id that is not registered.
void findDanglingChildren(const Graph& g, std::vector<Finding>* out) {
  for (uint32_t i = 0; i < g.recs.size(); ++i) {
    for (uint32_t e = g.first[i]; e < g.first[i + 1]; ++e) {
      if (g.target[e] != kNone) continue;
      Finding f;
      f.kind = Finding::DANGLING_CHILD;
      f.id = g.recs[i].first;
      f.item = *g.itemName[e];
      f.target = g.named[e];
      out->push_back(f);
    }
  }
}

// COUNT_MISMATCH, then UNKEPT_RECORD: the stored counts against the edges.
void findCountProblems(const Graph& g, std::vector<Finding>* out) {
  const std::size_t n = g.recs.size();
  const std::vector<unsigned> actual = record_graph::actualCounts(g);
  for (uint32_t i = 0; i < n; ++i) {
    const StructConfig& rec = *g.recs[i].second;
    if (rec.intrefcount == actual[i]) continue;
    Finding f;
    f.kind = Finding::COUNT_MISMATCH;
    f.id = g.recs[i].first;
    f.stored = rec.intrefcount;
    f.actual = actual[i];
    out->push_back(f);
  }
  for (uint32_t i = 0; i < n; ++i) {
    const StructConfig& rec = *g.recs[i].second;
    if (g.recs[i].first == 0 || rec.extrefcount != 0 || actual[i] != 0) {
      continue;
    }
    Finding f;
    f.kind = Finding::UNKEPT_RECORD;
    f.id = g.recs[i].first;
    out->push_back(f);
  }
}

// CYCLE: one finding per component of two or more records, or of one
// record that names itself.
void findCycles(const Graph& g, std::vector<Finding>* out) {
  const std::size_t n = g.recs.size();
  uint32_t ncomp = 0;
  const std::vector<uint32_t> comp = record_graph::components(g, &ncomp);
  std::vector<uint32_t> size(ncomp, 0);
  std::vector<bool> selfLoop(ncomp, false);
  for (uint32_t i = 0; i < n; ++i) {
    ++size[comp[i]];
    for (uint32_t e = g.first[i]; e < g.first[i + 1]; ++e) {
      if (g.target[e] == i) selfLoop[comp[i]] = true;
    }
  }
  std::vector<bool> reported(ncomp, false);
  std::vector<uint32_t> seen(n, kNone);
  for (uint32_t i = 0; i < n; ++i) {
    // Nodes run in ascending id order, so the first node met of a
    // component is its lowest id.
    const uint32_t c = comp[i];
    if (reported[c] || (size[c] < 2 && !selfLoop[c])) continue;
    reported[c] = true;
    Finding f;
    f.kind = Finding::CYCLE;
    f.id = g.recs[i].first;
    uint32_t edge = kNone;
    f.path = record_graph::cycleThrough(g, comp, i, &seen, &edge);
    if (edge != kNone) f.item = *g.itemName[edge];
    out->push_back(f);
  }
}

// MISSING_FILE, SHARED_FILE, then INVALID_FILE_NAME, each by id and item.
// `files` are the file items sorted by stored name, as fileItems gives them.
void findFileProblems(const Graph& g, const std::vector<FileRef>& files,
                      const DirListing& listing, std::vector<Finding>* out) {
  std::vector<Finding> missing, shared, invalid;
  for (std::size_t k = 0; k < files.size(); ++k) {
    const FileRef& ref = files[k];
    Finding f;
    f.id = g.recs[ref.rec].first;
    f.item = *ref.item;
    f.file = *ref.name;
    if (!isPlainFileName(*ref.name)) {
      f.kind = Finding::INVALID_FILE_NAME;
      invalid.push_back(f);
      continue;
    }
    if (k > 0 && *files[k - 1].name == *ref.name) {
      std::size_t j = k - 1;
      while (j > 0 && *files[j - 1].name == *ref.name) --j;
      f.kind = Finding::SHARED_FILE;
      f.target = g.recs[files[j].rec].first;
      shared.push_back(f);
      continue;
    }
    if (!data_dir::contains(listing.names, *ref.name)) {
      f.kind = Finding::MISSING_FILE;
      missing.push_back(f);
    }
  }
  std::sort(missing.begin(), missing.end(), byIdThenItem);
  std::sort(shared.begin(), shared.end(), byIdThenItem);
  std::sort(invalid.begin(), invalid.end(), byIdThenItem);
  out->insert(out->end(), missing.begin(), missing.end());
  out->insert(out->end(), shared.begin(), shared.end());
  out->insert(out->end(), invalid.begin(), invalid.end());
}

}  // namespace

CheckReport checkWorkspace(const SpaceMan& ws, const ProgressFn& progress) {
  CheckReport result;
  const Graph g = record_graph::buildGraph(ws, progress);
  const std::size_t n = g.recs.size();
  result.records = n;
  findDanglingChildren(g, &result.findings);
  findCountProblems(g, &result.findings);
  findCycles(g, &result.findings);
  record_graph::reportProgress(progress, n + n / 2, 2 * n);

  const std::vector<FileRef> files = record_graph::fileItems(g);
  const DirListing listing = data_dir::listDataDir(ws);
  result.dataDirExists = listing.exists;
  findFileProblems(g, files, listing, &result.findings);
  for (const std::string& name :
       data_dir::orphanNames(listing, files, &result.foreignFiles)) {
    Finding f;
    f.kind = Finding::ORPHAN_FILE;
    f.file = name;
    result.findings.push_back(f);
  }
  record_graph::reportProgress(progress, 2 * n, 2 * n);
  return result;
}

std::vector<CountFix> fixInternalCounts(SpaceMan& ws) {
  const Graph g = record_graph::buildGraph(ws, ProgressFn());
  const std::vector<unsigned> actual = record_graph::actualCounts(g);
  std::vector<CountFix> fixes;
  for (std::size_t i = 0; i < g.recs.size(); ++i) {
    StructConfig& rec = *g.recs[i].second;
    if (rec.intrefcount == actual[i]) continue;
    fixes.push_back(CountFix{g.recs[i].first, rec.intrefcount, actual[i]});
    rec.intrefcount = actual[i];
  }
  return fixes;
}

std::vector<unsigned> unreachableRecords(const SpaceMan& ws) {
  const Graph g = record_graph::buildGraph(ws, ProgressFn());
  const std::size_t n = g.recs.size();
  std::vector<bool> reached(n, false);
  std::vector<uint32_t> todo;
  for (uint32_t i = 0; i < n; ++i) {
    // Record 0 belongs to the workspace itself, whatever its stored count.
    if (g.recs[i].second->extrefcount > 0 || g.recs[i].first == 0) {
      reached[i] = true;
      todo.push_back(i);
    }
  }
  while (!todo.empty()) {
    const uint32_t v = todo.back();
    todo.pop_back();
    for (uint32_t e = g.first[v]; e < g.first[v + 1]; ++e) {
      const uint32_t w = g.target[e];
      if (w == kNone || reached[w]) continue;
      reached[w] = true;
      todo.push_back(w);
    }
  }
  std::vector<unsigned> ids;
  for (uint32_t i = 0; i < n; ++i) {
    if (!reached[i]) ids.push_back(g.recs[i].first);
  }
  return ids;
}

}  // namespace vorla
