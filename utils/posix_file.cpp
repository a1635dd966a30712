// SPDX-License-Identifier: MIT
#include "utils/posix_file.h"

#include <fcntl.h>
#include <sys/random.h>  // getrandom
#include <sys/stat.h>
#include <sys/utsname.h>  // uname
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>  // sscanf
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "utils/error.h"

#include <dirent.h>  // opendir, readdir

namespace utils {

namespace {

// A write of `path` failed; `err` is the errno of the failed call, 0 for a
// file refused without one.
[[noreturn]] void throw_write_error(const std::string& path, int err) {
  throw Error(Error::CANNOT_WRITE_FILE, path, err);
}

void identity_from(const struct stat& st, FileIdentity* id) {
  id->exists = true;
  id->dev = static_cast<uint64_t>(st.st_dev);
  id->ino = static_cast<uint64_t>(st.st_ino);
  id->size = static_cast<uint64_t>(st.st_size);
  id->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                 static_cast<int64_t>(st.st_mtim.tv_nsec);
}

// Six characters for a temporary name, drawn apart from any random source
// that the caller owns (the data file names have their own sequence).
std::string temp_suffix(int attempt) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char draw[6];
  if (::getrandom(draw, sizeof draw, GRND_NONBLOCK) !=
      static_cast<ssize_t>(sizeof draw)) {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t mix = static_cast<uint64_t>(now.tv_nsec) * 2654435761u ^
                   static_cast<uint64_t>(::getpid()) << 20 ^
                   static_cast<uint64_t>(attempt) << 40;
    for (unsigned char& c : draw) {
      c = static_cast<unsigned char>(mix);
      mix = mix >> 8 | mix << 56;
    }
  }
  std::string suffix;
  for (unsigned char c : draw) suffix += kAlphabet[c % (sizeof kAlphabet - 1)];
  return suffix;
}

// A new file `prefix`XXXXXX in the directory `dirfd` for writing, under a
// name that nothing stood at, with mode 0666 for the kernel to narrow by
// the process's umask. Errors name `path`.
OwnedFd create_temp(int dirfd, const std::string& prefix,
                    const std::string& path, std::string* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = prefix + temp_suffix(attempt);
    const int fd =
        ::openat(dirfd, name->c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return OwnedFd(fd);
    if (errno != EEXIST) break;
  }
  const int err = errno;
  name->clear();
  throw_write_error(path, err);
}

// The temporary file of a replacement; removed unless it was renamed into
// place.
struct PendingFile {
  int dirfd = -1;
  std::string name;
  OwnedFd fd;
  bool renamed = false;

  ~PendingFile() {
    fd.close();
    if (!name.empty() && !renamed) ::unlinkat(dirfd, name.c_str(), 0);
  }
};

}  // namespace

OwnedFd::~OwnedFd() { close(); }

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    close();
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

bool OwnedFd::close() {
  if (fd < 0) return true;
  const int gone = fd;
  fd = -1;
  // Once, never again on EINTR (see retry_eintr).
  return ::close(gone) == 0;
}

void write_all(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = retry_eintr([&] { return ::write(fd, data, size); });
    // A write that stores nothing without an error has filled the disk.
    if (n <= 0) throw_write_error(path, n < 0 ? errno : ENOSPC);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

int open_regular(const std::string& path) {
  return open_regular_at(AT_FDCWD, path);
}

int open_regular_at(int dirfd, const std::string& name) {
  struct stat st;
  if (::fstatat(dirfd, name.c_str(), &st, 0) != 0) return -1;
  const auto refused = [](const struct stat& s) {
    errno = S_ISDIR(s.st_mode) ? EISDIR : 0;
    return !S_ISREG(s.st_mode);
  };
  if (refused(st)) return -1;
  // Without O_NONBLOCK, a FIFO put at the name since would block the open.
  const int fd = ::openat(dirfd, name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  int flags = 0;
  if (::fstat(fd, &st) != 0 || refused(st) ||
      (flags = ::fcntl(fd, F_GETFL)) < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool identity_of(int fd, FileIdentity* id) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  identity_from(st, id);
  return true;
}

bool identity_at(const std::string& path, FileIdentity* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    *id = FileIdentity();
    return true;
  }
  identity_from(st, id);
  return true;
}

bool identity_at(int dirfd, const std::string& name, FileIdentity* id) {
  struct stat st;
  if (::fstatat(dirfd, name.c_str(), &st, 0) != 0) {
    if (errno != ENOENT) return false;
    *id = FileIdentity();
    return true;
  }
  identity_from(st, id);
  return true;
}

bool follow_links(const std::string& path, std::string* target) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0) {
      // Only a path that leads to nothing is a plain new file; any other
      // failure might hide a link.
      if (errno != ENOENT) return false;
      *target = at;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = at;
      return true;
    }
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink(at.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return false;
    const std::string link(buf.data(), static_cast<size_t>(n));
    at = link[0] == '/' ? link : directory_part(at) + "/" + link;
  }
  return false;
}

