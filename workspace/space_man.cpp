// The workspace: registry and references, release and removal, data file
// names, and the index file.

#include <fcntl.h>
#include <sys/random.h>  // getrandom
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "utils/file_lock.h"
#include "utils/file_utils.h"
#include "utils/str_utils.h"
#include "workspace/line_form.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {

namespace {

// Reads and writes go through buffers of this size: large enough to keep
// system calls rare, small enough that a large index file is never held in
// memory whole.
const size_t kChunk = 1 << 16;

int key_of(unsigned id) { return static_cast<int>(id); }

[[noreturn]] void throw_write_error() {
  throw std::runtime_error("cannot write file");
}

// The directory that holds `path`, for the system: only "/" separates.
std::string directory_of(const std::string& path) {
  const std::string::size_type pos = path.rfind('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

// The file that a save of `path` must replace: symbolic links are followed,
// so that the link stays and the file it names gets the new content.
std::string resolve_links(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
      // Only a path that does not exist yet is a plain new file; any other
      // failure might hide a link that must not be replaced.
      if (errno == ENOENT) return target;
      throw_write_error();
    }
    if (!S_ISLNK(st.st_mode)) return target;
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink(target.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) throw_write_error();
    std::string link(buf.data(), static_cast<size_t>(n));
    target = link[0] == '/' ? link : directory_of(target) + "/" + link;
  }
  throw_write_error();
  return target;
}

// Creates a new file `dir`/.vorla-XXXXXX for writing, under a name that
// nothing stood at, with mode 0666 for the kernel to narrow by the process's
// file-creation mask. Gives the descriptor and fills `name`, or throws.
int create_save_temp(const std::string& dir, std::string& name) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const size_t letters = sizeof kAlphabet - 1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Drawn apart from the data file names' random source, whose sequence
    // belongs to the caller.
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
    name = dir + "/" + SpaceMan::kSaveTempPrefix;
    for (unsigned char c : draw) name += kAlphabet[c % letters];
    const int fd =
        ::open(name.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  name.clear();
  throw_write_error();
}

void write_all(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw_write_error();
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// A temporary file beside the index file; removed unless it was renamed
// into place.
struct TempFile {
  std::string name;
  int fd = -1;
  bool renamed = false;

  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!name.empty() && !renamed) ::unlink(name.c_str());
  }
};

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

}  // namespace

namespace {

bool key_less(const SpaceMan::Registry::value_type& entry, int key) {
  return entry.first < key;
}

}  // namespace

SpaceMan::Registry::const_iterator SpaceMan::Registry::find(int key) const {
  Entries::const_iterator it =
      std::lower_bound(entries.begin(), entries.end(), key, key_less);
  if (it == entries.end() || it->first != key || !it->second) return end();
  return const_iterator(&entries, static_cast<size_t>(it - entries.begin()));
}

void SpaceMan::Registry::insert(int key, std::shared_ptr<StructConfig> rec) {
  if (entries.empty() || entries.back().first < key) {
    entries.emplace_back(key, std::move(rec));
    return;
  }
  Entries::iterator it =
      std::lower_bound(entries.begin(), entries.end(), key, key_less);
  if (it != entries.end() && it->first == key) {
    // Only a hole can bear a key that is free.
    it->second = std::move(rec);
    --holes;
    return;
  }
  entries.emplace(it, key, std::move(rec));
}

void SpaceMan::Registry::erase(const_iterator it) {
  // The record may be destroyed here; the entry is a hole by then.
  std::shared_ptr<StructConfig> gone;
  gone.swap(entries[it.pos].second);
  ++holes;
  if (holes * 2 > entries.size()) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const value_type& e) { return !e.second; }),
                  entries.end());
    holes = 0;
  }
}

SpaceMan::SpaceMan() : version("2.1") {}

SpaceMan::~SpaceMan() { dropRecords(structs); }

void SpaceMan::dropRecords(Registry& registry) {
  // A temporary record's destruction would give its reference back to a
  // registry that is going away (or has been replaced): drop it as it is,
  // like every other record, data files left in place.
  for (const Registry::value_type& entry : registry)
    entry.second->temporary = false;
  registry.clear();
}

