// SPDX-License-Identifier: MIT
#include "tools/make_dirs.h"

#include <cerrno>
#include <cstring>  // strerror
#include <string>

#include "tools/exit_status.h"
#include "tools/failure.h"
#include "utils/posix_file.h"

namespace vorla {
namespace tool {

void makeDirs(const std::string& dir) {
  if (dir.empty() || utils::make_directories(dir, true)) return;
  const int err = errno;
  if (err == ENOTDIR) throw Failure(dir, "not a directory", kBroken);
  throw Failure(dir,
                std::string("cannot create directory: ") + std::strerror(err),
                kBroken);
}

}  // namespace tool
}  // namespace vorla