std::string directory_part(const std::string& path) {
  const std::string::size_type pos = path.rfind('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string name_part(const std::string& path) {
  const std::string::size_type pos = path.rfind('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

int open_directory(const std::string& dir) {
  return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int pin_directory(const std::string& dir) {
  return ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int reopen_directory(int dirfd) {
  return ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool list_directory(const std::string& dir, std::vector<DirEntry>* entries,
                    uint64_t* device) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
  struct stat self;
  if (::fstat(::dirfd(d), &self) != 0) return false;
  *device = static_cast<uint64_t>(self.st_dev);
  errno = 0;
  while (const struct dirent* e = ::readdir(d)) {
    DirEntry entry;
    entry.name = e->d_name;
    if (entry.name == "." || entry.name == "..") continue;
    entry.ino = static_cast<uint64_t>(e->d_ino);
    entry.isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      entry.isDir =
          ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode);
    }
    entries->push_back(std::move(entry));
  }
  return errno == 0;
}

bool sync_directory(const std::string& dir) {
  OwnedFd fd(open_directory(dir));
  if (!fd.valid()) return false;
  if (::fsync(fd.get()) != 0) return false;
  return fd.close();
}

bool make_directory_durable(const std::string& dir) {
  if (dir.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  if (::mkdir(dir.c_str(), 0777) != 0) return false;
  return sync_directory(directory_part(dir));
}

namespace {

// Whether `path` is a directory (links followed): 1, 0 when something else
// is there (errno ENOTDIR), -1 with errno when nothing is or it cannot be
// told.
int is_directory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return 1;
  errno = ENOTDIR;
  return 0;
}

}  // namespace

bool make_directories(const std::string& dir, bool parents) {
  if (dir.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  // The missing ones, innermost first; walked up without recursion, so that
  // a path of many components cannot exhaust the stack.
  std::vector<std::string> missing;
  for (std::string at = dir;;) {
    const int found = is_directory(at);
    if (found == 1) break;
    if (found == 0 || errno != ENOENT) return false;
    missing.push_back(at);
    const std::string up = directory_part(at);
    if (!parents || up == at || up == "." || up == "/") break;
    at = up;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (make_directory_durable(*it)) continue;
    if (errno != EEXIST || is_directory(*it) != 1) return false;
  }
  return true;
}

namespace {

// Whether syncfs reports the writeback errors of the file system, as it does
// from Linux 5.8 on; before, it always succeeded.
bool syncfs_reports_errors() {
  static const bool reports = [] {
    struct utsname u;
    int major = 0, minor = 0;
    if (::uname(&u) != 0 ||
        std::sscanf(u.release, "%d.%d", &major, &minor) != 2)
      return false;
    return major > 5 || (major == 5 && minor >= 8);
  }();
  return reports;
}

}  // namespace

bool sync_files(const std::string& dir, const std::vector<std::string>& names,
                std::string* failed) {
  // One fsync costs a journal commit or at least a flush of the disk's
  // cache, a few milliseconds each on ext4; past a few dozen files, one
  // syncfs of the file system that holds them is far cheaper
  // (bench/save_new_files.cpp), though it also flushes what other
  // programs wrote there.
  const size_t kWholeFileSystemFrom = 32;
  if (names.size() >= kWholeFileSystemFrom && syncfs_reports_errors()) {
    OwnedFd fd(open_directory(dir));
    if (fd.valid() && ::syncfs(fd.get()) == 0 && fd.close()) return true;
    const int err = errno;
    *failed = dir;
    fd.close();
    errno = err;
    return false;
  }
  // Starting the writeback of a batch before waiting for any file of it
  // lets the disk take them together. The batch bounds the descriptors
  // held at once.
  const size_t kBatch = 64;
  for (size_t first = 0; first < names.size(); first += kBatch) {
    const size_t end = std::min(names.size(), first + kBatch);
    std::vector<std::pair<std::string, OwnedFd> > batch;
    for (size_t k = first; k < end; ++k) {
      std::string path = dir + "/" + names[k];
      OwnedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                                          O_NOCTTY | O_CLOEXEC));
      if (!fd.valid()) {
        // No file at the name (nor can there be one): nothing to keep.
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR ||
            errno == ENAMETOOLONG)
          continue;
        *failed = path;
        return false;
      }
      // Only a hint: the fsync below is what counts.
      ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
      batch.emplace_back(std::move(path), std::move(fd));
    }
    for (std::pair<std::string, OwnedFd>& file : batch) {
      if (::fsync(file.second.get()) != 0) {
        const int err = errno;
        struct stat st;
        // A FIFO or a device has no content to keep.
        if (err == EINVAL && ::fstat(file.second.get(), &st) == 0 &&
            !S_ISREG(st.st_mode))
          continue;
        *failed = file.first;
        errno = err;
        return false;
      }
      if (!file.second.close()) {
        *failed = file.first;
        return false;
      }
    }
  }
  return true;
}

FileIdentity replace_file(const std::string& path,
                          const std::string& temp_prefix,
                          const std::function<void(int fd)>& fill,
                          bool* dir_synced) {
  std::string target;
  // The system would see a path with a NUL cut short there.
  if (path.find('\0') != std::string::npos) throw_write_error(path, EINVAL);
  if (!follow_links(path, &target)) throw_write_error(path, errno);
  // Opened before anything is replaced, so that nothing fails after.
  OwnedFd dirfd(open_directory(directory_part(target)));
  if (!dirfd.valid()) throw_write_error(path, errno);
  return replace_file_at(dirfd.get(), name_part(target), dirfd.get(), path,
                         temp_prefix, fill, nullptr, dir_synced);
}

FileIdentity replace_file_at(int dirfd, const std::string& name, int syncfd,
                             const std::string& path,
                             const std::string& temp_prefix,
                             const std::function<void(int fd)>& fill,
                             OwnedFd* kept, bool* dir_synced) {
  struct stat former;
  const bool existed = ::fstatat(dirfd, name.c_str(), &former, 0) == 0;
  // A former file whose mode cannot be read would lose it.
  if (!existed && errno != ENOENT) throw_write_error(path, errno);
  // Only a regular file is replaced: never a device, a FIFO or a directory,
  // and never a file that the caller could not open for writing either.
  if (existed && S_ISDIR(former.st_mode)) throw_write_error(path, EISDIR);
  if (existed && !S_ISREG(former.st_mode)) throw_write_error(path, 0);
  if (existed && ::faccessat(dirfd, name.c_str(), W_OK, AT_EACCESS) != 0)
    throw_write_error(path, errno);

  PendingFile tmp;
  tmp.dirfd = dirfd;
  tmp.fd = create_temp(dirfd, temp_prefix, path, &tmp.name);
  fill(tmp.fd.get());
  if (existed) {
    if (::fchmod(tmp.fd.get(), former.st_mode & 07777) != 0)
      throw_write_error(path, errno);
    // Keeping the owner is best effort: only a privileged process may.
    if (::fchown(tmp.fd.get(), former.st_uid, former.st_gid) != 0) {
    }
  }
  // The content must be on disk before the rename makes it the file.
  if (::fsync(tmp.fd.get()) != 0) throw_write_error(path, errno);
  FileIdentity identity;
  if (!identity_of(tmp.fd.get(), &identity)) throw_write_error(path, errno);
  OwnedFd keep;
  if (kept != nullptr) {
    keep = OwnedFd(::fcntl(tmp.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!keep.valid()) throw_write_error(path, errno);
  }
  if (!tmp.fd.close()) throw_write_error(path, errno);
  if (::renameat(dirfd, tmp.name.c_str(), dirfd, name.c_str()) != 0)
    throw_write_error(path, errno);
  tmp.renamed = true;
  if (kept != nullptr) *kept = std::move(keep);
  // The rename should survive a power cut too. The new file is in place
  // and readers see it, so a failure to flush the directory is not
  // reported: the caller would take the former file for intact.
  const bool synced = ::fsync(syncfd) == 0;
  if (dir_synced != nullptr) *dir_synced = synced;
  return identity;
}

}  // namespace utils