std::shared_ptr<StructConfig> SpaceMan::makeRecord(unsigned extref,
                                                   unsigned intref, bool temp) {
  std::shared_ptr<StructConfig> rec = std::make_shared<StructConfig>();
  rec->man = this;
  rec->extrefcount = extref;
  rec->intrefcount = intref;
  rec->temporary = temp;
  // A hand-edited or wrapped counter may point at ids already taken: move
  // on to the next free one rather than replace a record.
  unsigned newid = counter.inc();
  while (structs.find(key_of(newid)) != structs.end()) newid = counter.inc();
  rec->id = newid;
  structs.insert(key_of(newid), rec);
  return rec;
}

std::shared_ptr<StructConfig> SpaceMan::newStruct() {
  return makeRecord(1, 0, false);
}

std::shared_ptr<StructConfig> SpaceMan::newTempStruct() {
  return makeRecord(1, 0, true);
}

std::shared_ptr<StructConfig> SpaceMan::newDepStruct(unsigned /*parent*/) {
  return makeRecord(0, 1, false);
}

std::shared_ptr<StructConfig> SpaceMan::getStruct(unsigned id) const {
  Registry::const_iterator it = structs.find(key_of(id));
  if (it == structs.end()) throw std::runtime_error("cannot find id");
  return it->second;
}

void SpaceMan::addLink(unsigned /*from*/, unsigned to) {
  StructConfig& rec = *getStruct(to);
  // A wrapped count would erase a record that is still named.
  if (rec.intrefcount == UINT_MAX)
    throw std::runtime_error("reference count overflow");
  ++rec.intrefcount;
}

bool SpaceMan::registered(const StructConfig& rec) const {
  Registry::const_iterator it = structs.find(key_of(rec.id));
  return it != structs.end() && it->second.get() == &rec;
}

bool SpaceMan::reaches(const StructConfig& from,
                       const StructConfig& target) const {
  std::unordered_set<const StructConfig*> seen;
  std::vector<const StructConfig*> todo(1, &from);
  seen.insert(&from);
  while (!todo.empty()) {
    const StructConfig* rec = todo.back();
    todo.pop_back();
    if (rec == &target) return true;
    for (const StructConfig::ItemMap::value_type& entry : rec->items) {
      const StructConfig::Item& item = entry.second;
      if (item.type != StructConfig::ITEM_CHILD &&
          item.type != StructConfig::ITEM_EXTCHILD)
        continue;
      Registry::const_iterator it =
          structs.find(key_of(static_cast<unsigned>(item.value)));
      if (it != structs.end() && seen.insert(it->second.get()).second)
        todo.push_back(it->second.get());
    }
  }
  return false;
}

bool SpaceMan::reachesOrCycles(const StructConfig& from,
                               const StructConfig* target) const {
  // Depth-first walk that knows the records on the current path: meeting
  // one of them again is a cycle; records already finished are shared
  // subtrees, which are fine.
  struct Frame {
    const StructConfig* rec;
    size_t next;
  };
  std::unordered_set<const StructConfig*> onpath;
  std::unordered_set<const StructConfig*> done;
  std::vector<Frame> stack;
  if (&from == target) return true;
  stack.push_back(Frame{&from, 0});
  onpath.insert(&from);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.rec->items.size()) {
      onpath.erase(top.rec);
      done.insert(top.rec);
      stack.pop_back();
      continue;
    }
    const StructConfig::Item& item = top.rec->items.nth(top.next++)->second;
    if (item.type != StructConfig::ITEM_CHILD &&
        item.type != StructConfig::ITEM_EXTCHILD)
      continue;
    Registry::const_iterator it =
        structs.find(key_of(static_cast<unsigned>(item.value)));
    if (it == structs.end()) continue;
    const StructConfig* child = it->second.get();
    if (child == target || onpath.count(child)) return true;
    if (done.count(child)) continue;
    onpath.insert(child);
    stack.push_back(Frame{child, 0});
  }
  return false;
}

void SpaceMan::unlinkStruct(unsigned id) {
  if (id == 0) return;
  release(id, true);
}

void SpaceMan::internalUnlink(unsigned id) { release(id, false); }

