// SPDX-License-Identifier: MIT
// The workspace object: its registry, record creation and links, and the
// life of the whole workspace (init, load, save). Release and erasure live
// in release.cpp, the deep copy in copy.cpp, the index file's format in
// index_format.cpp and the names put on disk in file_names.cpp.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "utils/str_utils.h"
#include "workspace/error.h"
#include "workspace/file_names.h"
#include "workspace/format.h"
#include "workspace/index_format.h"
#include "workspace/on_disk.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {

namespace {

// The system would see a path with a NUL cut short there.
void refuse_nul(const std::string& file) {
  if (utils::has_nul(file)) throw Error(Error::CANNOT_WRITE_FILE, file, EINVAL);
}

bool key_less(const SpaceMan::Registry::value_type& entry, int key) {
  return entry.first < key;
}

}  // namespace

RecordRegistry::const_iterator RecordRegistry::find(int key) const {
  Entries::const_iterator it =
      std::lower_bound(entries.begin(), entries.end(), key, key_less);
  if (it == entries.end() || it->first != key || !it->second) return end();
  return const_iterator(&entries, static_cast<size_t>(it - entries.begin()));
}

void RecordRegistry::insert(int key, std::shared_ptr<StructConfig> rec) {
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

void RecordRegistry::erase(const_iterator it) {
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

SpaceMan::SpaceMan() : version(format::kVersion), disk(new OnDisk) {}

SpaceMan::~SpaceMan() { dropRecords(structs); }

void SpaceMan::setLockWait(double seconds) { disk->writer.setWait(seconds); }

double SpaceMan::getLockWait() const { return disk->writer.getWait(); }

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
  while (structs.find(Registry::keyOf(newid)) != structs.end())
    newid = counter.inc();
  rec->id = newid;
  structs.insert(Registry::keyOf(newid), rec);
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
  Registry::const_iterator it = structs.find(Registry::keyOf(id));
  if (it == structs.end()) throw Error(Error::CANNOT_FIND_ID);
  return it->second;
}

void SpaceMan::addLink(unsigned /*from*/, unsigned to) {
  StructConfig& rec = *getStruct(to);
  // A wrapped count would erase a record that is still named.
  if (rec.intrefcount == UINT_MAX) throw Error(Error::REFERENCE_COUNT_OVERFLOW);
  ++rec.intrefcount;
}

bool SpaceMan::registered(const StructConfig& rec) const {
  Registry::const_iterator it = structs.find(Registry::keyOf(rec.id));
  return it != structs.end() && it->second.get() == &rec;
}

bool SpaceMan::anyReachable(
    const StructConfig& from,
    const std::function<bool(const StructConfig&)>& match) const {
  std::unordered_set<const StructConfig*> seen;
  std::vector<const StructConfig*> todo(1, &from);
  seen.insert(&from);
  while (!todo.empty()) {
    const StructConfig* rec = todo.back();
    todo.pop_back();
    if (match(*rec)) return true;
    for (const StructConfig::ItemMap::value_type& entry : rec->items) {
      const StructConfig::Item& item = entry.second;
      if (!format::names_record(item.type)) continue;
      Registry::const_iterator it =
          structs.find(Registry::keyOf(static_cast<unsigned>(item.value)));
      if (it != structs.end() && seen.insert(it->second.get()).second)
        todo.push_back(it->second.get());
    }
  }
  return false;
}

bool SpaceMan::reaches(const StructConfig& from,
                       const StructConfig& target) const {
  return anyReachable(
      from, [&target](const StructConfig& rec) { return &rec == &target; });
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
    if (!format::names_record(item.type)) continue;
    Registry::const_iterator it =
        structs.find(Registry::keyOf(static_cast<unsigned>(item.value)));
    if (it == structs.end()) continue;
    const StructConfig* child = it->second.get();
    if (child == target || onpath.count(child)) return true;
    if (done.count(child)) continue;
    onpath.insert(child);
    stack.push_back(Frame{child, 0});
  }
  return false;
}

void SpaceMan::init(const std::string& file, const std::string& rel) {
  refuse_nul(file);
  index_format::check_data_dir_name(rel);
  // The new workspace's lock, whatever its file holds; the former lock comes
  // back if the init fails.
  WriterLock::Claim claim(disk->writer, file);
  // Nothing changes unless the new index file is written.
  // The former workspace's new files and deferred deletions are dropped
  // with it: its index file named the files whose deletion waited.
  struct Rollback {
    SpaceMan& ws;
    std::string mainpath, datadir, reldatadir;
    unsigned counter;
    Registry former;
    std::unordered_set<std::string> newFiles;
    std::map<std::string, utils::FileIdentity> deferred;
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
      ws.newFiles.swap(newFiles);
      ws.disk->deferredDeletions.swap(deferred);
      ws.dropRecords(former);
    }
  } rollback{*this,      mainpath, datadir, reldatadir, counter.get(),
             Registry(), {},       {},      false};
  rollback.former.swap(structs);
  rollback.newFiles.swap(newFiles);
  rollback.deferred.swap(disk->deferredDeletions);

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

