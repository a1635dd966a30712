// SPDX-License-Identifier: MIT
// Preloaded (LD_PRELOAD) into the tool by its tests: appends one line per
// mkdir, rename, link and fsync to the file that VORLA_SYNC_LOG names,
// "call path [target]", descriptors given as the path they lead to, so that
// a test can check the order in which names reach the disk.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string fdPath(int fd) {
  if (fd == AT_FDCWD) return std::string();
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) + "/" : "?/";
}

void note(const char* call, const std::string& a, const std::string& b) {
  const char* log = std::getenv("VORLA_SYNC_LOG");
  if (log == nullptr) return;
  if (FILE* f = std::fopen(log, "a")) {
    std::fprintf(f, "%s %s %s\n", call, a.c_str(), b.c_str());
    std::fclose(f);
  }
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int mkdir(const char* path, mode_t mode) {
  note("mkdir", path, "");
  return real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

int rename(const char* from, const char* to) {
  note("rename", from, to);
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat2(int fromfd, const char* from, int tofd, const char* to,
              unsigned flags) {
  note("rename", fdPath(fromfd) + from, fdPath(tofd) + to);
  return real<int (*)(int, const char*, int, const char*, unsigned)>(
      "renameat2")(fromfd, from, tofd, to, flags);
}

int link(const char* from, const char* to) {
  note("link", from, to);
  return real<int (*)(const char*, const char*)>("link")(from, to);
}

int fsync(int fd) {
  std::string path = fdPath(fd);
  path.pop_back();
  note("fsync", path, "");
  return real<int (*)(int)>("fsync")(fd);
}

}  // extern "C"