void SpaceMan::release(unsigned id, bool external) {
  Registry::const_iterator it = structs.find(key_of(id));
  if (it == structs.end()) throw std::runtime_error("cannot find id");
  StructConfig* rec = it->second.get();
  unsigned& count = external ? rec->extrefcount : rec->intrefcount;
  const unsigned other = external ? rec->intrefcount : rec->extrefcount;
  // Record 0 holds the workspace's own items: no release erases it.
  const bool erases =
      count <= 1 && other == 0 && id != 0 && !erasing.count(rec);
  if (erases) {
    checkRelease(*rec);
    // The erasure may delete data files: the lock comes before any count
    // is lowered.
    lockBeforeErasing(*rec);
  }
  if (count > 0) --count;
  if (erases) erase(rec, key_of(id), true);
}

void SpaceMan::checkRelease(const StructConfig& root) const {
  // Most records own no child: nothing to look up.
  bool children = false;
  for (const StructConfig::ItemMap::value_type& entry : root.items) {
    if (entry.second.type == StructConfig::ITEM_CHILD ||
        entry.second.type == StructConfig::ITEM_EXTCHILD) {
      children = true;
      break;
    }
  }
  if (!children) return;
  // The same cascade as erase, on counts kept aside: which records reach
  // no reference does not depend on the order in which counts are lowered.
  std::unordered_map<const StructConfig*, unsigned> lowered;
  std::unordered_set<const StructConfig*> doomed(erasing.begin(),
                                                 erasing.end());
  doomed.insert(&root);
  std::vector<const StructConfig*> todo(1, &root);
  while (!todo.empty()) {
    const StructConfig* rec = todo.back();
    todo.pop_back();
    for (const StructConfig::ItemMap::value_type& entry : rec->items) {
      const StructConfig::Item& item = entry.second;
      if (item.type != StructConfig::ITEM_CHILD &&
          item.type != StructConfig::ITEM_EXTCHILD)
        continue;
      const int childkey = key_of(static_cast<unsigned>(item.value));
      Registry::const_iterator it = structs.find(childkey);
      if (it == structs.end()) throw std::runtime_error("cannot find id");
      const StructConfig* child = it->second.get();
      unsigned& low = lowered[child];
      if (child->intrefcount > low) ++low;
      if (child->extrefcount == 0 && child->intrefcount == low &&
          childkey != 0 && doomed.insert(child).second)
        todo.push_back(child);
    }
  }
}

void SpaceMan::erase(StructConfig* root, int key, bool remove) {
  lockBeforeErasing(*root);
  // Depth first, items in name order: a child's own children are released
  // before the parent's next child. Records on the stack are in `erasing`,
  // so a cycle of child items never re-enters one of them.
  struct Frame {
    StructConfig* rec;
    std::shared_ptr<StructConfig> keep;
    int key;
    bool remove;
    size_t next;
  };
  std::vector<Frame> stack;
  // On failure the records under way stay registered, items and marks
  // unchanged, and may be released again later.
  struct Unmark {
    std::vector<Frame>& stack;
    std::unordered_set<const StructConfig*>& erasing;
    ~Unmark() {
      for (const Frame& f : stack) erasing.erase(f.rec);
    }
  } unmark{stack, erasing};

  Registry::const_iterator self = structs.find(key);
  std::shared_ptr<StructConfig> keep =
      self != structs.end() ? self->second : std::shared_ptr<StructConfig>();
  stack.push_back(Frame{root, keep, key, remove, 0});
  erasing.insert(root);
  while (!stack.empty()) {
    StructConfig* rec = stack.back().rec;
    if (stack.back().next == rec->items.size()) {
      const Frame done = stack.back();
      rec->temporary = false;
      rec->items.clear();
      stack.pop_back();
      erasing.erase(rec);
      if (done.remove) {
        Registry::const_iterator it = structs.find(done.key);
        if (it != structs.end() && it->second.get() == rec) structs.erase(it);
      }
      continue;
    }
    const StructConfig::ItemMap::value_type& entry =
        *rec->items.nth(stack.back().next++);
    switch (entry.second.type) {
      case StructConfig::ITEM_FILE:
        rec->eraseFile(entry.first);
        break;
      case StructConfig::ITEM_CHILD:
      case StructConfig::ITEM_EXTCHILD: {
        const int childkey = key_of(static_cast<unsigned>(entry.second.value));
        Registry::const_iterator it = structs.find(childkey);
        // checkRelease found every child registered: one missing now was
        // erased earlier in this very cascade (a crafted file may name a
        // record more often than its count says), and owes nothing more.
        if (it == structs.end()) break;
        StructConfig* child = it->second.get();
        if (child->intrefcount > 0) --child->intrefcount;
        if (child->extrefcount == 0 && child->intrefcount == 0 &&
            childkey != 0 && erasing.insert(child).second)
          stack.push_back(Frame{child, it->second, childkey, true, 0});
        break;
      }
      default:
        break;
    }
  }
}

