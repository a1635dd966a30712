// SPDX-License-Identifier: MIT
#include "tests/fault/fault_shim.h"

#include <fcntl.h>
#include <sys/sendfile.h>  // sendfile
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The real functions, bound by the linker's --wrap.
extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real___open_2(const char* path, int flags);
int __real___open64_2(const char* path, int flags);
int __real_openat(int dirfd, const char* path, int flags, ...);
int __real_openat64(int dirfd, const char* path, int flags, ...);
int __real___openat_2(int dirfd, const char* path, int flags);
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real___read_chk(int fd, void* buf, size_t count, size_t buflen);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_rename(const char* from, const char* to);
int __real_renameat(int fromfd, const char* from, int tofd, const char* to);
int __real_renameat2(int fromfd, const char* from, int tofd, const char* to,
                     unsigned int flags);
int __real_unlink(const char* path);
int __real_unlinkat(int dirfd, const char* path, int flags);
int __real_remove(const char* path);
int __real_stat(const char* path, struct stat* st);
int __real_stat64(const char* path, struct stat64* st);
int __real_lstat(const char* path, struct stat* st);
int __real_lstat64(const char* path, struct stat64* st);
int __real_fstat(int fd, struct stat* st);
int __real_fstat64(int fd, struct stat64* st);
int __real_fstatat(int dirfd, const char* path, struct stat* st, int flags);
int __real_fstatat64(int dirfd, const char* path, struct stat64* st, int flags);
ssize_t __real_sendfile(int out, int in, off_t* offset, size_t count);
ssize_t __real_sendfile64(int out, int in, off64_t* offset, size_t count);
int __real_mkstemp(char* tmpl);
int __real_mkstemp64(char* tmpl);
int __real_mkostemp(char* tmpl, int flags);
int __real_mkostemp64(char* tmpl, int flags);
int __real_fchmod(int fd, mode_t mode);
int __real_close(int fd);
int __real_ftruncate(int fd, off_t length);
ssize_t __real_readlink(const char* path, char* buf, size_t size);
char* __real_realpath(const char* path, char* resolved);
int __real_faccessat(int dirfd, const char* path, int mode, int flags);
int __real_fcntl(int fd, int cmd, ...);
int __real_fcntl64(int fd, int cmd, ...);
int __real_syncfs(int fd);
int __real_mkdir(const char* path, mode_t mode);
int __real_mkdirat(int dirfd, const char* path, mode_t mode);
int __real_link(const char* from, const char* to);
int __real_linkat(int fromfd, const char* from, int tofd, const char* to,
                  int flags);
}

namespace vorla {
namespace fault {

namespace {

struct State {
  bool armed = false;
  long nth = 0;
  bool persistent = false;
  long calls = 0;
  bool injected = false;
  bool noReplaceUnsupported = false;
  long perKind[CALL_KINDS] = {};
  std::vector<LogEntry> log;
};

State& state() {
  static State s;
  return s;
}

// A failure that is not an answer: a stat that fails with EIO says nothing
// about whether the file is there, where ENOENT would say it is not.
int errnoFor(CallKind kind) {
  switch (kind) {
    case CALL_OPEN:
    case CALL_MKSTEMP:
    case CALL_RENAME:
    case CALL_UNLINK:
    case CALL_REMOVE:
    case CALL_REALPATH:
    case CALL_ACCESS:
    case CALL_MKDIR:
    case CALL_LINK:
      return EACCES;
    case CALL_WRITE:
      return ENOSPC;
    case CALL_READLINK:
      return EINVAL;
    case CALL_FCNTL:
      return ENOLCK;
    default:
      return EIO;
  }
}

// Counts one call; true when it is to fail. Sets errno for the failure.
bool enter(CallKind kind, int fd, const char* path, const char* path2) {
  State& s = state();
  if (!s.armed) return false;
  ++s.calls;
  ++s.perKind[kind];
  const bool fail =
      s.nth > 0 && (s.calls == s.nth || (s.persistent && s.calls > s.nth));
  if (fail) s.injected = true;
  LogEntry entry;
  entry.kind = kind;
  entry.fd = fd;
  if (path != nullptr) entry.path = path;
  if (path2 != nullptr) entry.path2 = path2;
  entry.failed = fail;
  s.log.push_back(entry);
  if (fail) errno = errnoFor(kind);
  return fail;
}

// Records the descriptor that an open or mkstemp returned.
int opened(int fd) {
  State& s = state();
  if (s.armed && !s.log.empty()) s.log.back().fd = fd;
  return fd;
}

mode_t modeArg(int flags, va_list args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(args, int));
  }
  return 0;
}

}  // namespace

