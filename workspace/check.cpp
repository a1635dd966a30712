// SPDX-License-Identifier: MIT
#include "workspace/check.h"

#include <sys/stat.h>  // fstat
#include <unistd.h>    // pread

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/posix_file.h"
#include "workspace/create.h"
#include "workspace/data_dir.h"
#include "workspace/error.h"
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

std::size_t countKind(const std::vector<Finding>& findings,
                      Finding::Kind kind) {
  return static_cast<std::size_t>(
      std::count_if(findings.begin(), findings.end(),
                    [kind](const Finding& f) { return f.kind == kind; }));
}

// COUNTER_BEHIND: record 0's counter against the highest id in use.
void findCounterBehind(const SpaceMan& ws, const Graph& g,
                       std::vector<Finding>* out) {
  unsigned highest = 0;
  for (const auto& rec : g.recs) highest = std::max(highest, rec.first);
  if (highest <= ws.getCounter()) return;
  Finding f;
  f.kind = Finding::COUNTER_BEHIND;
  f.item = "$current_counter";
  f.stored = ws.getCounter();
  f.actual = highest;
  out->push_back(f);
}

// RECORDS_MISSING: orphans together with a sign that records were lost.
void findRecordsMissing(const Graph& g, const std::string& index,
                        std::vector<Finding>* out) {
  Finding f;
  f.kind = Finding::RECORDS_MISSING;
  f.file = index;
  f.dangling = countKind(*out, Finding::DANGLING_CHILD);
  f.orphans = countKind(*out, Finding::ORPHAN_FILE);
  for (const Finding& unkept : *out) {
    if (unkept.kind != Finding::UNKEPT_RECORD) continue;
    if (g.recs[g.find(unkept.id)].second->intrefcount > 0) ++f.parentless;
  }
  if (f.orphans > 0 && f.dangling + f.parentless > 0) out->push_back(f);
}

bool isDamage(const Finding& f) {
  return f.kind == Finding::CUT_SHORT || f.kind == Finding::DANGLING_CHILD ||
         f.kind == Finding::COUNTER_BEHIND ||
         f.kind == Finding::RECORDS_MISSING;
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
  const std::string index = ws.mainfile();
  if (!index.empty() && indexCutShort(index)) {
    Finding f;
    f.kind = Finding::CUT_SHORT;
    f.file = index;
    result.findings.push_back(f);
  }
  findCounterBehind(ws, g, &result.findings);
  findRecordsMissing(g, index, &result.findings);
  if (!index.empty()) {
    for (const std::string& other :
         dataDirectorySharers(index, ws.getRelDataDir())) {
      Finding f;
      f.kind = Finding::SHARED_DATA_DIR;
      f.file = other;
      result.findings.push_back(f);
    }
  }
  result.damaged =
      std::any_of(result.findings.begin(), result.findings.end(), isDamage);
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

bool indexCutShort(const std::string& path) {
  utils::OwnedFd fd(utils::open_regular(path));
  if (!fd.valid()) throw Error(Error::CANNOT_OPEN_FILE, path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0)
    throw Error(Error::CANNOT_OPEN_FILE, path, errno);
  if (st.st_size == 0) return false;
  char last = '\n';
  const ssize_t got = ::pread(fd.get(), &last, 1, st.st_size - 1);
  if (got < 0) throw Error(Error::CANNOT_OPEN_FILE, path, errno);
  return got == 1 && last != '\n';
}

}  // namespace vorla