void SpaceMan::cleanTemp() {
  // One ordered pass. A release can only remove records or clear the mark
  // of the record released, never mark another one, so this ends exactly as
  // restarting from the lowest id after every release would.
  std::vector<int> temps;
  for (Registry::const_iterator it = structs.begin(); it != structs.end(); ++it)
    if (it->second->temporary) temps.push_back(it->first);
  for (int key : temps) {
    Registry::const_iterator it = structs.find(key);
    if (it == structs.end() || !it->second->temporary) continue;
    std::shared_ptr<StructConfig> rec = it->second;
    // A record that another one links to survives its release as an
    // ordinary record: without its mark the sweep would meet it forever.
    unlinkStruct(static_cast<unsigned>(key));
    rec->temporary = false;
  }
}

std::string SpaceMan::randfile(unsigned id, const std::string& prefix) {
  lockForWriting();
  std::string composed = prefix;
  composed += '_';
  composed += utils::tostr(id);
  composed += '_';
  return randfilename(datadir, composed, std::string());
}

std::string SpaceMan::randtempfile(const std::string& tag) {
  lockForWriting();
  std::string composed = "_";
  composed += tag;
  composed += '_';
  composed += utils::tostr(0);
  composed += '_';
  return utils::pathadd(datadir,
                        randfilename(datadir, composed, std::string()));
}

std::string SpaceMan::decodeFilePrefix(const std::string& name) {
  return name.substr(0, name.find('_'));
}

unsigned SpaceMan::import(SpaceMan* other, unsigned id) {
  std::shared_ptr<StructConfig> source = other->getStruct(id);
  // Refused copies make no record.
  checkCopy(*source, nullptr);
  lockForWriting();
  std::shared_ptr<StructConfig> rec = newStruct();
  rec->importcopy(source);
  return rec->id;
}

void SpaceMan::checkCopy(const StructConfig& source,
                         const StructConfig* target) const {
  // A tree whose child items lead back into itself, or to the record that
  // receives the copy, would be copied without end.
  const SpaceMan& from = *source.man;
  if (from.reachesOrCycles(source, target))
    throw std::runtime_error("cyclic link");
  // What the copy makes: each record once per path that reaches it, with
  // its items. Counted bottom-up once per record, so that shared subtrees
  // cost linear time however often the copy would repeat them.
  std::unordered_map<const StructConfig*, uint64_t> made;
  struct Frame {
    const StructConfig* rec;
    size_t next;
    uint64_t total;
  };
  const uint64_t over = copylimit + 1;
  std::vector<Frame> stack(1, Frame{&source, 0, 1 + source.items.size()});
  uint64_t total = 0;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.rec->items.size()) {
      const Frame done = top;
      made[done.rec] = done.total;
      stack.pop_back();
      if (stack.empty()) {
        total = done.total;
      } else {
        stack.back().total = std::min(over, stack.back().total + done.total);
      }
      continue;
    }
    const StructConfig::Item& item = top.rec->items.nth(top.next++)->second;
    if (item.type != StructConfig::ITEM_CHILD) continue;
    Registry::const_iterator it =
        from.structs.find(key_of(static_cast<unsigned>(item.value)));
    if (it == from.structs.end()) continue;
    const StructConfig* child = it->second.get();
    std::unordered_map<const StructConfig*, uint64_t>::const_iterator known =
        made.find(child);
    if (known != made.end()) {
      top.total = std::min(over, top.total + known->second);
    } else {
      stack.push_back(Frame{child, 0, 1 + child->items.size()});
    }
  }
  if (total > copylimit) throw std::runtime_error("copy too large");
}