const char* kindName(CallKind kind) {
  static const char* const names[CALL_KINDS] = {
      "open",   "read",  "write",     "fsync",    "rename",   "unlink",
      "remove", "stat",  "lstat",     "fstat",    "sendfile", "mkstemp",
      "fchmod", "close", "ftruncate", "readlink", "realpath", "access",
      "fcntl",  "mkdir", "link"};
  return kind < CALL_KINDS ? names[kind] : "?";
}

void arm(long nth, bool persistent) {
  State& s = state();
  s.log.clear();
  s.calls = 0;
  s.injected = false;
  for (long& n : s.perKind) n = 0;
  s.nth = nth;
  s.persistent = persistent;
  s.armed = true;
}

long disarm() {
  State& s = state();
  s.armed = false;
  return s.calls;
}

bool injected() { return state().injected; }

void set_no_replace_unsupported(bool unsupported) {
  state().noReplaceUnsupported = unsupported;
}

long callsOf(CallKind kind) { return state().perKind[kind]; }

std::vector<LogEntry> log() { return state().log; }

}  // namespace fault
}  // namespace vorla

using vorla::fault::CALL_ACCESS;
using vorla::fault::CALL_CLOSE;
using vorla::fault::CALL_FCHMOD;
using vorla::fault::CALL_FCNTL;
using vorla::fault::CALL_FSTAT;
using vorla::fault::CALL_FSYNC;
using vorla::fault::CALL_FTRUNCATE;
using vorla::fault::CALL_LINK;
using vorla::fault::CALL_LSTAT;
using vorla::fault::CALL_MKDIR;
using vorla::fault::CALL_MKSTEMP;
using vorla::fault::CALL_OPEN;
using vorla::fault::CALL_READ;
using vorla::fault::CALL_READLINK;
using vorla::fault::CALL_REALPATH;
using vorla::fault::CALL_REMOVE;
using vorla::fault::CALL_RENAME;
using vorla::fault::CALL_SENDFILE;
using vorla::fault::CALL_STAT;
using vorla::fault::CALL_UNLINK;
using vorla::fault::CALL_WRITE;
using vorla::fault::enter;
using vorla::fault::modeArg;
using vorla::fault::opened;

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArg(flags, args);
  va_end(args);
  if (enter(CALL_OPEN, -1, path, nullptr)) return -1;
  return opened(__real_open(path, flags, mode));
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArg(flags, args);
  va_end(args);
  if (enter(CALL_OPEN, -1, path, nullptr)) return -1;
  return opened(__real_open64(path, flags, mode));
}

int __wrap___open_2(const char* path, int flags) {
  if (enter(CALL_OPEN, -1, path, nullptr)) return -1;
  return opened(__real___open_2(path, flags));
}

int __wrap___open64_2(const char* path, int flags) {
  if (enter(CALL_OPEN, -1, path, nullptr)) return -1;
  return opened(__real___open64_2(path, flags));
}

int __wrap_openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArg(flags, args);
  va_end(args);
  if (enter(CALL_OPEN, dirfd, path, nullptr)) return -1;
  return opened(__real_openat(dirfd, path, flags, mode));
}

int __wrap_openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArg(flags, args);
  va_end(args);
  if (enter(CALL_OPEN, dirfd, path, nullptr)) return -1;
  return opened(__real_openat64(dirfd, path, flags, mode));
}

int __wrap___openat_2(int dirfd, const char* path, int flags) {
  if (enter(CALL_OPEN, dirfd, path, nullptr)) return -1;
  return opened(__real___openat_2(dirfd, path, flags));
}

