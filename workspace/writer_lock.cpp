// SPDX-License-Identifier: MIT
// The process-wide table of writer locks and the lineages of index files.
//
// What a holder sees is stated as rules (1) to (4) in writer_lock.h. The
// table keeps these, each named in the tests (WriterLockRules):
// (5) One entry per workspace, keyed by the directory's device and inode
//     and the index file's name; an entry stays while the process lives, so
//     that a lineage goes on when the process takes the lock again. Only a
//     child made by fork forgets them (rule 2).
// (6) The kernel's lock slot is held exactly while an entry has holders:
//     the first holder takes it through a descriptor of the entry's own,
//     the last one to give it back closes that descriptor, which ends the
//     lock. A failed take leaves the entry with no holder and no
//     descriptor.
// (7) At most one thread asks the kernel for an entry's slot at a time
//     (`acquiring`); the others wait on the table's condition variable for
//     the outcome, then share the slot or try again themselves.
// (8) Lock order: the table's mutex is the only lock of this unit, and no
//     other lock is taken while it is held. It is never held across a call
//     that may wait: the slot is taken with it let go (acquire), and the
//     only file opened under it is opened without blocking (open_version).
//     fork takes it before it copies the process, so that the child's copy
//     of the table is whole, whichever thread held it.

#include "workspace/writer_lock.h"

#include <fcntl.h>   // openat
#include <signal.h>  // kill, to tell whether a holder is alive
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "utils/file_lock.h"

#include <pthread.h>  // pthread_atfork

namespace vorla {

// One workspace's lock in this process. The key fields never change; the
// rest is guarded by the table's mutex, and `lineage` may also be read
// without it.
struct WriterEntry {
  uint64_t dev = 0;
  uint64_t ino = 0;
  std::string name;
  uint64_t slot = 0;

  utils::OwnedFd fd;  // the directory descriptor that holds the slot
  int holders = 0;
  bool acquiring = false;  // a thread is taking the slot, the mutex let go
  int pendingFd = -1;      // the descriptor it takes the slot through
  int saving = 0;          // saves of the workspace's own file under way
  // Set in a child made by fork, on every entry the parent had: the entry
  // holds nothing there, and the table no longer lists it. Written only
  // while the child has a single thread.
  bool inherited = false;

  // The lineage: its number, the version it started from and the latest
  // version (the one on disk while the lock is held). `known` is false
  // until this process has seen the file with the lock held.
  bool known = false;
  utils::FileIdentity base;
  utils::FileIdentity last;
  // The lineage's shared part, held while the lock is (and by every
  // object of the lineage); `idle` follows it once the lock is given back,
  // so that it ends with the last object of the lineage.
  std::shared_ptr<WriterLineage> line;
  std::weak_ptr<WriterLineage> idle;
  std::atomic<uint64_t> lineage{0};
};

// What the objects of one lineage share: its latest version, kept open
// (rule 4) when it could be opened, so that a later version can never take
// its inode and pass for it while anybody could still write in the lineage.
struct WriterLineage {
  WriterLock::Version last;
};

namespace {

// How often to try again at once when another process was taking the slot
// at the same moment, before counting it as held.
const int kContendedTries = 8;

// The lock of `index` cannot be placed or taken; errno says why, when a
// system call failed.
[[noreturn]] void throw_write_error(const std::string& index) {
  throw Error(Error::CANNOT_WRITE_FILE, index, errno);
}

// Every entry this process has used. Entries stay after their lock is given
// back, so that a lineage continues when the same process takes the lock
// again and finds the version it last wrote. Never destroyed: workspace
// objects with static storage give their locks back at exit.
struct Table {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::shared_ptr<WriterEntry> > entries;
  uint64_t lineages = 0;

  static Table& get() {
    static Table* table = make();
    return *table;
  }