void SpaceMan::init(const std::string& file, const std::string& rel) {
  if (utils::has_nul(file)) throw_write_error();
  // The relative data directory is a text item of record 0, and the reader
  // trims blanks at a value's ends: a name with them would move on reload.
  if (!line_form::valid_text(rel) || utils::has_nul(rel) ||
      (!rel.empty() &&
       (utils::is_space(rel.front()) || utils::is_space(rel.back()))))
    throw std::runtime_error("invalid text");
  if (!line_form::fits(sizeof "$reldatadir_str" - 1, rel.size()))
    throw std::runtime_error("line too long");
  if (!line_form::contained_dir(rel))
    throw std::runtime_error("invalid file name");
  // The new workspace's lock, whatever its file holds; the former lock comes
  // back if the init fails.
  WriterLock::Claim claim(writer, file);
  // Nothing changes unless the new index file is written.
  struct Rollback {
    SpaceMan& ws;
    std::string mainpath, datadir, reldatadir;
    unsigned counter;
    Registry former;
    bool committed;
    ~Rollback() {
      if (committed) {
        ws.dropRecords(former);
        return;
      }
      ws.mainpath.swap(mainpath);
      ws.datadir.swap(datadir);
      ws.reldatadir.swap(reldatadir);
      ws.counter.set(counter);
      ws.structs.swap(former);
      ws.dropRecords(former);
    }
  } rollback{*this,         mainpath,   datadir, reldatadir,
             counter.get(), Registry(), false};
  rollback.former.swap(structs);

  mainpath = file;
  counter = SharedVar<unsigned int>(1);
  reldatadir = rel;
  datadir = utils::pathadd(utils::pathname(file), rel);
  std::shared_ptr<StructConfig> rec0 = std::make_shared<StructConfig>();
  rec0->man = this;
  structs.insert(0, rec0);
  save(file);
  rollback.committed = true;
  claim.commit();
}

// Turns the lines of an index file into records of a new registry.
class SpaceMan::IndexReader {
 public:
  IndexReader(SpaceMan* owner, Registry& target)
      : ws(owner), registry(target) {}

  void line(const char* b, const char* e) {
    if (static_cast<size_t>(e - b) > line_form::kMaxLine)
      throw std::runtime_error("line too long");
    while (b < e && utils::is_space(*b)) ++b;
    while (e > b && utils::is_space(e[-1])) --e;
    if (b == e || *b == ';' || *b == '#') return;
    if (*b == '[') {
      // The last character is taken to be the closing bracket.
      const std::string idtext(b + 1, e - b >= 2 ? e - 1 : b + 1);
      section(utils::strto<unsigned int>(idtext));
      return;
    }
    const char* eq = static_cast<const char*>(std::memchr(b, '=', e - b));
    if (!eq || !current) throw std::runtime_error("cannot parse this line");
    const char* ke = eq;
    while (ke > b && utils::is_space(ke[-1])) --ke;
    const char* vb = eq + 1;
    while (vb < e && utils::is_space(*vb)) ++vb;
    if (pending.size() == used) pending.emplace_back();
    StructConfig::ItemSequence::value_type& slot = pending[used];
    if (current->parseLine(b, static_cast<size_t>(ke - b), vb,
                           static_cast<size_t>(e - vb), slot.first,
                           slot.second)) {
      if (used > 0 && !(pending[used - 1].first < slot.first)) ordered = false;
      ++used;
    }
  }

  // Gives the current record the items of its section. Sections written by
  // save hold their items in name order, once each: they are moved into a
  // sequence of exactly their size in one go. Any other order (files of
  // other writers do not sort their keys) is sorted first, stably, so that
  // the last line for a name wins: O(n log n) rather than an insertion per
  // line.
  void finish() {
    if (!current) return;
    if (!ordered) {
      std::stable_sort(pending.begin(), pending.begin() + used,
                       [](const StructConfig::ItemSequence::value_type& a,
                          const StructConfig::ItemSequence::value_type& b) {
                         return a.first < b.first;
                       });
    }
    StructConfig::ItemSequence seq;
    seq.reserve(used);
    for (size_t i = 0; i < used; ++i) {
      if (!ordered && i + 1 < used && pending[i].first == pending[i + 1].first)
        continue;
      seq.push_back(std::move(pending[i]));
    }
    current->items.adopt_sequence(boost::container::ordered_unique_range,
                                  std::move(seq));
    used = 0;
    ordered = true;
  }