ssize_t __wrap_read(int fd, void* buf, size_t count) {
  if (enter(CALL_READ, fd, nullptr, nullptr)) return -1;
  return __real_read(fd, buf, count);
}

ssize_t __wrap___read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (enter(CALL_READ, fd, nullptr, nullptr)) return -1;
  return __real___read_chk(fd, buf, count, buflen);
}

ssize_t __wrap_write(int fd, const void* buf, size_t count) {
  if (enter(CALL_WRITE, fd, nullptr, nullptr)) return -1;
  return __real_write(fd, buf, count);
}

int __wrap_fsync(int fd) {
  if (enter(CALL_FSYNC, fd, nullptr, nullptr)) return -1;
  return __real_fsync(fd);
}

int __wrap_fdatasync(int fd) {
  if (enter(CALL_FSYNC, fd, nullptr, nullptr)) return -1;
  return __real_fdatasync(fd);
}

int __wrap_rename(const char* from, const char* to) {
  if (enter(CALL_RENAME, -1, from, to)) return -1;
  return __real_rename(from, to);
}

int __wrap_renameat(int fromfd, const char* from, int tofd, const char* to) {
  if (enter(CALL_RENAME, fromfd, from, to)) return -1;
  return __real_renameat(fromfd, from, tofd, to);
}

int __wrap_renameat2(int fromfd, const char* from, int tofd, const char* to,
                     unsigned int flags) {
  if (enter(CALL_RENAME, fromfd, from, to)) return -1;
  if ((flags & RENAME_NOREPLACE) &&
      vorla::fault::state().noReplaceUnsupported) {
    errno = EINVAL;
    return -1;
  }
  return __real_renameat2(fromfd, from, tofd, to, flags);
}

int __wrap_unlink(const char* path) {
  if (enter(CALL_UNLINK, -1, path, nullptr)) return -1;
  return __real_unlink(path);
}

int __wrap_unlinkat(int dirfd, const char* path, int flags) {
  if (enter(CALL_UNLINK, dirfd, path, nullptr)) return -1;
  return __real_unlinkat(dirfd, path, flags);
}

int __wrap_remove(const char* path) {
  if (enter(CALL_REMOVE, -1, path, nullptr)) return -1;
  return __real_remove(path);
}

int __wrap_stat(const char* path, struct stat* st) {
  if (enter(CALL_STAT, -1, path, nullptr)) return -1;
  return __real_stat(path, st);
}

int __wrap_stat64(const char* path, struct stat64* st) {
  if (enter(CALL_STAT, -1, path, nullptr)) return -1;
  return __real_stat64(path, st);
}

int __wrap_lstat(const char* path, struct stat* st) {
  if (enter(CALL_LSTAT, -1, path, nullptr)) return -1;
  return __real_lstat(path, st);
}

int __wrap_lstat64(const char* path, struct stat64* st) {
  if (enter(CALL_LSTAT, -1, path, nullptr)) return -1;
  return __real_lstat64(path, st);
}

int __wrap_fstat(int fd, struct stat* st) {
  if (enter(CALL_FSTAT, fd, nullptr, nullptr)) return -1;
  return __real_fstat(fd, st);
}

int __wrap_fstat64(int fd, struct stat64* st) {
  if (enter(CALL_FSTAT, fd, nullptr, nullptr)) return -1;
  return __real_fstat64(fd, st);
}

int __wrap_fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  const bool nofollow = (flags & AT_SYMLINK_NOFOLLOW) != 0;
  if (enter(nofollow ? CALL_LSTAT : CALL_STAT, dirfd, path, nullptr)) {
    return -1;
  }
  return __real_fstatat(dirfd, path, st, flags);
}

int __wrap_fstatat64(int dirfd, const char* path, struct stat64* st,
                     int flags) {
  const bool nofollow = (flags & AT_SYMLINK_NOFOLLOW) != 0;
  if (enter(nofollow ? CALL_LSTAT : CALL_STAT, dirfd, path, nullptr)) {
    return -1;
  }
  return __real_fstatat64(dirfd, path, st, flags);
}

