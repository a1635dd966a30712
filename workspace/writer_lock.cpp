// The process-wide table of writer locks and the lineages of index files.

#include "workspace/writer_lock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "utils/file_lock.h"

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

  // The lineage: its number, the version it started from and the latest
  // version (the one on disk while the lock is held). `known` is false
  // until this process has seen the file with the lock held.
  bool known = false;
  utils::FileIdentity base;
  utils::FileIdentity last;
  std::atomic<uint64_t> lineage{0};
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
    static Table* table = new Table;
    return *table;
  }
};

// The index file's directory, opened, and what names the lock.
struct Place {
  std::string index;
  utils::OwnedFd fd;
  uint64_t dev = 0;
  uint64_t ino = 0;
  std::string name;
};

// Finds where the lock of the workspace of `index` lives. Throws "cannot
// write file" when that cannot be known.
void locate(const std::string& index, Place* place) {
  place->index = index;
  std::string target;
  if (!utils::follow_links(index, &target)) throw_write_error(index);
  place->name = utils::name_part(target);
  place->fd =
      utils::OwnedFd(utils::open_directory(utils::directory_part(target)));
  if (!place->fd.valid()) throw_write_error(index);
  struct stat st;
  if (::fstat(place->fd.get(), &st) != 0) throw_write_error(index);
  place->dev = static_cast<uint64_t>(st.st_dev);
  place->ino = static_cast<uint64_t>(st.st_ino);
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
      throw WriterConflict(WriterConflict::IN_USE, holder, index);
    std::this_thread::sleep_for(std::min<Clock::duration>(
        pause + std::chrono::microseconds(jitter() % 1000), deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds(100000));
  }
}

// Becomes one more holder of the lock at `place`, taking the slot from the
// kernel when this process holds it not yet.
std::shared_ptr<WriterEntry> acquire(Place* place, double wait) {
  Table& t = Table::get();
  std::unique_lock<std::mutex> guard(t.mu);
  std::shared_ptr<WriterEntry> e;
  for (const std::shared_ptr<WriterEntry>& x : t.entries) {
    if (x->dev == place->dev && x->ino == place->ino &&
        x->name == place->name) {
      e = x;
      break;
    }
  }
  if (!e) {
    e = std::make_shared<WriterEntry>();
    e->dev = place->dev;
    e->ino = place->ino;
    e->name = place->name;
    e->slot = utils::slot_of(place->name);
    t.entries.push_back(e);
  }
  t.cv.wait(guard, [&e] { return !e->acquiring; });
  if (e->holders > 0) {
    ++e->holders;
    return e;
  }
  // The slot is taken with the mutex let go, since it may wait; other
  // threads that want this workspace wait for the outcome.
  e->acquiring = true;
  guard.unlock();
  struct Settle {
    Table& t;
    WriterEntry& e;
    ~Settle() {
      std::lock_guard<std::mutex> relock(t.mu);
      e.acquiring = false;
      t.cv.notify_all();
    }
  };
  {
    Settle settle{t, *e};
    take_slot(place->fd.get(), e->slot, wait, place->index);
    std::lock_guard<std::mutex> relock(t.mu);
    e->fd = std::move(place->fd);
    e->holders = 1;
  }
  return e;
}

