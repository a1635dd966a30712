// SPDX-License-Identifier: MIT
#include "workspace/create.h"

#include <sys/stat.h>  // stat
#include <unistd.h>    // read, close

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "utils/str_utils.h"
#include "workspace/error.h"
#include "workspace/file_names.h"
#include "workspace/format.h"
#include "workspace/gc.h"
#include "workspace/index_format.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {

namespace {

// The components of a relative data directory name, "." and empty ones
// left out.
std::vector<std::string> components(const std::string& rel) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= rel.size()) {
    std::size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    const std::string part = rel.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Whether `a` and `b`, beside an index file in `folder`, are one data
// directory: by name, or by the directory they lead to.
bool sameDataDir(const std::string& folder, const std::string& a,
                 const std::string& b) {
  if (components(a) == components(b)) return true;
  struct stat sa, sb;
  return ::stat(utils::pathadd(folder, a).c_str(), &sa) == 0 &&
         ::stat(utils::pathadd(folder, b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// An index file read as the reader cuts it into lines, without building
// records: record 0's data directory and the number of other sections.
// Not well formed is a file that is not regular or cannot be read, and one
// with a line that the reader would refuse as too long or without "=", or
// an item line before any section. A scan that `stopsAfterZero` ends with
// record 0's section, which save writes first.
class IndexScan {
 public:
  explicit IndexScan(bool stopsAfterZero) : stopAfterZero(stopsAfterZero) {}

  void run(const std::string& path) {
    const utils::OwnedFd fd(utils::open_regular(path));
    if (!fd.valid()) return;
    std::vector<char> buf(index_format::kChunk);
    std::size_t have = 0;
    for (;;) {
      const ssize_t n = utils::retry_eintr([&] {
        return ::read(fd.get(), buf.data() + have, buf.size() - have);
      });
      if (n < 0) return;
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
      const char* p = buf.data();
      const char* end = buf.data() + have;
      while (const char* nl =
                 static_cast<const char*>(std::memchr(p, '\n', end - p))) {
        if (!line(p, nl)) return;
        p = nl + 1;
      }
      const std::size_t rest = static_cast<std::size_t>(end - p);
      if (rest > format::kMaxLine) return;
      std::memmove(buf.data(), p, rest);
      have = rest;
    }
    if (have > 0 && !line(buf.data(), buf.data() + have)) return;
    wellFormed = true;
  }

  bool wellFormed = false;
  // Record 0 names a data directory, `rel`.
  bool hasRel = false;
  std::string rel;
  // Sections other than record 0's.
  std::size_t records = 0;

 private:
  // Takes one line; false once the scan is over, well formed when
  // `wellFormed` was set.
  bool line(const char* b, const char* e) {
    if (static_cast<std::size_t>(e - b) > format::kMaxLine) return false;
    while (b < e && utils::is_space(*b)) ++b;
    while (e > b && utils::is_space(e[-1])) --e;
    if (b == e || *b == ';' || *b == '#') return true;
    if (*b == '[') {
      unsigned id = 1;
      const char* idend = e - b >= 2 ? e - 1 : b + 1;
      if (!utils::parse_unsigned(b + 1, idend, &id)) return false;
      if (inZero && stopAfterZero) {
        wellFormed = true;
        return false;
      }
      inSection = true;
      inZero = id == 0;
      if (!inZero) ++records;
      return true;
    }
    const char* eq = static_cast<const char*>(std::memchr(b, '=', e - b));
    if (eq == nullptr || !inSection) return false;
    const char* ke = eq;
    while (ke > b && utils::is_space(ke[-1])) --ke;
    const char* vb = eq + 1;
    while (vb < e && utils::is_space(*vb)) ++vb;
    const std::size_t keylen = sizeof format::kRelDataDirKey - 1;
    if (inZero && static_cast<std::size_t>(ke - b) == keylen &&
        std::memcmp(b, format::kRelDataDirKey, keylen) == 0) {
      rel.assign(vb, static_cast<std::size_t>(e - vb));
      hasRel = true;
    }
    return true;
  }

  const bool stopAfterZero;
  bool inSection = false;
  bool inZero = false;
};

// Whether `name` is one that the library or the tool gives files beside an
// index file that are not index files of their own: a backup of one
// (NAME.bak, NAME.bak.N), an unfinished save, a data file.
bool passedOver(const std::string& name) {
  return file_names::is_save_temp(name) || file_names::matches(name) ||
         file_names::is_backup(name);
}

}  // namespace

std::vector<std::string> dataDirectorySharers(const std::string& index,
                                              const std::string& reldatadir) {
  std::vector<std::string> sharers;
  const std::string folder = utils::pathname(index);
  std::vector<utils::DirEntry> entries;
  uint64_t device = 0;
  if (!utils::list_directory(folder, &entries, &device)) return sharers;
  struct stat own;
  const bool ownKnown = ::stat(index.c_str(), &own) == 0;
  const std::string ownName = utils::name_part(index);
  for (const utils::DirEntry& e : entries) {
    if (e.name == ownName || passedOver(e.name)) continue;
    const std::string path = utils::pathadd(folder, e.name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (ownKnown && st.st_dev == own.st_dev && st.st_ino == own.st_ino)
      continue;
    IndexScan scan(true);
    scan.run(path);
    if (scan.wellFormed && scan.hasRel &&
        sameDataDir(folder, scan.rel, reldatadir))
      sharers.push_back(path);
  }
  std::sort(sharers.begin(), sharers.end());
  return sharers;
}

FormerWorkspace keepFormerWorkspace(const std::string& index) {
  FormerWorkspace former;
  struct stat st;
  if (::stat(index.c_str(), &st) != 0) return former;
  if (!S_ISREG(st.st_mode)) {
    throw Error(Error::CANNOT_WRITE_FILE, index,
                S_ISDIR(st.st_mode) ? EISDIR : 0);
  }
  // Read as the reader cuts it, not loaded: a file that would not load
  // must be kept, not refused.
  IndexScan scan(false);
  scan.run(index);
  former.dropped = scan.records;
  former.unreadable = !scan.wellFormed || !scan.hasRel;
  if (!former.unreadable && former.dropped == 0) return former;
  former.backup = backupFile(index);
  return former;
}

namespace {

// What init refuses, before anything is locked, read or kept: a path that
// the system would see cut short at a NUL, and a data directory name that
// init refuses.
void checkNames(const std::string& index, const std::string& reldatadir) {
  if (utils::has_nul(index))
    throw Error(Error::CANNOT_WRITE_FILE, index, EINVAL);
  index_format::check_data_dir_name(reldatadir);
}

}  // namespace

FormerWorkspace replaceWorkspace(SpaceMan& ws, const std::string& index,
                                 const std::string& reldatadir) {
  checkNames(index, reldatadir);
  WriterLock lock;
  lock.setWait(ws.getLockWait());
  lock.hold(index);
  const FormerWorkspace former = keepFormerWorkspace(index);
  ws.init(index, reldatadir);
  return former;
}

FormerWorkspace createWorkspace(SpaceMan& ws, const std::string& index,
                                const std::string& reldatadir, bool overwrite) {
  checkNames(index, reldatadir);
  if (!overwrite && utils::name_taken(index))
    throw Error(Error::INDEX_EXISTS, index);
  const std::vector<std::string> sharers =
      dataDirectorySharers(index, reldatadir);
  if (!sharers.empty()) throw Error(Error::SHARED_DATA_DIRECTORY, sharers[0]);
  return replaceWorkspace(ws, index, reldatadir);
}

}  // namespace vorla
