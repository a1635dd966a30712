// SPDX-License-Identifier: MIT
// A recorder of file-system calls, preloaded into a process (LD_PRELOAD).
//
// Every call that changes a file or a name under the folder named by
// VORLA_REC_ROOT is appended to the log named by VORLA_REC_LOG, with the
// bytes it wrote, after the call succeeded. A record is one header line
// "op \t pid \t path \t path2 \t n1 \t n2 \t length \n" followed by `length`
// raw bytes; paths are absolute, with their directory resolved. One lock
// orders the call and its record, so the log of a multi-threaded program is
// in the order the calls took effect; a forked child appends to the same log
// (opened O_APPEND) under its own pid. Copies inside the kernel (sendfile,
// copy_file_range) are logged as writes of the bytes copied. Writes made
// through stdio streams inside the C library are not seen: programs under
// test write with write(2) or iostreams.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sendfile.h>  // sendfile
#include <sys/stat.h>
#include <sys/uio.h>  // writev
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

namespace {

pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
thread_local int depth = 0;

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(f, sig) static auto real_##f = real<sig>(#f)

struct Config {
  std::string root;
  int log = -1;
};

const Config& config() {
  static Config c = [] {
    Config r;
    const char* root = getenv("VORLA_REC_ROOT");
    const char* log = getenv("VORLA_REC_LOG");
    char buf[PATH_MAX];
    if (root != nullptr && log != nullptr && realpath(root, buf) != nullptr) {
      r.root = buf;
      REAL(open, int (*)(const char*, int, ...));
      r.log = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    return r;
  }();
  return c;
}

bool under(const std::string& p) {
  const std::string& root = config().root;
  return config().log >= 0 && !root.empty() &&
         p.compare(0, root.size(), root) == 0 &&
         (p.size() == root.size() || p[root.size()] == '/');
}

std::string fdPath(int fd) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The absolute path of `path` seen from `dirfd`, with its directory part
// resolved (the last component may not exist yet).
std::string absPath(int dirfd, const char* path) {
  if (path == nullptr || path[0] == '\0') return std::string();
  std::string p = path;
  if (p[0] != '/') {
    char cwd[PATH_MAX];
    const std::string base =
        dirfd == AT_FDCWD ? std::string(getcwd(cwd, sizeof(cwd)) ? cwd : "")
                          : fdPath(dirfd);
    p = base + "/" + p;
  }
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  const std::string last = p.substr(slash + 1);
  char buf[PATH_MAX];
  if (last == "." || last == "..") {
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
  }
  const std::string dir = slash == 0 ? "/" : p.substr(0, slash);
  if (realpath(dir.c_str(), buf) == nullptr) return p;
  const std::string d = buf;
  return (d == "/" ? "" : d) + "/" + last;
}

void emit(const char* op, const std::string& a, const std::string& b,
          long long n1, long long n2, const void* data, size_t len) {
  std::string rec = std::string(op) + '\t' + std::to_string(getpid()) + '\t' +
                    a + '\t' + b + '\t' + std::to_string(n1) + '\t' +
                    std::to_string(n2) + '\t' + std::to_string(len) + '\n';
  if (len > 0) rec.append(static_cast<const char*>(data), len);
  REAL(write, ssize_t(*)(int, const void*, size_t));
  size_t done = 0;
  while (done < rec.size()) {
    const ssize_t n =
        real_write(config().log, rec.data() + done, rec.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

// Holds the lock around one call and its record, unless the call is the
// recorder's own or concerns nothing under the root.
struct Scope {
  explicit Scope(bool wanted) : on(wanted && depth == 0) {
    if (on) pthread_mutex_lock(&mu);
    ++depth;
  }
  ~Scope() {
    --depth;
    if (on) pthread_mutex_unlock(&mu);
  }
  const bool on;
};

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// An open that created or truncated a file under the root.
int opened(int fd, const std::string& p, bool existed, int flags) {
  if (fd < 0) return fd;
  const int saved = errno;
  if (!existed && (flags & O_CREAT) != 0) {
    emit("create", p, "", 0, 0, nullptr, 0);
  } else if (existed && (flags & O_TRUNC) != 0 &&
             (flags & O_ACCMODE) != O_RDONLY) {
    emit("trunc", p, "", 0, 0, nullptr, 0);
  }
  errno = saved;
  return fd;
}

// Bytes `n` written to `fd` just now, at `off` (-1: ending at its position).
void wrote(int fd, const std::string& p, const void* buf, ssize_t n,
           off_t off) {
  if (n <= 0) return;
  const int saved = errno;
  if (off < 0) off = lseek(fd, 0, SEEK_CUR) - n;
  emit("write", p, "", off, 0, buf, static_cast<size_t>(n));
  errno = saved;
}

// The bytes a kernel-side copy took from `in` at `at`.
void copied(int out, const std::string& p, int in, off_t at, ssize_t n,
            off_t off) {
  if (n <= 0) return;
  std::string bytes(static_cast<size_t>(n), '\0');
  REAL(pread, ssize_t(*)(int, void*, size_t, off_t));
  const ssize_t got = real_pread(in, &bytes[0], bytes.size(), at);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  wrote(out, p, bytes.data(), static_cast<ssize_t>(bytes.size()), off);
}

int doOpen(int dirfd, const char* path, int flags, mode_t mode) {
  const std::string p = absPath(dirfd, path);
  Scope s(under(p) && (flags & (O_CREAT | O_TRUNC)) != 0);
  const bool existed = s.on && exists(p);
  REAL(openat, int (*)(int, const char*, int, ...));
  const int fd = real_openat(dirfd, path, flags, mode);
  return s.on ? opened(fd, p, existed, flags) : fd;
}

mode_t modeOf(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(ap, int))
             : 0;
}

// An operation on one name: logged as `op` after it succeeded.
template <typename Call>
int onPath(const char* op, int dirfd, const char* path, long long n1,
           Call call) {
  const std::string p = absPath(dirfd, path);
  Scope s(under(p));
  const int r = call();
  if (s.on && r == 0) emit(op, p, "", n1, 0, nullptr, 0);
  return r;
}

// An operation on two names (rename, link).
template <typename Call>
int onPaths(const char* op, int fd1, const char* p1, int fd2, const char* p2,
            long long n1, Call call) {
  const std::string a = absPath(fd1, p1), b = absPath(fd2, p2);
  Scope s(under(a) || under(b));
  const int r = call();
  if (s.on && r == 0) emit(op, a, b, n1, 0, nullptr, 0);
  return r;
}

// An operation on a descriptor.
template <typename Call>
int onFd(const char* op, int fd, long long n1, Call call) {
  const std::string p = fdPath(fd);
  Scope s(under(p));
  const int r = call();
  if (s.on && r == 0) emit(op, p, "", n1, 0, nullptr, 0);
  return r;
}

int created(int fd) {
  if (fd >= 0) {
    const int saved = errno;
    const std::string p = fdPath(fd);
    Scope s(under(p));
    if (s.on) emit("create", p, "", 0, 0, nullptr, 0);
    errno = saved;
  }
  return fd;
}

}  // namespace

extern "C" {

// The body of an open call that takes a mode only with O_CREAT or O_TMPFILE.
#define WITH_MODE(call)                  \
  va_list ap;                            \
  va_start(ap, flags);                   \
  const mode_t mode = modeOf(flags, ap); \
  va_end(ap);                            \
  return call;

int open(const char* path, int flags, ...) {
  WITH_MODE(doOpen(AT_FDCWD, path, flags, mode))
}
int open64(const char* path, int flags, ...) {
  WITH_MODE(doOpen(AT_FDCWD, path, flags, mode))
}
int openat(int dirfd, const char* path, int flags, ...) {
  WITH_MODE(doOpen(dirfd, path, flags, mode))
}
int openat64(int dirfd, const char* path, int flags, ...) {
  WITH_MODE(doOpen(dirfd, path, flags, mode))
}
int __open_2(const char* path, int flags) {
  return doOpen(AT_FDCWD, path, flags, 0);
}
int __open64_2(const char* path, int flags) {
  return doOpen(AT_FDCWD, path, flags, 0);
}
int __openat_2(int dirfd, const char* path, int flags) {
  return doOpen(dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char* path, int flags) {
  return doOpen(dirfd, path, flags, 0);
}
int creat(const char* path, mode_t mode) {
  return doOpen(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}
int creat64(const char* path, mode_t mode) { return creat(path, mode); }

FILE* fopen(const char* path, const char* mode) {
  REAL(fopen, FILE * (*)(const char*, const char*));
  const std::string p = absPath(AT_FDCWD, path);
  const bool writes = mode[0] == 'w' || mode[0] == 'a';
  Scope s(under(p) && writes);
  const bool existed = s.on && exists(p);
  FILE* f = real_fopen(path, mode);
  if (s.on && f != nullptr) {
    opened(fileno(f), p, existed,
           O_CREAT | O_WRONLY | (mode[0] == 'w' ? O_TRUNC : 0));
  }
  return f;
}
FILE* fopen64(const char* path, const char* mode) { return fopen(path, mode); }

int mkstemp(char* tmpl) {
  REAL(mkstemp, int (*)(char*));
  return created(real_mkstemp(tmpl));
}
int mkstemp64(char* tmpl) { return mkstemp(tmpl); }
int mkostemp(char* tmpl, int flags) {
  REAL(mkostemp, int (*)(char*, int));
  return created(real_mkostemp(tmpl, flags));
}
int mkostemp64(char* tmpl, int flags) { return mkostemp(tmpl, flags); }

ssize_t write(int fd, const void* buf, size_t count) {
  REAL(write, ssize_t(*)(int, const void*, size_t));
  if (depth > 0) return real_write(fd, buf, count);
  const std::string p = fdPath(fd);
  Scope s(under(p));
  const ssize_t n = real_write(fd, buf, count);
  if (s.on) wrote(fd, p, buf, n, -1);
  return n;
}
ssize_t pwrite(int fd, const void* buf, size_t count, off_t off) {
  REAL(pwrite, ssize_t(*)(int, const void*, size_t, off_t));
  const std::string p = fdPath(fd);
  Scope s(under(p));
  const ssize_t n = real_pwrite(fd, buf, count, off);
  if (s.on) wrote(fd, p, buf, n, off);
  return n;
}
ssize_t pwrite64(int fd, const void* buf, size_t count, off_t off) {
  return pwrite(fd, buf, count, off);
}
ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  REAL(writev, ssize_t(*)(int, const struct iovec*, int));
  const std::string p = fdPath(fd);
  Scope s(under(p));
  const ssize_t n = real_writev(fd, iov, cnt);
  if (s.on && n > 0) {
    std::string bytes;
    for (int i = 0; i < cnt && bytes.size() < static_cast<size_t>(n); ++i) {
      bytes.append(
          static_cast<const char*>(iov[i].iov_base),
          std::min(iov[i].iov_len, static_cast<size_t>(n) - bytes.size()));
    }
    wrote(fd, p, bytes.data(), n, -1);
  }
  return n;
}
ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  REAL(sendfile, ssize_t(*)(int, int, off_t*, size_t));
  const std::string p = fdPath(out);
  Scope s(under(p));
  const off_t at = offset != nullptr ? *offset : lseek(in, 0, SEEK_CUR);
  const ssize_t n = real_sendfile(out, in, offset, count);
  if (s.on) copied(out, p, in, at, n, -1);
  return n;
}
ssize_t sendfile64(int out, int in, off_t* offset, size_t count) {
  return sendfile(out, in, offset, count);
}
ssize_t copy_file_range(int in, off_t* inoff, int out, off_t* outoff,
                        size_t len, unsigned flags) {
  REAL(copy_file_range, ssize_t(*)(int, off_t*, int, off_t*, size_t, unsigned));
  const std::string p = fdPath(out);
  Scope s(under(p));
  const off_t at = inoff != nullptr ? *inoff : lseek(in, 0, SEEK_CUR);
  const off_t to = outoff != nullptr ? *outoff : -1;
  const ssize_t n = real_copy_file_range(in, inoff, out, outoff, len, flags);
  if (s.on) copied(out, p, in, at, n, to);
  return n;
}

int ftruncate(int fd, off_t len) {
  REAL(ftruncate, int (*)(int, off_t));
  return onFd("trunc", fd, len, [&] { return real_ftruncate(fd, len); });
}
int ftruncate64(int fd, off_t len) { return ftruncate(fd, len); }
int truncate(const char* path, off_t len) {
  REAL(truncate, int (*)(const char*, off_t));
  return onPath("trunc", AT_FDCWD, path, len,
                [&] { return real_truncate(path, len); });
}
int fsync(int fd) {
  REAL(fsync, int (*)(int));
  return onFd("fsync", fd, 0, [&] { return real_fsync(fd); });
}
int fdatasync(int fd) {
  REAL(fdatasync, int (*)(int));
  return onFd("fsync", fd, 0, [&] { return real_fdatasync(fd); });
}
int syncfs(int fd) {
  REAL(syncfs, int (*)(int));
  return onFd("sync", fd, 0, [&] { return real_syncfs(fd); });
}
void sync(void) {
  REAL(sync, void (*)(void));
  Scope s(config().log >= 0);
  real_sync();
  if (s.on) emit("sync", config().root, "", 0, 0, nullptr, 0);
}
int fchmod(int fd, mode_t mode) {
  REAL(fchmod, int (*)(int, mode_t));
  return onFd("chmod", fd, mode, [&] { return real_fchmod(fd, mode); });
}
int chmod(const char* path, mode_t mode) {
  REAL(chmod, int (*)(const char*, mode_t));
  return onPath("chmod", AT_FDCWD, path, mode,
                [&] { return real_chmod(path, mode); });
}
int close(int fd) {
  REAL(close, int (*)(int));
  if (depth > 0) return real_close(fd);
  return onFd("close", fd, 0, [&] { return real_close(fd); });
}

int rename(const char* from, const char* to) {
  REAL(rename, int (*)(const char*, const char*));
  return onPaths("rename", AT_FDCWD, from, AT_FDCWD, to, 0,
                 [&] { return real_rename(from, to); });
}
int renameat(int fd1, const char* from, int fd2, const char* to) {
  REAL(renameat, int (*)(int, const char*, int, const char*));
  return onPaths("rename", fd1, from, fd2, to, 0,
                 [&] { return real_renameat(fd1, from, fd2, to); });
}
int renameat2(int fd1, const char* from, int fd2, const char* to,
              unsigned flags) {
  REAL(renameat2, int (*)(int, const char*, int, const char*, unsigned));
  return onPaths(flags & RENAME_EXCHANGE ? "exchange" : "rename", fd1, from,
                 fd2, to, 0,
                 [&] { return real_renameat2(fd1, from, fd2, to, flags); });
}
int link(const char* from, const char* to) {
  REAL(link, int (*)(const char*, const char*));
  return onPaths("link", AT_FDCWD, from, AT_FDCWD, to, 0,
                 [&] { return real_link(from, to); });
}
int linkat(int fd1, const char* from, int fd2, const char* to, int flags) {
  REAL(linkat, int (*)(int, const char*, int, const char*, int));
  return onPaths("link", fd1, from, fd2, to, 0,
                 [&] { return real_linkat(fd1, from, fd2, to, flags); });
}
int symlinkat(const char* target, int dirfd, const char* to) {
  REAL(symlinkat, int (*)(const char*, int, const char*));
  const std::string b = absPath(dirfd, to);
  Scope s(under(b));
  const int r = real_symlinkat(target, dirfd, to);
  if (s.on && r == 0) emit("symlink", target, b, 0, 0, nullptr, 0);
  return r;
}
int symlink(const char* target, const char* to) {
  return symlinkat(target, AT_FDCWD, to);
}
int unlink(const char* path) {
  REAL(unlink, int (*)(const char*));
  return onPath("unlink", AT_FDCWD, path, 0, [&] { return real_unlink(path); });
}
int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat, int (*)(int, const char*, int));
  return onPath(flags & AT_REMOVEDIR ? "rmdir" : "unlink", dirfd, path, 0,
                [&] { return real_unlinkat(dirfd, path, flags); });
}
int rmdir(const char* path) {
  REAL(rmdir, int (*)(const char*));
  return onPath("rmdir", AT_FDCWD, path, 0, [&] { return real_rmdir(path); });
}
int remove(const char* path) {
  REAL(remove, int (*)(const char*));
  const std::string p = absPath(AT_FDCWD, path);
  struct stat st;
  const bool dir = lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return onPath(dir ? "rmdir" : "unlink", AT_FDCWD, path, 0,
                [&] { return real_remove(path); });
}
int mkdir(const char* path, mode_t mode) {
  REAL(mkdir, int (*)(const char*, mode_t));
  return onPath("mkdir", AT_FDCWD, path, mode,
                [&] { return real_mkdir(path, mode); });
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
  REAL(mkdirat, int (*)(int, const char*, mode_t));
  return onPath("mkdir", dirfd, path, mode,
                [&] { return real_mkdirat(dirfd, path, mode); });
}

}  // extern "C"
