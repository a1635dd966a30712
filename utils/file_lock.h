// POSIX plumbing for locks between processes: the identity of one version
// of a file, and exclusive lock slots kept as open-file-description locks
// on a directory.
//
// A slot is a byte range of a directory, so that many files of one folder
// can each have a lock of their own without any file being created. The
// kernel lets only read locks be placed on a directory (a write lock needs a
// descriptor open for writing), so a slot is taken in two steps: place a
// read lock on the slot's first byte, then ask the kernel whether another
// open file description holds one there too. Of two processes that try at
// once, at least one sees the other and steps back, so no two ever hold a
// slot; both may step back, and then both try again. The holder also places
// a read lock on the byte that lies its process id past the slot's first
// byte, so that others can learn who holds it.
//
// Open-file-description locks belong to the descriptor, not to the process:
// two descriptors of one process conflict like two processes do, closing
// another descriptor of the same directory releases nothing, a child made by
// fork shares its parent's locks, and the kernel drops them when the last
// descriptor of the description is closed, at the latest when the process
// ends. On a network file system, locks on a directory order the processes
// of one machine only.

#ifndef VORLA_UTILS_FILE_LOCK_H_
#define VORLA_UTILS_FILE_LOCK_H_

#include <cstdint>
#include <string>

namespace utils {

// One version of a file: device, inode, size and modification time in
// nanoseconds. An atomic replacement gives the new version a new inode; a
// rewrite in place changes its modification time. The change time is left
// out because renaming a file changes it, and a version is recorded just
// before it is renamed into place.
struct FileIdentity {
  bool exists = false;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;

  bool operator==(const FileIdentity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino &&
           size == o.size && mtime_ns == o.mtime_ns;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// The identity of the open file `fd`; false when it cannot be read.
bool identity_of(int fd, FileIdentity* id);

// The identity of the file that `path` leads to, links followed; a path
// that leads to nothing gives `exists` false. False when the answer cannot
// be known (any failure but a missing file).
bool identity_at(const std::string& path, FileIdentity* id);

// The path of the file that `path` names once the symbolic links of its
// last component are followed, as a save that keeps links must replace
// it. A path that leads to nothing is its own target. False when a link
// cannot be read or links lead on too long.
bool follow_links(const std::string& path, std::string* target);

// The directory part of `path` for the system, only "/" separating: "."
// when there is none.
std::string directory_part(const std::string& path);

// The last component of `path`, after its last "/".
std::string name_part(const std::string& path);

// Opens the directory `dir` for locking (read only, closed on exec); -1
// when it cannot be opened.
int open_directory(const std::string& dir);

// The offset of the lock slot of the file named `name` in its directory: a
// fixed 64-bit hash of the name's bytes (FNV-1a) cut to 40 bits, times 2^23,
// so that each slot has room for every process id after its first byte.
// Every process computes the same slot for the same name.
uint64_t slot_of(const std::string& name);

enum class SlotTry {
  TAKEN,      // the slot is now held through `fd`
  HELD,       // another description holds it; `holder` names its process
  CONTENDED,  // another description holds it or is trying at the same
              // moment, and no process id is placed: try again shortly
  FAILED      // a lock call failed; errno says why
};

// Tries once to take the slot at `slot` through the directory descriptor
// `fd`, which must hold no lock at that slot yet. On HELD, `holder` is the
// holder's process id as its own namespace sees it. Nothing is left locked
// unless the slot was taken.
SlotTry try_slot(int fd, uint64_t slot, long* holder);

// The process id of the holder of the slot as seen through `fd` (any
// descriptor that holds no lock there): 0 when nobody has placed one, -1
// when the kernel cannot be asked.
long slot_holder(int fd, uint64_t slot);

}  // namespace utils

#endif  // VORLA_UTILS_FILE_LOCK_H_
