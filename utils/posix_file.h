// SPDX-License-Identifier: MIT
// The system calls behind every file the library writes: an owned
// descriptor, whole writes, the version (identity) of a file, symbolic links
// followed as a save follows them, and the atomic replacement of a file.
// The rest of the library reaches the file system through here and through
// file_utils.h, so that a fault-injecting shim wraps few places.

#ifndef VORLA_UTILS_POSIX_FILE_H_
#define VORLA_UTILS_POSIX_FILE_H_

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace utils {

// Makes `call` (a system call wrapped in a lambda) again for as long as it
// fails with EINTR, and gives its result: a call that a signal handler
// interrupted before it did anything is simply made again. Never for close:
// Linux releases the descriptor even when close reports EINTR, so a second
// close could close a descriptor that another thread has opened meanwhile
// under the same number (OwnedFd::close calls it once).
template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// A file descriptor that one object owns and closes when it goes.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int owned) : fd(owned) {}
  ~OwnedFd();

  OwnedFd(OwnedFd&& other) noexcept : fd(other.fd) { other.fd = -1; }
  OwnedFd& operator=(OwnedFd&& other) noexcept;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int get() const { return fd; }
  bool valid() const { return fd >= 0; }
  // Closes the descriptor now. False when close reports an error, which is
  // where some file systems report a failed write.
  bool close();

 private:
  int fd = -1;
};

// Writes all of `data` to `fd`, or throws "cannot write file" naming
// `path`, the file that `fd` writes, with the write's errno (ENOSPC for a
// write that stored nothing).
void write_all(int fd, const char* data, size_t size, const std::string& path);

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

// Opens the regular file that `path` leads to (links followed) for reading,
// closed on exec. Anything else is refused at once, before it is opened
// when the name shows it and by descriptor after, so that a FIFO or a
// device never blocks the caller or acts: -1 with errno EISDIR for a
// directory and 0 for another file that is not a regular one; -1 with the
// errno of the failed call otherwise.
int open_regular(const std::string& path);
// The same for the file `name` of the directory `dirfd` (AT_FDCWD: the
// working directory).
int open_regular_at(int dirfd, const std::string& name);

// The identity of the open file `fd`; false when it cannot be read.
bool identity_of(int fd, FileIdentity* id);

// The identity of the file that `path` leads to, links followed; a path
// that leads to nothing gives `exists` false. False when the answer cannot
// be known (any failure but a missing file).
bool identity_at(const std::string& path, FileIdentity* id);
// The same for the file `name` in the directory open as `dirfd`.
bool identity_at(int dirfd, const std::string& name, FileIdentity* id);

// The path of the file that `path` names once the symbolic links of its
// last component are followed, as a save that keeps links must replace
// it. A path that leads to nothing is its own target. False when a link
// cannot be read, links lead on too long, or the answer cannot be known.
bool follow_links(const std::string& path, std::string* target);

// The directory part of `path` for the system, only "/" separating: "."
// when there is none, "/" for a name just below the root.
std::string directory_part(const std::string& path);

// The last component of `path`, after its last "/".
std::string name_part(const std::string& path);

// Opens the directory `dir` read only, closed on exec; -1 when it cannot be
// opened.
int open_directory(const std::string& dir);

// Opens the directory `dir` as a place only (O_PATH), closed on exec: it
// names the directory for the *at calls, however it is reached later,
// and needs no read permission. -1 when it cannot be opened.
int pin_directory(const std::string& dir);

// Opens the directory that `dirfd` names (a pinned one too) again, read
// only, as a new open file description; -1 when it cannot be opened.
int reopen_directory(int dirfd);

// One entry of a directory listing.
struct DirEntry {
  std::string name;
  uint64_t ino = 0;
  bool isDir = false;  // a directory itself, not a link to one
};

// Lists the entries of the directory `dir`, "." and ".." left out, in the
// order the system gives them, and the device the directory lies on. False,
// with errno set, when it cannot be opened or read.
bool list_directory(const std::string& dir, std::vector<DirEntry>* entries,
                    uint64_t* device);

// Flushes the directory `dir` to disk, so that the names created, renamed
// or removed in it survive a power cut. False, with errno set, when it
// cannot be opened or flushed.
bool sync_directory(const std::string& dir);

// Creates the directory `dir` (mode 0777, narrowed by the umask) and
// flushes its parent, so that the new directory survives a power cut
// before anything is put in it. False, with errno set, when it cannot be
// created (EEXIST when something stands there already) or its parent
// cannot be flushed; a directory made whose parent could not be flushed
// stays.
bool make_directory_durable(const std::string& dir);

// The one directory maker of the library and its users: makes `dir` when
// nothing stands there, and with `parents` the missing directories above it
// too, each made as make_directory_durable makes it, outermost first. True
// when `dir` is a directory now, found or made (one that another process
// makes at the same moment is found); false, with errno, otherwise:
// ENOTDIR when something other than a directory stands at `dir` or above
// it, ENOENT for a missing parent without `parents`. Directories made
// before a failure stay.
bool make_directories(const std::string& dir, bool parents);

// Flushes the files `names` of the directory `dir` to disk, content and
// size: from 32 files on, where syncfs reports writeback errors (Linux 5.8
// and later), with one syncfs of the file system that holds `dir`; else in
// batches, writeback of a whole batch started first and then each file of
// it flushed, so that the disk works on many files at once. The directory
// itself is not flushed by the batches. A name at which nothing stands, or
// a symbolic link, is passed over (its target is not this directory's to
// keep), and so is a file that cannot be flushed because it is not a
// regular file. False, with errno set and the path in `failed`, when a
// file cannot be opened or flushed.
bool sync_files(const std::string& dir, const std::vector<std::string>& names,
                std::string* failed);

// Replaces the file that `path` leads to (symbolic links followed, so that
// a link stays and its target gets the new content) with what `fill`
// writes into the descriptor it is given, atomically: the content goes to
// a new file `temp_prefix` + six characters beside the target, created
// with mode 0666 for the kernel to narrow by the umask, is flushed to disk
// and renamed over the target, and the directory is flushed. A replaced
// file keeps its mode and, where the process may, its owner.
//
// Only a regular file that the caller may write is replaced. Every step
// that can fail comes before the rename, and throws "cannot write file"
// (so does `fill`, through write_all) with the former file as it was and
// the temporary file removed; the error names `path` and carries the errno
// of the call that failed (EISDIR for a directory, 0 for another file that
// is not a regular one). Once the new file is in place the call succeeds.
// Returns the new file's identity, taken just before the rename. When
// `dir_synced` is set it tells whether the directory was flushed after the
// rename, that is whether the new file is known to survive a power cut.
FileIdentity replace_file(const std::string& path,
                          const std::string& temp_prefix,
                          const std::function<void(int fd)>& fill,
                          bool* dir_synced = nullptr);

// The same for the file `name` of the directory `dirfd` (a pinned one
// too), which the replacement reaches through that descriptor alone, so
// that a changed working directory or a re-pointed link to the directory
// changes nothing: `name` is not followed again, and the directory is
// flushed through `syncfd`, a read-only descriptor of the same directory.
// Errors name `path`. With `kept` set, the new file stays open there, so
// that its inode cannot be handed out again while it is kept; with
// `dir_synced` set, it says whether the directory's flush succeeded.
FileIdentity replace_file_at(int dirfd, const std::string& name, int syncfd,
                             const std::string& path,
                             const std::string& temp_prefix,
                             const std::function<void(int fd)>& fill,
                             OwnedFd* kept, bool* dir_synced = nullptr);

}  // namespace utils

#endif  // VORLA_UTILS_POSIX_FILE_H_