ssize_t __wrap_sendfile(int out, int in, off_t* offset, size_t count) {
  if (enter(CALL_SENDFILE, out, nullptr, nullptr)) return -1;
  return __real_sendfile(out, in, offset, count);
}

ssize_t __wrap_sendfile64(int out, int in, off64_t* offset, size_t count) {
  if (enter(CALL_SENDFILE, out, nullptr, nullptr)) return -1;
  return __real_sendfile64(out, in, offset, count);
}

int __wrap_mkstemp(char* tmpl) {
  if (enter(CALL_MKSTEMP, -1, tmpl, nullptr)) return -1;
  return opened(__real_mkstemp(tmpl));
}

int __wrap_mkstemp64(char* tmpl) {
  if (enter(CALL_MKSTEMP, -1, tmpl, nullptr)) return -1;
  return opened(__real_mkstemp64(tmpl));
}

int __wrap_mkostemp(char* tmpl, int flags) {
  if (enter(CALL_MKSTEMP, -1, tmpl, nullptr)) return -1;
  return opened(__real_mkostemp(tmpl, flags));
}

int __wrap_mkostemp64(char* tmpl, int flags) {
  if (enter(CALL_MKSTEMP, -1, tmpl, nullptr)) return -1;
  return opened(__real_mkostemp64(tmpl, flags));
}

int __wrap_fchmod(int fd, mode_t mode) {
  if (enter(CALL_FCHMOD, fd, nullptr, nullptr)) return -1;
  return __real_fchmod(fd, mode);
}

// A failed close still releases the descriptor, as it does on Linux.
int __wrap_close(int fd) {
  if (enter(CALL_CLOSE, fd, nullptr, nullptr)) {
    __real_close(fd);
    errno = EIO;
    return -1;
  }
  return __real_close(fd);
}

int __wrap_ftruncate(int fd, off_t length) {
  if (enter(CALL_FTRUNCATE, fd, nullptr, nullptr)) return -1;
  return __real_ftruncate(fd, length);
}

ssize_t __wrap_readlink(const char* path, char* buf, size_t size) {
  if (enter(CALL_READLINK, -1, path, nullptr)) return -1;
  return __real_readlink(path, buf, size);
}

char* __wrap_realpath(const char* path, char* resolved) {
  if (enter(CALL_REALPATH, -1, path, nullptr)) return nullptr;
  return __real_realpath(path, resolved);
}

int __wrap_faccessat(int dirfd, const char* path, int mode, int flags) {
  if (enter(CALL_ACCESS, dirfd, path, nullptr)) return -1;
  return __real_faccessat(dirfd, path, mode, flags);
}

// The library passes a pointer (struct flock) as the third argument.
int __wrap_fcntl(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (enter(CALL_FCNTL, fd, nullptr, nullptr)) return -1;
  return __real_fcntl(fd, cmd, arg);
}

int __wrap_fcntl64(int fd, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (enter(CALL_FCNTL, fd, nullptr, nullptr)) return -1;
  return __real_fcntl64(fd, cmd, arg);
}

int __wrap_syncfs(int fd) {
  if (enter(CALL_FSYNC, fd, nullptr, nullptr)) return -1;
  return __real_syncfs(fd);
}

int __wrap_mkdir(const char* path, mode_t mode) {
  if (enter(CALL_MKDIR, -1, path, nullptr)) return -1;
  return __real_mkdir(path, mode);
}

int __wrap_mkdirat(int dirfd, const char* path, mode_t mode) {
  if (enter(CALL_MKDIR, dirfd, path, nullptr)) return -1;
  return __real_mkdirat(dirfd, path, mode);
}

int __wrap_link(const char* from, const char* to) {
  if (enter(CALL_LINK, -1, from, to)) return -1;
  return __real_link(from, to);
}

int __wrap_linkat(int fromfd, const char* from, int tofd, const char* to,
                  int flags) {
  if (enter(CALL_LINK, fromfd, from, to)) return -1;
  return __real_linkat(fromfd, from, tofd, to, flags);
}

}  // extern "C"