 private:
  void section(unsigned id) {
    const int key = static_cast<int>(id);
    // Files written by save come in ascending order and are appended; any
    // other order is sorted once at the end, and its duplicates are found
    // with a set of the keys seen.
    if (!registry.entries.empty() && registry.entries.back().first >= key) {
      if (seen.empty()) {
        for (const Registry::value_type& entry : registry.entries)
          seen.insert(entry.first);
      }
      unordered = true;
    }
    if (unordered && !seen.insert(key).second)
      throw std::runtime_error("duplicated entry");
    finish();
    std::shared_ptr<StructConfig> rec = std::make_shared<StructConfig>();
    rec->id = id;
    rec->man = ws;
    registry.entries.emplace_back(key, rec);
    current = rec.get();
  }

 public:
  void end() {
    finish();
    if (unordered) {
      std::sort(
          registry.entries.begin(), registry.entries.end(),
          [](const Registry::value_type& a, const Registry::value_type& b) {
            return a.first < b.first;
          });
    }
  }

 private:
  SpaceMan* ws;
  Registry& registry;
  std::unordered_set<int> seen;
  bool unordered = false;
  StructConfig* current = nullptr;
  // The item lines of the current section, in a vector that is reused from
  // section to section.
  StructConfig::ItemSequence pending;
  size_t used = 0;
  bool ordered = true;
};

void SpaceMan::load(const std::string& file) {
  // Everything is read into a new registry first: a file that fails to load
  // leaves the workspace exactly as it was.
  Registry fresh;
  utils::FileIdentity seen;
  {
    if (utils::has_nul(file)) throw std::runtime_error("cannot open file");
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open file");
    FdCloser closer{fd};
    // The version read, for the writer lock's check before a later write.
    if (!utils::identity_of(fd, &seen))
      throw std::runtime_error("cannot open file");
    IndexReader reader(this, fresh);
    std::vector<char> buf(kChunk);
    size_t have = 0;
    for (;;) {
      const ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
      if (n < 0 && errno == EINTR) continue;
      // A read error must not pass for the end of the file.
      if (n < 0) throw std::runtime_error("cannot open file");
      if (n == 0) break;
      have += static_cast<size_t>(n);
      const char* p = buf.data();
      const char* end = buf.data() + have;
      while (const char* nl =
                 static_cast<const char*>(std::memchr(p, '\n', end - p))) {
        reader.line(p, nl);
        p = nl + 1;
      }
      const size_t rest = static_cast<size_t>(end - p);
      if (rest > line_form::kMaxLine) throw std::runtime_error("line too long");
      std::memmove(buf.data(), p, rest);
      have = rest;
    }
    if (have > 0) reader.line(buf.data(), buf.data() + have);
    reader.end();
  }
  Registry::const_iterator rec0 = fresh.find(0);
  if (rec0 == fresh.end()) throw std::runtime_error("cannot find group 0");
  std::string rel = rec0->second->getStr("$reldatadir");
  // A workspace from elsewhere must not make releases, copies or the tool
  // reach files outside its own folder.
  if (!line_form::contained_dir(rel))
    throw std::runtime_error("invalid file name");
  const unsigned stored =
      static_cast<unsigned>(rec0->second->getUInt64("$current_counter"));

  dropRecords(structs);
  structs.swap(fresh);
  writer.loaded(seen, file == mainpath);
  mainpath = file;
  reldatadir.swap(rel);
  datadir = utils::pathadd(utils::pathname(file), reldatadir);
  counter.set(stored);
}

