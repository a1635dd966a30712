// SPDX-License-Identifier: MIT
#include "workspace/file_names.h"

#include <cstddef>
#include <stdexcept>
#include <string>

#include "utils/file_utils.h"
#include "utils/str_utils.h"
#include "workspace/error.h"
#include "workspace/workspace.h"

namespace vorla {
namespace file_names {

std::string owned(unsigned id, const std::string& prefix) {
  return prefix + "_" + std::to_string(id) + "_";
}

std::string temporary(const std::string& tag) { return "_" + tag + "_0_"; }

bool valid_prefix(const std::string& prefix) {
  if (!prefix.empty() &&
      (utils::is_space(prefix.front()) || utils::is_space(prefix.back())))
    return false;
  return prefix.find_first_of(std::string("/\\\r\n\0", 5)) == std::string::npos;
}

std::string prefix_of(const std::string& name) {
  return name.substr(0, name.find('_'));
}

bool matches(const std::string& name) {
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

bool is_save_temp(const std::string& name) {
  const std::size_t n = sizeof kSaveTempPrefix - 1;
  return name.size() == sizeof kSaveTempTemplate - 1 &&
         name.compare(0, n, kSaveTempPrefix) == 0;
}

std::string numbered(const std::string& base, unsigned n) {
  return n == 0 ? base : base + "." + std::to_string(n);
}

std::string backup(const std::string& index, unsigned n) {
  return numbered(index + ".bak", n);
}

bool is_backup(const std::string& name) {
  std::string::size_type end = name.size();
  const std::string::size_type dot = name.find_last_of('.');
  if (dot != std::string::npos && dot + 1 < end &&
      name.find_first_not_of("0123456789", dot + 1) == std::string::npos)
    end = dot;
  return end >= 4 && name.compare(end - 4, 4, ".bak") == 0;
}

std::string lost_found_in(const std::string& dir) {
  return utils::pathadd(dir, "lost+found");
}

}  // namespace file_names

std::string randfilename(const std::string& dir, const std::string& prefix,
                         const std::string& suffix) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::string candidate = prefix;
    candidate += '_';
    candidate += std::to_string(rnd());
    candidate += '_';
    candidate += suffix;
    // Anything at the name, a dangling symbolic link included, takes it: the
    // caller creates the file there and must not write through a link. A
    // name that no file can have (too long, say) is not handed out either:
    // the next save would find its file missing for a reason it cannot
    // pass over.
    if (utils::name_free(utils::pathadd(dir, candidate))) return candidate;
  }
  throw Error(Error::CANNOT_CREATE_FILE_NAME, dir);
}

namespace {

// A workspace never inited or loaded has no data directory: a name drawn
// for it would land at the root.
void refuse_unloaded(const std::string& mainpath) {
  if (mainpath.empty()) throw Error(Error::WORKSPACE_NOT_LOADED);
}

}  // namespace

std::string SpaceMan::randfile(unsigned id, const std::string& prefix) {
  refuse_unloaded(mainpath);
  lockForWriting();
  std::string name =
      randfilename(datadir, file_names::owned(id, prefix), std::string());
  // The next save flushes it before its index names it.
  newFiles.insert(name);
  return name;
}

std::string SpaceMan::randtempfile(const std::string& tag) {
  refuse_unloaded(mainpath);
  lockForWriting();
  return utils::pathadd(
      datadir,
      randfilename(datadir, file_names::temporary(tag), std::string()));
}

std::string SpaceMan::decodeFilePrefix(const std::string& name) {
  return file_names::prefix_of(name);
}

}  // namespace vorla
