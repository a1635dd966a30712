// The writer lock of a workspace, shared by the workspace objects of one
// process, and the check that keeps a workspace object from saving an image
// of its index file that another process has since replaced.
//
// The lock of a workspace is the lock slot (utils/file_lock.h) of its index
// file's name in the directory that holds the index file, links followed as
// a save follows them. It is an open-file-description lock: the kernel drops
// it when the process ends, however it ends, and no file is created for it.
// Two workspaces, even in one folder, have slots of their own.
//
// Within one process the lock is shared: a process-wide table, keyed by the
// directory (device and inode) and the index file's name, counts the holders
// of each workspace and keeps one descriptor for all of them. Workspace
// objects of one process never conflict with each other.
//
// Stale images. A workspace object remembers the identity of its index file
// (utils::FileIdentity) as it last read or wrote it. The table follows, per
// workspace, a lineage: the versions of the index file that followed each
// other with no other process writing in between. It starts at the version
// found on disk when this process takes the lock and that version is not the
// one it last knew; every version the process then writes joins it. An
// object whose image belongs to the current lineage may write (so objects of
// one process save in turn, the last save winning, as they always have); an
// object whose image is older than the lineage's start would save over
// another process's work, and fails with "changed on disk".
//
// Thread safety: the table is locked inside; a WriterLock object, like its
// workspace, is used by one thread at a time.

#ifndef VORLA_WORKSPACE_WRITER_LOCK_H_
#define VORLA_WORKSPACE_WRITER_LOCK_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "utils/file_lock.h"
#include "workspace/error.h"

namespace vorla {

// A failure caused by another process: it holds the workspace's writer lock
// ("workspace in use", code WORKSPACE_IN_USE), or it saved the index file
// after this workspace object read it ("changed on disk", CHANGED_ON_DISK).
// Nothing was changed; reload (after a "changed on disk") and try again.
// `path()` is the index file.
class WriterConflict : public Error {
 public:
  enum Kind { IN_USE, CHANGED_ON_DISK };

  WriterConflict(Kind kind, long holder, const std::string& index);

  Kind kind() const { return which; }
  // For IN_USE, the process id of the holder as its own namespace sees it;
  // 0 when it is not known.
  long holder() const { return pid; }

 private:
  Kind which;
  long pid;
};

struct WriterEntry;

// The writer lock as one holder sees it: the lock of one workspace, held or
// not, and the identity of the index file as this holder last read or wrote
// it. SpaceMan keeps one; a program (or the tool) that wants no other
// process to change a workspace between its load and its save holds one
// around both.
class WriterLock {
 public:
  WriterLock();
  // Gives the lock back.
  ~WriterLock();

  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  // How long to wait for another process's lock before "workspace in use";
  // 0, the default, fails at once. Longer waits than kMaxWait (about 31
  // years, still a deadline the clock can hold) wait that long.
  static constexpr double kMaxWait = 1e9;
  void setWait(double seconds) {
    wait = seconds > 0 ? (seconds < kMaxWait ? seconds : kMaxWait) : 0;
  }
  double getWait() const { return wait; }

  // Takes the lock of the workspace whose index file is `index` (giving
  // back the one held before), without comparing the file with anything:
  // for a caller that will load the workspace next. Throws WriterConflict
  // (IN_USE) or "cannot write file" when the lock cannot be taken at all
  // (the index file's directory cannot be opened, a lock call fails).
  void hold(const std::string& index);
  // Gives the lock back, if one is held.
  void release();
  bool held() const { return entry != nullptr; }

  // For workspace objects. `loaded` tells that the object now holds the
  // image of the file whose identity is `seen`; with `same` (the file of the
  // workspace it already worked on) a lock held is kept, otherwise it is
  // given back.
  void loaded(const utils::FileIdentity& seen, bool same);
  // Before a writing operation on the workspace of `index`: takes the lock
  // unless held and checks that the object's image is not stale. Throws
  // WriterConflict or "cannot write file"; nothing for an empty `index`.
  void ensure(const std::string& index);
  // Whether the lock is held and the image current, so that ensure() would
  // do nothing.
  bool current() const;

  class Claim;
  class Saving;

 private:
  std::shared_ptr<WriterEntry> entry;  // null when not held
  utils::FileIdentity seen;
  uint64_t lineage;  // the lineage `seen` belongs to; 0 when not known
  double wait;
};

// For init, which replaces the index file whatever it holds: takes the lock
// of `index` for `lock` at once, with no check against the image, and puts
// the former lock aside. Dropped without commit(), the former one comes
// back; committed, the former one is given back.
class WriterLock::Claim {
 public:
  Claim(WriterLock& lock, const std::string& index);
  ~Claim();

  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

  void commit() { committed = true; }

 private:
  WriterLock& owner;
  std::shared_ptr<WriterEntry> former;
  utils::FileIdentity formerSeen;
  uint64_t formerLineage;
  bool committed;
};

// For save: holds, from construction to destruction, the lock that a save of
// `file` needs. When `file` is the workspace's own index file `mainfile`,
// that is the object's lock, taken as ensure() takes it; any other file is
// locked for the save alone, and may be replaced whatever it holds.
class WriterLock::Saving {
 public:
  Saving(WriterLock& lock, const std::string& file,
         const std::string& mainfile);
  // Records `written`, if set, as the version this process wrote.
  ~Saving();

  Saving(const Saving&) = delete;
  Saving& operator=(const Saving&) = delete;

  // Set by the save once the new file is in place: the identity it had
  // just before it was renamed there.
  utils::FileIdentity written;

 private:
  WriterLock& owner;
  std::shared_ptr<WriterEntry> target;
  bool own;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_WRITER_LOCK_H_
