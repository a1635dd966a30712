// SPDX-License-Identifier: MIT
// A test-only interposition layer over the file-system calls of the library.
// The test binary is linked with -Wl,--wrap=<call> for every call below, so
// the library's own calls land in this shim, which passes them through to
// the C library or fails one (or all from one on) of them on demand. The
// library itself has no hook for this.
//
// Disarmed, the shim only passes calls through. Armed, it counts every
// wrapped call and fails the chosen one with a plausible errno, and it can
// log what was called on which descriptor or path.

#ifndef VORLA_TESTS_FAULT_FAULT_SHIM_H_
#define VORLA_TESTS_FAULT_FAULT_SHIM_H_

#include <string>
#include <vector>

namespace vorla {
namespace fault {

// Kinds of intercepted calls; variants (open64, __open_2, fstatat...) are
// counted under their plain kind, and syncfs and fdatasync as fsync.
enum CallKind {
  CALL_OPEN,
  CALL_READ,
  CALL_WRITE,
  CALL_FSYNC,
  CALL_RENAME,
  CALL_UNLINK,
  CALL_REMOVE,
  CALL_STAT,
  CALL_LSTAT,
  CALL_FSTAT,
  CALL_SENDFILE,
  CALL_MKSTEMP,
  CALL_FCHMOD,
  CALL_CLOSE,
  CALL_FTRUNCATE,
  CALL_READLINK,
  CALL_REALPATH,
  CALL_ACCESS,
  CALL_FCNTL,
  CALL_MKDIR,
  CALL_LINK,
  CALL_KINDS
};

const char* kindName(CallKind kind);

struct LogEntry {
  CallKind kind;
  int fd;            // the descriptor used, or the one returned by open/mkstemp
  std::string path;  // the path argument, if any (rename, link: the source)
  std::string path2;  // rename and link: the target
  bool failed;        // whether the shim injected a failure into this call
};

// From now on, the `nth` wrapped call (1-based) fails; with `persistent`,
// every call after it fails as well. nth 0 arms counting and logging only.
void arm(long nth, bool persistent);
// Stops counting and failing. Returns the number of calls seen since arm().
long disarm();
// Whether a failure was injected since the last arm().
bool injected();
// While set, a rename that may not replace (RENAME_NOREPLACE) fails with
// EINVAL, as on a file system that cannot promise it, whether armed or
// not: the fallbacks behind it run, and meet the loop's faults.
void set_no_replace_unsupported(bool unsupported);
// Calls seen since the last arm(), per kind, and the log of them.
long callsOf(CallKind kind);
std::vector<LogEntry> log();

}  // namespace fault
}  // namespace vorla

#endif  // VORLA_TESTS_FAULT_FAULT_SHIM_H_