void give_back(const std::shared_ptr<WriterEntry>& e) {
  if (!e) return;
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  if (--e->holders == 0) {
    // Closing the description's last descriptor in this process drops the
    // slot; a child made by fork that still has one keeps it.
    e->fd.close();
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
void observe(Table& t, WriterEntry& e, const utils::FileIdentity& cur) {
  if (e.known && cur == e.last) return;
  e.known = true;
  e.base = cur;
  e.last = cur;
  e.lineage = ++t.lineages;
}

// Takes the lock of `index` and notes the version on disk.
std::shared_ptr<WriterEntry> acquire_at(const std::string& index, double wait) {
  Place place;
  locate(index, &place);
  Hold hold(acquire(&place, wait));
  utils::FileIdentity cur;
  if (!utils::identity_at(index, &cur)) throw_write_error(index);
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  observe(t, *hold, cur);
  return hold.keep();
}

// Whether two paths name the index file of one workspace; false when that
// cannot be told.
bool same_workspace(const std::string& a, const std::string& b) {
  std::string ta, tb;
  if (!utils::follow_links(a, &ta) || !utils::follow_links(b, &tb))
    return false;
  if (utils::name_part(ta) != utils::name_part(tb)) return false;
  struct stat sa, sb;
  return ::stat(utils::directory_part(ta).c_str(), &sa) == 0 &&
         ::stat(utils::directory_part(tb).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

WriterConflict::WriterConflict(Kind kind, long holder, const std::string& index)
    : Error(kind == IN_USE ? Error::WORKSPACE_IN_USE : Error::CHANGED_ON_DISK,
            index),
      which(kind),
      pid(kind == IN_USE ? holder : 0) {}

WriterLock::WriterLock() : lineage(0), wait(0) {}

WriterLock::~WriterLock() { release(); }

void WriterLock::release() {
  give_back(entry);
  entry.reset();
}

void WriterLock::hold(const std::string& index) {
  Claim claim(*this, index);
  claim.commit();
}

bool WriterLock::current() const {
  return entry && lineage == entry->lineage.load();
}

void WriterLock::loaded(const utils::FileIdentity& now, bool same) {
  if (!same) release();
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  seen = now;
  if (entry) {
    // With the lock held, only a writer that ignores it can have changed
    // the file; what was just read is the newest version all the same.
    observe(t, *entry, now);
    lineage = entry->lineage;
    return;
  }
  // The version this process wrote last, read back: the image belongs to
  // that lineage.
  lineage = 0;
  for (const std::shared_ptr<WriterEntry>& e : t.entries) {
    if (e->known && e->last == now) {
      lineage = e->lineage;
      break;
    }
  }
}

void WriterLock::ensure(const std::string& index) {
  if (index.empty()) return;
  if (entry) {
    if (lineage != entry->lineage.load())
      throw WriterConflict(WriterConflict::CHANGED_ON_DISK, 0, index);
    return;
  }
  Hold hold(acquire_at(index, wait));
  Table& t = Table::get();
  {
    std::lock_guard<std::mutex> guard(t.mu);
    const WriterEntry& e = *hold;
    if (lineage != e.lineage && seen != e.base && seen != e.last)
      throw WriterConflict(WriterConflict::CHANGED_ON_DISK, 0, index);
    lineage = e.lineage;
  }
  entry = hold.keep();
}

WriterLock::Claim::Claim(WriterLock& lock, const std::string& index)
    : owner(lock),
      former(lock.entry),
      formerSeen(lock.seen),
      formerLineage(lock.lineage),
      committed(false) {
  std::shared_ptr<WriterEntry> e = acquire_at(index, lock.wait);
  Table& t = Table::get();
  std::lock_guard<std::mutex> guard(t.mu);
  owner.seen = e->last;
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
  owner.seen = formerSeen;
  owner.lineage = formerLineage;
}

WriterLock::Saving::Saving(WriterLock& lock, const std::string& file,
                           const std::string& mainfile)
    : owner(lock), own(false) {
  if (!mainfile.empty() &&
      (file == mainfile || same_workspace(file, mainfile))) {
    owner.ensure(mainfile);
    own = true;
    target = owner.entry;
    return;
  }
  target = acquire_at(file, lock.wait);
}

WriterLock::Saving::~Saving() {
  if (written.exists) {
    Table& t = Table::get();
    std::lock_guard<std::mutex> guard(t.mu);
    target->last = written;
    if (own) {
      owner.seen = written;
      owner.lineage = target->lineage;
    }
  }
  if (!own) give_back(target);
}

}  // namespace vorla