void SpaceMan::load(const std::string& file) {
  // Everything is read into a new registry first: a file that fails to load
  // leaves the workspace exactly as it was.
  Registry fresh;
  utils::FileIdentity seen;
  if (utils::has_nul(file)) throw Error(Error::CANNOT_OPEN_FILE, file, EINVAL);
  // The directory is pinned now: saves go where this load read (rule 1 of
  // writer_lock.h), however the process moves or links change meanwhile.
  IndexPlace place;
  if (!pin_index(file, &place))
    throw Error(Error::CANNOT_OPEN_FILE, file, errno);
  utils::OwnedFd opened;
  index_format::read_index(this, file, place.dir.get(), place.name, fresh,
                           &seen, &opened);
  Registry::const_iterator rec0 = fresh.find(0);
  if (rec0 == fresh.end()) throw Error(Error::CANNOT_FIND_GROUP_0, file);
  std::string rel = rec0->second->getStr(format::kRelDataDirName);
  // A workspace from elsewhere must not make releases, copies or the tool
  // reach files outside its own folder.
  if (!index_format::contained_dir(rel))
    throw Error(Error::INVALID_FILE_NAME, file);
  const unsigned stored =
      static_cast<unsigned>(rec0->second->getUInt64(format::kCounterName));

  dropRecords(structs);
  structs.swap(fresh);
  // The index on disk is the one just read: the files whose deletion waited
  // may be named by it, and stay; the new files are orphans now.
  newFiles.clear();
  newFilesNamedElsewhere = false;
  disk->deferredDeletions.clear();
  disk->writer.loaded(std::move(place), seen, std::move(opened));
  mainpath = file;
  reldatadir.swap(rel);
  datadir = utils::pathadd(utils::pathname(file), reldatadir);
  counter.set(stored);
}

void SpaceMan::save(const std::string& file) {
  refuse_nul(file);
  if (structs.find(0) == structs.end())
    throw Error(Error::CANNOT_FIND_GROUP_0, file);
  // The workspace's own file is written where it was loaded or inited.
  const bool own =
      !mainpath.empty() && (file == mainpath || disk->writer.pinnedAt(file));
  WriterLock::Saving lock(disk->writer, file, own);
  // Temporary records never reach the index file; sweeping them first also
  // releases the children and data files that only they kept.
  cleanTemp();
  Registry::const_iterator it0 = structs.find(0);
  if (it0 == structs.end()) throw Error(Error::CANNOT_FIND_GROUP_0, file);
  StructConfig& rec0 = *it0->second;
  // Replaced whatever their type: a hand-edited record 0 must not make
  // every later save fail.
  rec0.items[format::kRelDataDirName] =
      StructConfig::Item(StructConfig::ITEM_STR, reldatadir);
  rec0.items[format::kCounterName] = StructConfig::Item(
      StructConfig::ITEM_UINT64, static_cast<uint64_t>(counter.get()));
  rec0.items[format::kVersionName] =
      StructConfig::Item(StructConfig::ITEM_STR, version);
  rec0.id = format::kSystemRecordId;
  rec0.extrefcount = format::kSystemExtRefCount;
  rec0.structtype = format::kSystemRecordType;
  makeNewFilesDurable();
  bool durable = false;
  const int dir = lock.directory();
  lock.written = utils::replace_file_at(
      dir, lock.name(), dir, file, file_names::kSaveTempPrefix,
      [this, &file](int fd) { index_format::write_records(fd, structs, file); },
      &lock.kept, &durable);
  // Another file leaves the workspace's own index as it was: it still names
  // what waits for deletion, and not yet the new files, which the other
  // file names now: revert must leave them.
  if (!own) {
    if (!newFiles.empty()) newFilesNamedElsewhere = true;
    return;
  }
  newFiles.clear();
  newFilesNamedElsewhere = false;
  // Deleting before the new index is known to be on disk could leave the
  // former one, after a power cut, naming files that are gone.
  if (durable) runDeferredDeletions();
}

void SpaceMan::save() {
  if (!mainpath.empty()) save(mainpath);
}

void SpaceMan::lockForWriting() { disk->writer.ensure(mainpath); }

}  // namespace vorla