void SpaceMan::save(const std::string& file) {
  if (utils::has_nul(file)) throw_write_error();
  if (structs.find(0) == structs.end())
    throw std::runtime_error("cannot find group 0");
  WriterLock::Saving lock(writer, file, mainpath);
  // Temporary records never reach the index file; sweeping them first also
  // releases the children and data files that only they kept.
  cleanTemp();
  Registry::const_iterator it0 = structs.find(0);
  if (it0 == structs.end()) throw std::runtime_error("cannot find group 0");
  StructConfig& rec0 = *it0->second;
  // Replaced whatever their type: a hand-edited record 0 must not make
  // every later save fail.
  rec0.items["$reldatadir"] =
      StructConfig::Item(StructConfig::ITEM_STR, reldatadir);
  rec0.items["$current_counter"] = StructConfig::Item(
      StructConfig::ITEM_UINT64, static_cast<uint64_t>(counter.get()));
  rec0.items["$version"] = StructConfig::Item(StructConfig::ITEM_STR, version);
  rec0.id = 0;
  rec0.extrefcount = 1000;
  rec0.structtype = "system_record";
  writeIndex(file, &lock.written);
}

void SpaceMan::save() {
  if (!mainpath.empty()) save(mainpath);
}

void SpaceMan::writeIndex(const std::string& path,
                          utils::FileIdentity* written) {
  const std::string target = resolve_links(path);
  const std::string dir = directory_of(target);

  struct stat former;
  const bool existed = ::stat(target.c_str(), &former) == 0;
  // A former file whose mode cannot be read would lose it.
  if (!existed && errno != ENOENT) throw_write_error();
  // Only a regular file is replaced: never a device, a FIFO or a directory,
  // and never a file that the caller could not open for writing either.
  if (existed && (!S_ISREG(former.st_mode) ||
                  ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
    throw_write_error();
  // Opened before anything is replaced: once the new file is in place,
  // save no longer fails.
  const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) throw_write_error();
  FdCloser dircloser{dirfd};

  TempFile tmp;
  tmp.fd = create_save_temp(dir, tmp.name);

  std::string buf;
  buf.reserve(kChunk + 2 * line_form::kMaxLine);
  for (Registry::const_iterator it = structs.begin(); it != structs.end();
       ++it) {
    it->second->appendSection(buf);
    if (buf.size() >= kChunk) {
      write_all(tmp.fd, buf);
      buf.clear();
    }
  }
  write_all(tmp.fd, buf);

  if (existed) {
    if (::fchmod(tmp.fd, former.st_mode & 07777) != 0) throw_write_error();
    // Keeping the owner is best effort: only a privileged process may.
    if (::fchown(tmp.fd, former.st_uid, former.st_gid) != 0) {
    }
  }
  // The content must be on disk before the rename makes it the index file.
  if (::fsync(tmp.fd) != 0) throw_write_error();
  utils::FileIdentity identity;
  if (!utils::identity_of(tmp.fd, &identity)) throw_write_error();
  const int fd = tmp.fd;
  tmp.fd = -1;
  if (::close(fd) != 0) throw_write_error();
  if (::rename(tmp.name.c_str(), target.c_str()) != 0) throw_write_error();
  tmp.renamed = true;
  *written = identity;
  // The rename should survive a power cut too. The new file is in place and
  // readers see it, so a failure to flush the directory is not reported as
  // a failed save: the caller would take the former file for intact.
  if (::fsync(dirfd) != 0) {
  }
}

void SpaceMan::lockForWriting() { writer.ensure(mainpath); }

void SpaceMan::lockBeforeErasing(const StructConfig& root) {
  if (writer.current()) return;
  std::unordered_set<const StructConfig*> seen;
  std::vector<const StructConfig*> todo(1, &root);
  seen.insert(&root);
  while (!todo.empty()) {
    const StructConfig* rec = todo.back();
    todo.pop_back();
    for (const StructConfig::ItemMap::value_type& entry : rec->items) {
      const StructConfig::Item& item = entry.second;
      if (item.type == StructConfig::ITEM_FILE) {
        lockForWriting();
        return;
      }
      if (item.type != StructConfig::ITEM_CHILD &&
          item.type != StructConfig::ITEM_EXTCHILD)
        continue;
      Registry::const_iterator it =
          structs.find(key_of(static_cast<unsigned>(item.value)));
      if (it != structs.end() && seen.insert(it->second.get()).second)
        todo.push_back(it->second.get());
    }
  }
}

}  // namespace vorla
