#include "tools/make_dirs.h"

#include <sys/stat.h>  // stat

#include <cerrno>
#include <cstring>  // strerror
#include <string>

#include "tools/exit_status.h"
#include "tools/failure.h"
#include "utils/posix_file.h"

namespace vorla {
namespace tool {

void makeDirs(const std::string& dir) {
  struct stat st;
  if (dir.empty()) return;
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw Failure(dir, "not a directory", kBroken);
    return;
  }
  const std::string::size_type slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash));
  // Synced into its parent before anything is put in it, so that what is
  // put there cannot outlive it in a power cut.
  if (!utils::make_directory_durable(dir) && errno != EEXIST) {
    const int err = errno;
    throw Failure(dir,
                  std::string("cannot create directory: ") + std::strerror(err),
                  kBroken);
  }
}

}  // namespace tool
}  // namespace vorla
