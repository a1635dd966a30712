#include "workspace/check.h"

#include <fcntl.h>     // AT_SYMLINK_NOFOLLOW
#include <sys/stat.h>  // stat, fstatat
#include <unistd.h>    // unlink

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>  // realpath, free
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "utils/file_utils.h"

#include <dirent.h>  // opendir, readdir

namespace vorla {

namespace {

// How many records a walk handles between two progress reports.
const std::size_t kProgressStep = 1 << 16;

const uint32_t kNone = UINT32_MAX;

bool isChildItem(const StructConfig::Item& item) {
  return item.type == StructConfig::ITEM_CHILD ||
         item.type == StructConfig::ITEM_EXTCHILD;
}

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

void report(const ProgressFn& progress, std::size_t done, std::size_t total) {
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
      if (!isChildItem(item.second)) continue;
      const unsigned id = static_cast<unsigned>(item.second.value);
      g.named.push_back(id);
      g.target.push_back(g.find(id));
      g.itemName.push_back(&item.first);
    }
    report(progress, i + 1, 2 * n);
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

// Strongly connected components (Tarjan's algorithm, without recursion so
// that long chains of children cannot overflow the stack). Returns each
// node's component number.
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

// One cycle through `start` inside its component, found breadth first: the
// ids from start back to start, and the first edge taken. `seen` is shared
// between calls: a node counts as seen when it holds `start`, which is
// different for every call.
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

struct DirListing {
  bool exists = false;
  std::vector<std::string> names;  // sorted; no directories
};

// The entries of the data directory other than directories and the index
// file itself (which is there when the data directory is the index file's
// own directory).
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

// A file item, with where it is.
struct FileRef {
  const std::string* name;
  uint32_t rec;
  const std::string* item;
};

// The file items of all records, sorted by stored name, then id, then item.
std::vector<FileRef> fileItems(const Graph& g) {
  std::vector<FileRef> files;
  for (uint32_t i = 0; i < g.recs.size(); ++i) {
    for (const auto& item : g.recs[i].second->items) {
      if (item.second.type == StructConfig::ITEM_FILE) {
        files.push_back(FileRef{&item.second.str, i, &item.first});
      }
    }
  }
  std::stable_sort(
      files.begin(), files.end(),
      [](const FileRef& a, const FileRef& b) { return *a.name < *b.name; });
  return files;
}

// The names of the listing that have the data file form and that no file
// item names; `foreign` counts the names of another form.
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

bool statFile(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0 && !S_ISDIR(st->st_mode);
}

bool byIdThenItem(const Finding& a, const Finding& b) {
  if (a.id != b.id) return a.id < b.id;
  return a.item < b.item;
}

}  // namespace

bool isDataFileName(const std::string& name) {
  // Read from the end, since the prefix may itself hold "_" and digits.
  std::size_t e = name.size();
  if (e == 0 || name[e - 1] != '_') return false;
  --e;
  for (int field = 0; field < 2; ++field) {
    std::size_t b = e;
    while (b > 0 && name[b - 1] >= '0' && name[b - 1] <= '9') --b;
    if (b == e || e - b > 10) return false;
    // The draw is preceded by "__", the id by "_".
    const std::size_t bars = field == 0 ? 2 : 1;
    if (b < bars) return false;
    for (std::size_t i = 1; i <= bars; ++i) {
      if (name[b - i] != '_') return false;
    }
    e = b - bars;
  }
  return true;
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

CheckReport checkWorkspace(const SpaceMan& ws, const ProgressFn& progress) {
  CheckReport result;
  const Graph g = buildGraph(ws, progress);
  const std::size_t n = g.recs.size();
  result.records = n;
  std::vector<Finding>& out = result.findings;

  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t e = g.first[i]; e < g.first[i + 1]; ++e) {
      if (g.target[e] != kNone) continue;
      Finding f;
      f.kind = Finding::DANGLING_CHILD;
      f.id = g.recs[i].first;
      f.item = *g.itemName[e];
      f.target = g.named[e];
      out.push_back(f);
    }
  }

