// SPDX-License-Identifier: MIT
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
// Rules, each kept by the code named:
// (1) A workspace object writes only the file it loaded or inited, in the
//     directory it found then: load and init pin that directory (an open
//     descriptor, links of the file's last component followed once, then),
//     and the lock and every save go through it (WriterLock::pin, Saving).
//     A changed working directory or a re-pointed link to the directory
//     changes nothing.
// (2) A process made by fork never writes with its parent's lock. In the
//     child the table forgets every entry (its copies of their descriptors
//     closed, so that the lock ends with the parent), and a workspace
//     object inherited from the parent takes the lock afresh, as another
//     process would (after_fork_child).
// (3) A save never writes over a version it did not read: before each save
//     of an object that holds the lock, the file on disk is compared once
//     with the version this process knows as its latest (Saving).
// (4) Versions are told apart by device, inode, size and modification time,
//     and an object keeps the version it read or last wrote open, so that
//     its inode cannot be handed out to a later version while the object
//     lives: a replacement can never look like the version an object holds.
//     The latest version of a lineage stays open while the lock is held or
//     an object of the lineage lives, and no longer: a process keeps no
//     descriptor for a workspace it is done with.
//
// Stale images. A workspace object remembers the identity of its index file
// (utils::FileIdentity) as it last read or wrote it. The table follows, per
// workspace, a lineage: the versions of the index file that followed each
// other with no other process writing in between. It starts at the version
// found on disk when this process takes the lock and that version is not the
// one it last knew, or when a save finds on disk a version it does not know;
// every version the process then writes joins it. An object whose image
// belongs to the current lineage may write (so objects of one process save
// in turn, the last save winning, as they always have); an object whose
// image is older than the lineage's start would save over another process's
// work, and fails with "changed on disk".
//
// Thread safety: the table is locked inside, and made sound again in a
// child made by fork whichever thread held its mutex; a WriterLock object,
// like its workspace, is used by one thread at a time.

#ifndef VORLA_WORKSPACE_WRITER_LOCK_H_
#define VORLA_WORKSPACE_WRITER_LOCK_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "utils/file_lock.h"
#include "workspace/error.h"

namespace vorla {

struct WriterEntry;
struct WriterLineage;

// Where a workspace's index file lives: its directory, pinned (opened as a
// place, utils::pin_directory), and the file's name in it, with the
// symbolic links of the file's last component followed.
struct IndexPlace {
  utils::OwnedFd dir;
  std::string name;
  uint64_t dev = 0;
  uint64_t ino = 0;

  bool valid() const { return dir.valid(); }
  bool operator==(const IndexPlace& o) const {
    return dev == o.dev && ino == o.ino && name == o.name;
  }
};

// Finds and pins the place of `index`; false, with errno, when a link
// cannot be followed or the directory cannot be opened.
bool pin_index(const std::string& index, IndexPlace* place);

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
  // Whether the lock is held; never one inherited through fork.
  bool held() const;

  // For workspace objects. `loaded` tells that the object now holds the
  // image, read from `place`, of the file whose identity is `seen` and that
  // `version` keeps open. A lock held is kept when `place` is the pinned
  // one, otherwise given back; `place` becomes the pinned one.
  void loaded(IndexPlace place, const utils::FileIdentity& seen,
              utils::OwnedFd version);
  // Before a writing operation on the pinned workspace (`index`, its path
  // as the caller gave it, names it in errors): takes the lock unless held
  // and checks that the object's image is not stale. Throws WriterConflict
  // or "cannot write file"; nothing when no workspace is pinned.
  void ensure(const std::string& index);
  // Whether the lock is held and the image current, so that ensure() would
  // do nothing.
  bool current() const;
  // Whether `file` is the pinned workspace's index file (the same name in
  // the same directory, links followed); false when that cannot be told.
  bool pinnedAt(const std::string& file) const;

  class Claim;
  class Saving;

  // A version of an index file kept open; shared by the objects that hold
  // it and the table.
  typedef std::shared_ptr<utils::OwnedFd> Version;

 private:
  // Drops an entry inherited through fork, which holds nothing here.
  void forgetInherited();
  // ensure(), telling whether the lock was taken just now.
  bool take(const std::string& index);
  // With the lock held: compares the file on disk with the latest version
  // this process knows, starting a new lineage when it differs, and throws
  // "changed on disk" when the image is not of the current lineage.
  void check(const std::string& index);

  std::shared_ptr<WriterEntry> entry;  // null when not held
  IndexPlace pin;                      // invalid until loaded or claimed
  utils::FileIdentity seen;
  Version version;  // the version `seen`, kept open (rule 4)
  std::shared_ptr<WriterLineage> line;  // `lineage`'s shared part
  uint64_t lineage;  // the lineage `seen` belongs to; 0 when not known
  double wait;
};

// For init, which replaces the index file whatever it holds: pins `index`
// and takes its lock for `lock` at once, with no check against the image,
// and puts the former pin and lock aside. Dropped without commit(), the
// former ones come back; committed, the former lock is given back.
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
  IndexPlace formerPin;
  utils::FileIdentity formerSeen;
  Version formerVersion;
  std::shared_ptr<WriterLineage> formerLine;
  uint64_t formerLineage;
  bool committed;
};

// For save: holds, from construction to destruction, the lock that a save of
// `file` needs, and says where to write. With `own`, `file` is the pinned
// workspace's index file: the object's lock, taken as ensure() takes it,
// and the file on disk compared with the latest version this process knows
// (rule 3). Any other file is locked for the save alone, and may be replaced
// whatever it holds.
class WriterLock::Saving {
 public:
  Saving(WriterLock& lock, const std::string& file, bool own);
  // Records `written`, if set, as the version this process wrote.
  ~Saving();

  Saving(const Saving&) = delete;
  Saving& operator=(const Saving&) = delete;

  // The directory to write in (a read-only descriptor of it, which may be
  // flushed too) and the file's name there.
  int directory() const;
  const std::string& name() const { return targetName; }

  // Set by the save once the new file is in place: the identity it had
  // just before it was renamed there, and the file kept open.
  utils::FileIdentity written;
  utils::OwnedFd kept;

 private:
  WriterLock& owner;
  std::shared_ptr<WriterEntry> target;
  std::string targetName;
  bool own;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_WRITER_LOCK_H_
