// SPDX-License-Identifier: MIT
#include "utils/file_utils.h"

#include <fcntl.h>
#include <sys/sendfile.h>  // sendfile
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/error.h"
#include "utils/posix_file.h"

namespace utils {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string pathname(const std::string& path) {
  std::string::size_type pos = path.find_last_of("/\\");
  if (pos == std::string::npos) return ".";
  return path.substr(0, pos);
}

std::pair<std::string, std::string> splitext(const std::string& path) {
  std::string::size_type pos = path.rfind('.');
  if (pos == std::string::npos) return std::make_pair(path, std::string());
  return std::make_pair(path.substr(0, pos), path.substr(pos));
}

char lastchr(const std::string& s) { return s.empty() ? '\0' : s.back(); }

std::string pathadd(const std::string& dir, const std::string& name) {
  if (is_separator(lastchr(dir))) return dir + name;
  std::string joined;
  joined.reserve(dir.size() + 1 + name.size());
  joined += dir;
  joined += '/';
  joined += name;
  return joined;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

bool name_taken(const std::string& path) {
  struct stat st;
  // A path the system cannot even be asked about is taken for no name.
  return has_nul(path) || ::lstat(path.c_str(), &st) == 0;
}

bool name_free(const std::string& path) {
  struct stat st;
  return !has_nul(path) && ::lstat(path.c_str(), &st) != 0 &&
         errno != ENAMETOOLONG;
}

bool has_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

int64_t filesize(const std::string& path) {
  if (has_nul(path)) return 0;
  std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
  if (!in.good() || in.eof() || !in.is_open()) return 0;
  in.seekg(0, std::ios::beg);
  const std::streampos begin = in.tellg();
  in.seekg(0, std::ios::end);
  const std::streampos end = in.tellg();
  return static_cast<int64_t>(end - begin);
}

namespace {

// `err` is the errno of the failed call; 0 for a file refused without one.
[[noreturn]] void throw_open_error(const std::string& path, int err) {
  throw Error(Error::CANNOT_OPEN_FILE, path, err);
}

[[noreturn]] void throw_copy_error(const std::string& path, int err) {
  throw Error(Error::CANNOT_COPY_FILE, path, err);
}

// Opens src for a copy, or throws. It is examined by name first, so that a
// FIFO (whose opening would block) or a device (whose opening may act) is
// never opened, and by descriptor after, so that nothing put in its place
// in between is read.
OwnedFd open_copy_source(const std::string& src, struct stat* st) {
  if (has_nul(src)) throw_open_error(src, EINVAL);
  struct stat named;
  if (::lstat(src.c_str(), &named) != 0) throw_open_error(src, errno);
  if (!S_ISREG(named.st_mode)) throw_copy_error(src, 0);
  OwnedFd in(::open(src.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in.valid()) {
    if (errno == ELOOP) throw_copy_error(src, 0);
    throw_open_error(src, errno);
  }
  if (::fstat(in.get(), st) != 0) throw_open_error(src, errno);
  if (!S_ISREG(st->st_mode) || st->st_dev != named.st_dev ||
      st->st_ino != named.st_ino)
    throw_copy_error(src, 0);
  return in;
}

// Opens dst for the copy of a file of mode `mode`; `created` tells whether
// this call made it. Invalid when it cannot be opened.
OwnedFd open_copy_destination(const std::string& dst, mode_t mode,
                              bool* created) {
  *created = true;
  if (has_nul(dst)) return OwnedFd();
  OwnedFd out(::open(dst.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     mode & 0777));
  if (!out.valid() && errno == EEXIST) {
    *created = false;
    out = OwnedFd(::open(
        dst.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  }
  return out;
}

}  // namespace

void copyfile(const std::string& src, const std::string& dst) {
  struct stat st;
  OwnedFd in = open_copy_source(src, &st);
  // Only a destination that this call creates is removed when the copy
  // fails; an existing one is overwritten but never deleted.
  bool created;
  OwnedFd out = open_copy_destination(dst, st.st_mode, &created);
  if (!out.valid()) throw_copy_error(dst, has_nul(dst) ? EINVAL : errno);
  off_t offset = 0;
  const off_t size = st.st_size;
  // The errno of the step that failed; a source that ends early has none.
  int err = 0;
  bool ok = true;
  while (offset < size) {
    const ssize_t moved = retry_eintr([&] {
      return ::sendfile(out.get(), in.get(), &offset,
                        static_cast<size_t>(size - offset));
    });
    if (moved <= 0) {
      err = moved < 0 ? errno : 0;
      ok = false;
      break;
    }
  }
  // The index file may name this copy as soon as the caller saves: its
  // contents must reach the disk first.
  if (ok && ::fsync(out.get()) != 0) {
    err = errno;
    ok = false;
  }
  in.close();
  if (!out.close() && ok) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    if (created) ::unlink(dst.c_str());
    throw_copy_error(dst, err);
  }
}

std::string open_temp(std::ofstream& stream, const std::string& prefix) {
  if (has_nul(prefix)) return std::string();
  std::string name = prefix + "_XXXXXX";
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  const int fd = ::mkstemp(buf.data());
  if (fd < 0) return std::string();
  name.assign(buf.data());
  stream.open(name.c_str(), std::ios::out | std::ios::trunc);
  ::close(fd);
  return name;
}

}  // namespace utils