  const std::vector<unsigned> actual = actualCounts(g);
  for (uint32_t i = 0; i < n; ++i) {
    const StructConfig& rec = *g.recs[i].second;
    if (rec.intrefcount == actual[i]) continue;
    Finding f;
    f.kind = Finding::COUNT_MISMATCH;
    f.id = g.recs[i].first;
    f.stored = rec.intrefcount;
    f.actual = actual[i];
    out.push_back(f);
  }
  for (uint32_t i = 0; i < n; ++i) {
    const StructConfig& rec = *g.recs[i].second;
    if (g.recs[i].first == 0 || rec.extrefcount != 0 || actual[i] != 0) {
      continue;
    }
    Finding f;
    f.kind = Finding::UNKEPT_RECORD;
    f.id = g.recs[i].first;
    out.push_back(f);
  }

  uint32_t ncomp = 0;
  const std::vector<uint32_t> comp = components(g, &ncomp);
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
    f.path = cycleThrough(g, comp, i, &seen, &edge);
    if (edge != kNone) f.item = *g.itemName[edge];
    out.push_back(f);
  }
  report(progress, n + n / 2, 2 * n);

  const std::vector<FileRef> files = fileItems(g);
  const DirListing listing = listDataDir(ws);
  result.dataDirExists = listing.exists;
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
    if (!contains(listing.names, *ref.name)) {
      f.kind = Finding::MISSING_FILE;
      missing.push_back(f);
    }
  }
  std::sort(missing.begin(), missing.end(), byIdThenItem);
  std::sort(shared.begin(), shared.end(), byIdThenItem);
  std::sort(invalid.begin(), invalid.end(), byIdThenItem);
  out.insert(out.end(), missing.begin(), missing.end());
  out.insert(out.end(), shared.begin(), shared.end());
  out.insert(out.end(), invalid.begin(), invalid.end());

  for (const std::string& name :
       orphanNames(listing, files, &result.foreignFiles)) {
    Finding f;
    f.kind = Finding::ORPHAN_FILE;
    f.file = name;
    out.push_back(f);
  }
  report(progress, 2 * n, 2 * n);
  return result;
}

std::vector<CountFix> fixInternalCounts(SpaceMan& ws) {
  const Graph g = buildGraph(ws, ProgressFn());
  const std::vector<unsigned> actual = actualCounts(g);
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
  const Graph g = buildGraph(ws, ProgressFn());
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
      if (type >= 1 && type <= 5) ++stats.items[type];
      if (item.second.type == StructConfig::ITEM_FILE) {
        names.push_back(item.second.str);
      }
    }
    report(progress, ++done, 2 * n);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());

  const std::string dir = ws.getDatadir();
  const DirListing listing = listDataDir(ws);
  stats.files = names.size();
  std::size_t k = 0;
  for (const std::string& name : names) {
    struct stat st;
    if (isPlainFileName(name) && contains(listing.names, name) &&
        statFile(utils::pathadd(dir, name), &st)) {
      stats.fileBytes += static_cast<uint64_t>(st.st_size);
    } else {
      ++stats.missingFiles;
    }
    report(progress, n + (++k * n) / (names.size() + 1), 2 * n);
  }
  for (const OrphanFile& orphan : findOrphanFiles(ws)) {
    ++stats.orphanFiles;
    stats.orphanBytes += orphan.size;
  }
  report(progress, 2 * n, 2 * n);
  return stats;
}

std::vector<OrphanFile> findOrphanFiles(const SpaceMan& ws) {
  const Graph g = buildGraph(ws, ProgressFn());
  const std::vector<FileRef> files = fileItems(g);
  const DirListing listing = listDataDir(ws);
  const std::string dir = ws.getDatadir();
  std::vector<OrphanFile> orphans;
  for (const std::string& name : orphanNames(listing, files, nullptr)) {
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
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<OrphanFile> findSaveLeftovers(const SpaceMan& ws) {
  const std::string dir = saveDirectory(ws);
  const std::string prefix = SpaceMan::kSaveTempPrefix;
  std::vector<OrphanFile> leftovers;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) throw std::runtime_error("cannot read directory");
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, closedir);
  while (const struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + 6 ||
        name.compare(0, prefix.size(), prefix) != 0)
      continue;
    struct stat st;
    if (lstat(utils::pathadd(dir, name).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    OrphanFile f;
    f.name = name;
    f.size = static_cast<uint64_t>(st.st_size);
    f.mtime = static_cast<int64_t>(st.st_mtime);
    leftovers.push_back(f);
  }
  std::sort(
      leftovers.begin(), leftovers.end(),
      [](const OrphanFile& a, const OrphanFile& b) { return a.name < b.name; });
  return leftovers;
}

}  // namespace vorla