 private:
  static Table* make();
};

// fork: the forking thread takes the mutex, so that the child's copy of the
// table is whole; the parent lets go again.
void before_fork() { Table::get().mu.lock(); }
void after_fork_parent() { Table::get().mu.unlock(); }

// In the child, the only thread: the entries are the parent's, and so are
// the locks their descriptors hold. The child closes its copies (the lock
// then ends with the parent) and forgets the entries, so that its workspace
// objects take the lock afresh. Threads that waited for the condition
// variable in the parent are gone; it is made anew.
void after_fork_child() {
  Table& t = Table::get();
  for (const std::shared_ptr<WriterEntry>& e : t.entries) {
    e->inherited = true;
    e->fd.close();
    // A thread of the parent that was taking the slot did it through this
    // descriptor; it is not there to close it.
    if (e->pendingFd >= 0) ::close(e->pendingFd);
    e->pendingFd = -1;
    e->holders = 0;
    e->acquiring = false;
  }
  t.entries.clear();
  new (&t.cv) std::condition_variable();
  t.mu.unlock();
}

Table* Table::make() {
  Table* table = new Table;
  ::pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  return table;
}

// A holder's process id as try_slot reports it, or 0 when that process is
// gone: a lock kept by a descriptor that a child inherited names a parent
// that may have ended.
long live_holder(long pid) {
  if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
    return 0;
  return pid;
}

// Pins the place of `index`; throws "cannot write file" when that fails.
void pin_or_throw(const std::string& index, IndexPlace* place) {
  if (!pin_index(index, place)) throw_write_error(index);
}

// Takes the slot through `fd`, waiting up to `wait` seconds for a holder.
void take_slot(int fd, uint64_t slot, double wait, const std::string& index) {
  typedef std::chrono::steady_clock Clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(wait));
  // Two processes that stepped back from each other must not try again in
  // step.
  std::minstd_rand jitter(
      static_cast<unsigned>(::getpid()) ^
      static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  std::chrono::microseconds pause(2000);
  int contended = 0;
  for (;;) {
    long holder = 0;
    switch (utils::try_slot(fd, slot, &holder)) {
      case utils::SlotTry::TAKEN:
        return;
      case utils::SlotTry::FAILED:
        throw_write_error(index);
        break;
      case utils::SlotTry::CONTENDED:
        if (++contended <= kContendedTries) {
          std::this_thread::sleep_for(
              std::chrono::microseconds(50 + jitter() % 1000));
          continue;
        }
        break;
      case utils::SlotTry::HELD:
        break;
    }
    contended = 0;
    const Clock::time_point now = Clock::now();
    if (now >= deadline)
      throw WriterConflict(WriterConflict::IN_USE, live_holder(holder), index);
    std::this_thread::sleep_for(std::min<Clock::duration>(
        pause + std::chrono::microseconds(jitter() % 1000), deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds(100000));
  }
}

// Becomes one more holder of the lock at `place`, taking the slot from the
// kernel when this process holds it not yet, through a new description of
// the pinned directory. `index` names the workspace in errors.
std::shared_ptr<WriterEntry> acquire(const IndexPlace& place,
                                     const std::string& index, double wait) {
  Table& t = Table::get();
  std::unique_lock<std::mutex> guard(t.mu);
  std::shared_ptr<WriterEntry> e;
  for (const std::shared_ptr<WriterEntry>& x : t.entries) {
    if (x->dev == place.dev && x->ino == place.ino && x->name == place.name) {
      e = x;
      break;
    }
  }
  if (!e) {
    e = std::make_shared<WriterEntry>();
    e->dev = place.dev;
    e->ino = place.ino;
    e->name = place.name;
    e->slot = utils::slot_of(place.name);
    t.entries.push_back(e);
  }
  t.cv.wait(guard, [&e] { return !e->acquiring; });
  if (e->holders > 0) {
    ++e->holders;
    return e;
  }
  utils::OwnedFd fd(utils::reopen_directory(place.dir.get()));
  if (!fd.valid()) throw_write_error(index);
  // The slot is taken with the mutex let go, since it may wait; other
  // threads that want this workspace wait for the outcome.
  e->acquiring = true;
  e->pendingFd = fd.get();
  guard.unlock();
  struct Settle {
    Table& t;
    WriterEntry& e;
    ~Settle() {
      std::lock_guard<std::mutex> relock(t.mu);
      e.acquiring = false;
      e.pendingFd = -1;
      t.cv.notify_all();
    }
  };
  {
    Settle settle{t, *e};
    take_slot(fd.get(), e->slot, wait, index);
    std::lock_guard<std::mutex> relock(t.mu);
    e->fd = std::move(fd);
    e->holders = 1;
  }
  return e;
}

void give_back(const std::shared_ptr<WriterEntry>& e) {
  if (!e || e->inherited) return;
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  if (--e->holders == 0) {
    // Closing the description's last descriptor drops the slot: children
    // made by fork closed their copies.
    e->fd.close();
    e->idle = e->line;
    e->line.reset();
  }
}

// A holder count given back on destruction unless kept.
class Hold {
 public:
  explicit Hold(std::shared_ptr<WriterEntry> e) : entry(std::move(e)) {}
  ~Hold() { give_back(entry); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  std::shared_ptr<WriterEntry> keep() { return std::move(entry); }
  WriterEntry& operator*() const { return *entry; }

 private:
  std::shared_ptr<WriterEntry> entry;
};

// Under the table's mutex, with the lock held: the index file is now `cur`.
// A version that this process does not know as its latest starts a new
// lineage.
void observe(Table& t, WriterEntry& e, const utils::FileIdentity& cur,
             const WriterLock::Version& open) {
  if (!e.line) e.line = e.idle.lock();
  // The latest version is trusted only while the lineage keeps it open: a
  // version that nobody holds may have given its inode to a later one.
  if (e.known && e.line && cur == e.last) return;
  e.known = true;
  e.base = cur;
  e.last = cur;
  e.line = std::make_shared<WriterLineage>();
  e.line->last = open;
  e.lineage = ++t.lineages;
}

// The version of the file `name` in `dir` now, kept open when it can be
// opened (a file that cannot be read is only looked at). Throws "cannot
// write file", naming `index`, when it cannot even be looked at.
WriterLock::Version open_version(int dir, const std::string& name,
                                 const std::string& index,
                                 utils::FileIdentity* id) {
  // Never blocks, not even on a FIFO.
  utils::OwnedFd fd(::openat(dir, name.c_str(),
                             O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.valid() && utils::identity_of(fd.get(), id))
    return std::make_shared<utils::OwnedFd>(std::move(fd));
  if (!utils::identity_at(dir, name, id)) throw_write_error(index);
  return nullptr;
}

// Takes the lock of the workspace at `place` and notes the version on disk.
// When that is `seen`, which the caller keeps open as `mine`, the caller's
// descriptor keeps it for the table too.
std::shared_ptr<WriterEntry> acquire_at(
    const IndexPlace& place, const std::string& index, double wait,
    const utils::FileIdentity& seen = utils::FileIdentity(),
    const WriterLock::Version& mine = nullptr) {
  Hold hold(acquire(place, index, wait));
  utils::FileIdentity cur;
  WriterLock::Version open;
  if (mine && mine->valid()) {
    if (!utils::identity_at(place.dir.get(), place.name, &cur))
      throw_write_error(index);
    if (cur == seen) open = mine;
  }
  if (!open) open = open_version(place.dir.get(), place.name, index, &cur);
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  observe(t, *hold, cur, open);
  return hold.keep();
}

}  // namespace

bool pin_index(const std::string& index, IndexPlace* place) {
  std::string target;
  if (!utils::follow_links(index, &target)) return false;
  utils::OwnedFd dir(utils::pin_directory(utils::directory_part(target)));
  if (!dir.valid()) return false;
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) return false;
  place->dir = std::move(dir);
  place->name = utils::name_part(target);
  place->dev = static_cast<uint64_t>(st.st_dev);
  place->ino = static_cast<uint64_t>(st.st_ino);
  return true;
}

WriterConflict::WriterConflict(Kind kind, long holder, const std::string& index)
    : Error(kind == IN_USE ? Error::WORKSPACE_IN_USE : Error::CHANGED_ON_DISK,
            index),
      which(kind),
      pid(kind == IN_USE ? holder : 0) {}

WriterLock::WriterLock() : lineage(0), wait(0) {}

WriterLock::~WriterLock() { release(); }

void WriterLock::forgetInherited() {
  if (entry && entry->inherited) entry.reset();
}

bool WriterLock::held() const { return entry && !entry->inherited; }

void WriterLock::release() {
  give_back(entry);
  entry.reset();
}

void WriterLock::hold(const std::string& index) {
  Claim claim(*this, index);
  claim.commit();
}

bool WriterLock::current() const {
  return held() && lineage == entry->lineage.load();
}

bool WriterLock::pinnedAt(const std::string& file) const {
  std::string target;
  if (!pin.valid() || !utils::follow_links(file, &target) ||
      utils::name_part(target) != pin.name)
    return false;
  struct stat st;
  return ::stat(utils::directory_part(target).c_str(), &st) == 0 &&
         static_cast<uint64_t>(st.st_dev) == pin.dev &&
         static_cast<uint64_t>(st.st_ino) == pin.ino;
}

void WriterLock::loaded(IndexPlace place, const utils::FileIdentity& now,
                        utils::OwnedFd kept) {
  forgetInherited();
  if (!pin.valid() || !(place == pin)) release();
  pin = std::move(place);
  Version open = std::make_shared<utils::OwnedFd>(std::move(kept));
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  seen = now;
  version = open;
  if (entry) {
    // With the lock held, only a writer that ignores it can have changed
    // the file; what was just read is the newest version all the same.
    observe(t, *entry, now, open);
    lineage = entry->lineage;
    line = entry->line;
    return;
  }
  // The version this process wrote last, read back: the image belongs to
  // that lineage.
  lineage = 0;
  line.reset();
  for (const std::shared_ptr<WriterEntry>& e : t.entries) {
    if (!e->known || e->last != now) continue;
    std::shared_ptr<WriterLineage> l = e->line ? e->line : e->idle.lock();
    if (!l) {
      // Nobody kept the lineage: it starts again at the version just read,
      // kept open by this object.
      l = std::make_shared<WriterLineage>();
      l->last = open;
      e->base = now;
      e->idle = l;
    }
    lineage = e->lineage;
    line = std::move(l);
    break;
  }
}

void WriterLock::ensure(const std::string& index) { take(index); }

bool WriterLock::take(const std::string& index) {
  if (!pin.valid()) return false;
  forgetInherited();
  if (entry) {
    if (lineage != entry->lineage.load())
      throw WriterConflict(WriterConflict::CHANGED_ON_DISK, 0, index);
    return false;
  }
  Hold hold(acquire_at(pin, index, wait, seen, version));
  Table& t = Table::get();
  {
    std::lock_guard<std::mutex> guard(t.mu);
    const WriterEntry& e = *hold;
    if (lineage != e.lineage && seen != e.base && seen != e.last)
      throw WriterConflict(WriterConflict::CHANGED_ON_DISK, 0, index);
    lineage = e.lineage;
    line = e.line;
  }
  entry = hold.keep();
  return true;
}

void WriterLock::check(const std::string& index) {
  utils::FileIdentity cur;
  if (!utils::identity_at(pin.dir.get(), pin.name, &cur))
    throw_write_error(index);
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  WriterEntry& e = *entry;
  // While another thread of this process saves, the file may be its new
  // one, not yet recorded; that save checked the file before it wrote.
  if (cur != e.last && e.saving == 0) {
    // Written by something that ignores the lock: a new lineage, which no
    // image of this process belongs to.
    Version open = open_version(pin.dir.get(), pin.name, index, &cur);
    observe(t, e, cur, open);
  }
  if (lineage != e.lineage.load())
    throw WriterConflict(WriterConflict::CHANGED_ON_DISK, 0, index);
}

WriterLock::Claim::Claim(WriterLock& lock, const std::string& index)
    : owner(lock), formerLineage(0), committed(false) {
  IndexPlace place;
  pin_or_throw(index, &place);
  std::shared_ptr<WriterEntry> e = acquire_at(place, index, lock.wait);
  owner.forgetInherited();
  former = std::move(owner.entry);
  formerPin = std::move(owner.pin);
  formerVersion = std::move(owner.version);
  formerLine = std::move(owner.line);
  formerSeen = owner.seen;
  formerLineage = owner.lineage;
  owner.pin = std::move(place);
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  owner.seen = e->last;
  owner.version = e->line->last;
  owner.line = e->line;
  owner.lineage = e->lineage;
  owner.entry = std::move(e);
}

WriterLock::Claim::~Claim() {
  if (committed) {
    give_back(former);
    return;
  }
  give_back(owner.entry);
  owner.entry = std::move(former);
  owner.pin = std::move(formerPin);
  owner.version = std::move(formerVersion);
  owner.line = std::move(formerLine);
  owner.seen = formerSeen;
  owner.lineage = formerLineage;
}

WriterLock::Saving::Saving(WriterLock& lock, const std::string& file, bool mine)
    : owner(lock), own(mine && lock.pin.valid()) {
  if (own) {
    // Rule 3: one look at the file on disk per save, unless the lock was
    // taken just now, which looked already.
    if (!owner.take(file)) owner.check(file);
    target = owner.entry;
    targetName = owner.pin.name;
    std::lock_guard<std::mutex> guard(Table::get().mu);
    ++target->saving;
    return;
  }
  IndexPlace place;
  pin_or_throw(file, &place);
  target = acquire_at(place, file, lock.wait);
  targetName = place.name;
}

int WriterLock::Saving::directory() const { return target->fd.get(); }

WriterLock::Saving::~Saving() {
  if (written.exists) {
    Version open;
    if (kept.valid()) open = std::make_shared<utils::OwnedFd>(std::move(kept));
    Table& t = Table::get();
    std::lock_guard<std::mutex> guard(t.mu);
    target->last = written;
    target->line->last = open;
    if (own) {
      --target->saving;
      owner.seen = written;
      owner.version = open;
      owner.lineage = target->lineage;
      owner.line = target->line;
    }
  }
  if (own && !written.exists) {
    std::lock_guard<std::mutex> guard(Table::get().mu);
    --target->saving;
  }
  if (!own) give_back(target);
}

}  // namespace vorla
