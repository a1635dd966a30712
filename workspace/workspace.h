// SPDX-License-Identifier: MIT
// A workspace is a set of numbered, reference-counted records kept in one
// text index file, plus a data directory beside it for their data files.
//
// Thread safety: a workspace, its records and the process-wide random source
// are used by one thread at a time; callers that share them serialise their
// calls. The only lock is the one of the id counter (SharedVar), so that ids
// stay unique.
//
// Several processes: the operations that write to a workspace's files take
// the workspace's writer lock first and check that the index file is still
// the one this object read (see SpaceMan; the lock's process-wide table is
// locked inside). A conflict with another process is a WriterConflict
// (workspace/error.h).
//
// Errors: every error is a vorla::Error (workspace/error.h).
//
// Durability: what a save of a workspace's own index file returns from
// survives a power cut, with every byte the program wrote into its data
// files before it called save (on a local POSIX file system that honours
// fsync). The steps, each relying on the one before:
//  (1) every data file handed out since the index file on disk was written
//      (newFile, randfile, copies) is flushed, then the data directory, so
//      that the files and their names are on disk;
//  (2) the new index file is flushed and renamed over the former one, and
//      the index file's directory is flushed: the new index is in place;
//  (3) only then are the data files deleted that releases, eraseFile,
//      eraseData and the temporary sweep asked to delete and that the
//      former index file named, and the data directory is flushed again.
// Until (2) the index on disk names only files that exist, with their
// content: a program killed or a machine cut off at any moment, or a
// workspace object dropped, reloaded or inited without saving, loses
// nothing that the saved index names. A data file handed out since the
// last save and released before the next goes at once: no index names it.

#ifndef VORLA_WORKSPACE_WORKSPACE_H_
#define VORLA_WORKSPACE_WORKSPACE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/container/flat_map.hpp>
#include <boost/container/options.hpp>
#include <boost/container/vector.hpp>
#include <boost/random/linear_congruential.hpp>
#include <boost/random/uniform_int.hpp>
#include <boost/random/variate_generator.hpp>

#include "workspace/error.h"
#include "workspace/registry.h"
#include "workspace/shared_var.h"

namespace vorla {

class SpaceMan;

// One record of a workspace: a type name, named typed items, two reference
// counts and a back pointer to its workspace.
//
// Reference counts: `extrefcount` counts holders outside the record graph.
// The workspace sets it when it makes a record (1 for newStruct and
// newTempStruct, 0 for a dependent child, 1000 for record 0) and only
// SpaceMan::unlinkStruct lowers it. `intrefcount` counts child items of other
// records that name this one: addIntChild / newChildStruct raise it,
// SpaceMan::internalUnlink lowers it. Neither goes below 0. The release that
// leaves both at 0 erases the record (its data files are deleted and its
// children released, in cascade) and drops it from the registry. A data
// file that the index file on disk names is deleted only by the next save
// of the workspace's own index file, once the index that no longer names it
// is in place: a released record's data file exists until then, so that a
// program that dies before it saves leaves the saved workspace whole.
//
// Records are shared objects: the registry and callers hold shared pointers
// to the same object. A record must not outlive its workspace for any use
// but its own destruction.
class StructConfig {
 public:
  enum DataItemType {
    ITEM_NONE = 0,
    ITEM_UINT64 = 1,
    ITEM_STR = 2,
    ITEM_FILE = 3,
    ITEM_CHILD = 4,
    ITEM_EXTCHILD = 5
  };

  // The number of values above, ITEM_NONE included. The table of item
  // types (their suffixes, names, payloads and what they own) has one row
  // for each and checks this count.
  static constexpr int kItemTypeCount = ITEM_EXTCHILD + 1;

  // Whether items of `type` name a record (child and extchild items).
  static bool isChildType(DataItemType type);
  // Whether `type` is one of the item types that the index file carries
  // (ITEM_UINT64 and up).
  static constexpr bool isItemType(int type) {
    return type > ITEM_NONE && type < kItemTypeCount;
  }
  // The name of an item type as its key suffix spells it ("uint64", "str",
  // "file", "child", "extchild"), "none" for any other value.
  static const char* typeName(DataItemType type);

  struct Item {
    Item() : type(ITEM_NONE), value(0) {}
    Item(DataItemType t, const std::string& s) : type(t), str(s), value(0) {}
    Item(DataItemType t, uint64_t v) : type(t), value(v) {}

    DataItemType type;
    std::string str;  // text, stored file name, or an extchild's text
    uint64_t value;   // number, or a record id (its low 32 bits are used)
  };

  // Items ordered by byte-wise comparison of their names, which is also the
  // order in which they are written. A sorted vector with a 32-bit size:
  // records hold few items, and items mostly arrive in order, so this is
  // much smaller and faster than a node-based map on large workspaces.
  typedef boost::container::vector<
      std::pair<std::string, Item>, void,
      boost::container::vector_options_t<
          boost::container::stored_size<uint32_t> > >
      ItemSequence;
  typedef boost::container::flat_map<std::string, Item, std::less<std::string>,
                                     ItemSequence>
      ItemMap;

  StructConfig();
  // Releases the record if it is still temporary (see close()).
  ~StructConfig();

  StructConfig(const StructConfig&) = delete;
  StructConfig& operator=(const StructConfig&) = delete;

  SpaceMan* getMan() const { return man; }

  // Throws "invalid text" for a type name holding a line break and "line too
  // long" when its attribute line would not fit the reader's limit.
  void setType(const std::string& type);
  std::string getType() const { return structtype; }
  // Sets `id` only; the registry keeps the record under its former key.
  void setId(unsigned newid) { id = newid; }
  unsigned getId() const { return id; }

  // Put a number or a text; an item of the same name and another type fails
  // with "changed in type". Names and texts that the index file cannot carry
  // fail with "invalid name", "invalid text" or "line too long". Every
  // failure leaves the record unchanged.
  void addUInt64(const std::string& name, uint64_t number);
  void addStr(const std::string& name, const std::string& text);
  // "cannot find name" or "wrong variable type".
  uint64_t getUInt64(const std::string& name) const;
  std::string getStr(const std::string& name) const;

  // Makes a dependent record (extrefcount 0, intrefcount 1) and a child item
  // naming it. "existed" when any item of that name exists.
  std::shared_ptr<StructConfig> newChildStruct(const std::string& name);
  // The registered record that a child item names.
  std::shared_ptr<StructConfig> getChildStruct(const std::string& name);
  // Puts a child item naming `child`, replacing any item of that name
  // without releasing what it owned, and adds one internal reference to
  // `child`. "foreign record" when `child` is not registered in this
  // workspace, "cyclic link" when this record can be reached from `child`.
  void addIntChild(const std::string& name,
                   const std::shared_ptr<StructConfig>& child);
  // Puts a child item naming `child` in place of any item of that name and
  // releases what the former item owned, as eraseItem does (`child` is
  // counted first, so it survives when the former item led to it). Fails as
  // addIntChild and eraseItem do, changing nothing.
  void replaceChild(const std::string& name,
                    const std::shared_ptr<StructConfig>& child);
  // Removes the item `name` and releases what it owned, as eraseData does
  // for all: its data file, its child's internal reference. "cannot find
  // name" when there is no such item; a failed release changes nothing.
  void eraseItem(const std::string& name);
  // A new temporary record of this record's workspace, unrelated to it.
  std::shared_ptr<StructConfig> newTempStruct();

  // Chooses a free data file name in the workspace's data directory, stores
  // only that bare name in a file item and returns the file's full path; the
  // caller creates the file there. "file existed" when any item of that name
  // exists; "invalid file name" for a prefix that holds a separator or a
  // line break, or begins or ends with a blank that the reader would trim
  // (checked before any draw); "workspace not loaded" while the workspace
  // has no data directory (see SpaceMan::randfile).
  std::string newFile(const std::string& name);
  std::string newFile(const std::string& name, const std::string& prefix);
  // The full path of a file item's data file (not tested for existence).
  std::string getFile(const std::string& name) const;
  // Deletes a file item's data file if it exists; the item stays. A file
  // that the index file on disk may name goes at the next save of that
  // file, unless it was rewritten meanwhile; one handed out since goes now.
  void eraseFile(const std::string& name);

  // Applies one key/value line of this record's section of the index file.
  void import_kv(const std::string& key, const std::string& value);
  // Writes this record's whole section of the index file.
  void export_kv(std::ostream& out) const;
  // Appends the same section to `out`; the fast path of SpaceMan::save.
  void appendSection(std::string& out) const;

  // Makes this record a deep copy of `source`'s type and items: new data
  // files and new child records in this record's workspace. "copy too
  // large" (before anything is made) when the copy would make more records
  // and items than the workspace's copy limit. Nothing made before a later
  // failure is undone.
  void importcopy(std::shared_ptr<StructConfig> source);

  // Deletes the record's data files (as eraseFile does: those the index
  // file on disk may name at the next save), releases the records its
  // child items name (erasing those left without references, in cascade),
  // then clears its items and its temporary mark. Like a release, it
  // either completes or, when a child item names no record ("cannot find
  // id"), changes nothing.
  void eraseData();
  // If the record is temporary, gives its external reference back now
  // rather than at the next save, and clears the mark. A release that fails
  // keeps the mark; "cannot find id" when the record is not the one
  // registered under its id (its id was changed with setId).
  void close();

  // `temporary` sits after the counts so that a record packs into 72 bytes.
  std::string structtype;
  ItemMap items;
  unsigned id;
  unsigned extrefcount;
  unsigned intrefcount;
  bool temporary;
  SpaceMan* man;  // not owned; outlives the record

 private:
  friend class SpaceMan;

  // Puts `item` under `name`, replacing any item of that name. Items that
  // arrive in name order, as the reader sees them, are appended.
  void put(std::string name, Item item);
  // addIntChild; with `replace`, replaceChild over an existing item.
  void linkChild(const std::string&, const std::shared_ptr<StructConfig>&,
                 bool replace);
  // Puts an item that owns nothing (a number, a text) under `name`, with
  // the checks and failures of addUInt64 and addStr.
  void putPlain(const std::string& name, Item item);
  // The copy behind importcopy and SpaceMan::import, once the caller has
  // checked it (SpaceMan::checkCopy) and holds the writer lock.
  void copyTree(const std::shared_ptr<StructConfig>& source);
  // Operations that reach into the workspace (data files, children, copies)
  // refuse a record that is no longer the one registered under its id, for
  // instance one kept across a load or an init of its workspace, or one
  // already erased: "foreign record".
  void checkRegistered() const;
};

// A workspace: the in-memory image of one index file, its data directory,
// its id counter and the registry of its records.
//
// The operations that write to the workspace's files (init, save, drawing a
// data file name with randfile, randtempfile or StructConfig::newFile,
// import and StructConfig::importcopy, eraseFile and a release that may
// delete data files) first take the workspace's writer lock, unless this
// object holds it, and keep it until the object is destroyed or loads or
// inits another workspace. They fail, changing nothing, with WriterConflict
// "workspace in use" while another process holds it, and "changed on disk"
// when another process saved the index file after this object read it
// (reload, then work again); with "cannot write file" when the lock cannot
// be taken at all. Loading and reading take no lock. Objects of one process
// share the lock and never conflict.
//
// Each object remembers, until it next writes its own index file, the data
// files it handed out (which that file does not name yet) and the
// deletions it deferred (of files that that file names); see the steps at
// the top of this header. Two objects of one process that hold the same
// workspace each remember only their own: a save by one deletes what it
// released even if the other's image still names it, as the last save wins
// for the index file too; reload the other before it saves. Readers in
// other processes find every data file that the index they read names
// until a save has replaced that index.
class SpaceMan {
 public:
  // The records of a workspace by id (workspace/registry.h).
  typedef RecordRegistry Registry;

  SpaceMan();
  // Drops the records as they are: nothing is saved, no count is lowered and
  // no data file is deleted, not even one whose deletion a release deferred
  // (it stays named by the index on disk). Records still temporary are
  // dropped unreleased.
  ~SpaceMan();

  SpaceMan(const SpaceMan&) = delete;
  SpaceMan& operator=(const SpaceMan&) = delete;

  std::string mainfile() const { return mainpath; }
  std::string getDatadir() const { return datadir; }
  std::string getRelDataDir() const { return reldatadir; }
  unsigned getCounter() const { return counter.get(); }
  std::string getVersion() const { return version; }
  // How long a writing operation waits for another process's writer lock
  // before "workspace in use"; 0, the default, fails at once.
  void setLockWait(double seconds);
  double getLockWait() const;
  // Takes the writer lock now, as the first writing operation would, and
  // checks that the index file is still the one this object read: a program
  // learns before it starts its work whether it may save it. Nothing when
  // the lock is held and the image current, or the workspace has no path.
  void lockForWriting();
  // The registry, for code that walks every record (the command-line tool).
  const Registry& getStructs() const { return structs; }

  // A new, empty workspace whose index file is written at once and is
  // durable when init returns. Creates no directory; throws "cannot write
  // file" when the file cannot be written. Deferred deletions of the former
  // workspace are dropped, their files left in place. Like load, pins the
  // index file's directory.
  void init(const std::string& mainfile, const std::string& reldatadir);
  // Replaces the whole workspace by the content of an index file. On any
  // failure the workspace is left exactly as it was. On success the
  // deferred deletions are dropped (their files stay, since the index on
  // disk names them) and the files handed out before are forgotten (gc
  // finds them as orphans). The index file's directory is pinned (kept
  // open, links of the file's last component followed now): the
  // workspace's own saves go there, whatever the working directory or
  // links say later. Paths handed out (mainfile(), getDatadir(), newFile)
  // stay strings built from `mainfile` as given, and the data files are
  // flushed and deleted by those paths, so a program that changes
  // directory opens workspaces by absolute paths.
  void load(const std::string& mainfile);
  // Sweeps the temporary records, completes record 0 and writes the index
  // file atomically: a temporary file beside the target, flushed to disk and
  // renamed over it, after the data files handed out since the last save and
  // the data directory were flushed. On failure the former file is intact
  // and "cannot write file" is thrown (the error names the file that could
  // not be flushed). "cannot find group 0" when there is no record 0.
  // mainfile(), or a path that leads to the same file, is the workspace's
  // own file, written in the pinned directory; any other path is written
  // as it leads now.
  //
  // A save of the workspace's own index file then runs the deferred
  // deletions; one that fails leaves its file as an orphan for `vorla gc`,
  // and does not fail the save, whose index is in place. They wait for a
  // later save if the index file's directory could not be flushed. A save
  // to any other path flushes the new data files too but deletes nothing
  // and forgets nothing: the workspace's own index file still names the
  // files whose deletion waits, and does not name the new ones.
  void save(const std::string& mainfile);
  // save(mainfile()), or nothing when the workspace has no path.
  void save();
  // Drops every change since the index file was last written or read: loads
  // it again and deletes the data files handed out meanwhile (kept, for gc,
  // when a save to another file names them). Fails as load does, changing
  // nothing; "workspace not loaded" when the workspace has no path.
  void revert();

  std::shared_ptr<StructConfig> newStruct();
  std::shared_ptr<StructConfig> newTempStruct();
  // `parent` is the id of the record that will hold the child item.
  std::shared_ptr<StructConfig> newDepStruct(unsigned parent);
  // "cannot find id" when no record has that id.
  std::shared_ptr<StructConfig> getStruct(unsigned id) const;
  bool registered(const StructConfig& rec) const;  // under its id
  // Raises `to`'s internal count; "cannot find id" when `to` is unknown,
  // "reference count overflow" (nothing changed) when the count is at its
  // maximum.
  void addLink(unsigned from, unsigned to);

  // External release; record 0 is never released this way. A release
  // either completes or changes nothing: when a child item on the way of
  // the cascade names no record, it fails with "cannot find id" before any
  // count is lowered or any file deleted. No release ever erases record 0.
  void unlinkStruct(unsigned id);
  // Internal release, with the same guarantees.
  void internalUnlink(unsigned id);
  // Releases every temporary record, in ascending id order. One linked from
  // another record loses its mark and stays as an ordinary record.
  void cleanTemp();

  // A free bare data file name: prefix "_" id "_" "_" draw "_" (the form is
  // described in workspace/file_names.h). "workspace not loaded" while
  // the workspace was never inited or loaded: it has no data directory yet.
  // The next save flushes the file the caller makes there.
  std::string randfile(unsigned id, const std::string& prefix);
  // The full path of a free temporary file name "_" tag "_0__" draw "_";
  // recorded nowhere, owned by the caller. "workspace not loaded" as
  // randfile.
  std::string randtempfile(const std::string& tag);
  // The file prefix of a stored file name: the text before its first "_".
  static std::string decodeFilePrefix(const std::string& name);

  // Copies record `id` of `other` (which may be this workspace), with its
  // data files and child records, into a new ordinary record of this
  // workspace and returns its id. "cyclic link" when the source's child
  // items lead back into the tree being copied, "cannot find id" when one
  // names no record, "copy too large" when it would make more records and
  // items than the copy limit, "system record" for record 0, whose items
  // are the workspace's own; all before anything is made. A copy that
  // fails later (a data file that cannot be copied) removes the records
  // and data files it made and puts the counter back: it changes nothing
  // that was there before it.
  unsigned import(SpaceMan* other, unsigned id);

  // The most records plus items that one copy (import, importcopy) may
  // make. A child record reached through two child items is copied twice,
  // so a small crafted index file can describe a copy of exponential size;
  // the limit is counted in linear time before anything is made.
  static constexpr uint64_t kDefaultCopyLimit = uint64_t(1) << 22;
  void setCopyLimit(uint64_t limit) { copylimit = limit; }
  uint64_t getCopyLimit() const { return copylimit; }

  // The process-wide default workspace, `definst`.
  static SpaceMan* getinst();

 private:
  friend class StructConfig;
  class Eraser;
  struct OnDisk;

  std::shared_ptr<StructConfig> makeRecord(unsigned extref, unsigned intref,
                                           bool temp);
  // Drops every record as it is; temporary ones lose their mark first so
  // that their destruction releases nothing.
  void dropRecords(Registry& registry);
  // Erases `root`'s contents and, in cascade, the records left without
  // references; drops `root` (registered under `key`) from the registry when
  // `remove` is set. Iterative, so deep trees cannot exhaust the stack.
  void erase(StructConfig* root, int key, bool remove);
  // Whether `from` or a record reached from it through child items matches.
  bool anyReachable(
      const StructConfig& from,
      const std::function<bool(const StructConfig&)>& match) const;
  // Whether `target` can be reached from `from` through child items.
  bool reaches(const StructConfig& from, const StructConfig& target) const;
  // Whether `target` (if any) can be reached from `from`, or the child
  // items below `from` lead back to one of their own ancestors.
  bool reachesOrCycles(const StructConfig& from,
                       const StructConfig* target) const;
  // Throws what a copy of `source` into `target` (null for a record yet to
  // be made) must refuse before it starts: "cyclic link", "copy too large".
  void checkCopy(const StructConfig& source, const StructConfig* target) const;
  // Walks what releasing `root` would erase, changing nothing, and throws
  // "cannot find id" when a child item on the way names no record.
  void checkRelease(const StructConfig& root) const;
  // Lowers `rec`'s count (external when `external`) and erases it when that
  // leaves it without references; the release behind unlinkStruct and
  // internalUnlink.
  void release(unsigned id, bool external);
  // Takes the writer lock before `root` is erased, if a file item can be
  // reached from it through child items: the erasure may delete data files.
  void lockBeforeErasing(const StructConfig& root);
  // Deletes the data file `name` (at `path`) at once if it was handed out
  // since the index file on disk was written, else defers its deletion to
  // the next save of that file.
  void eraseDataFile(const std::string& name, const std::string& path);
  // Step (1) of a save: flushes the data files handed out since the last
  // save, then the data directory; "cannot write file" naming the file
  // that failed. Nothing at all when there are none.
  void makeNewFilesDurable();
  // Step (3) of a save of the workspace's own index file: deletes the files
  // whose deletion was deferred and are unchanged since, then flushes the
  // data directory. Never throws.
  void runDeferredDeletions();

  std::string mainpath;
  std::string datadir;
  std::string reldatadir;
  SharedVar<unsigned int> counter;
  std::string version;
  Registry structs;
  uint64_t copylimit = kDefaultCopyLimit;
  // Records whose erasure is under way, so that a cycle of child items read
  // from a hand-edited file never re-enters one.
  std::unordered_set<const StructConfig*> erasing;
  // The writer lock and the deferred deletions (workspace/on_disk.h).
  std::unique_ptr<OnDisk> disk;
  // Bare names of the data files handed out since the index file on disk
  // was written or read: it names none of them.
  std::unordered_set<std::string> newFiles;
  // Whether a save to another index file named some of `newFiles`.
  bool newFilesNamedElsewhere = false;
};

// The process-wide random source of data file names: rand48 seeded once,
// when the library is loaded, from the clock in seconds.
extern boost::rand48 rdengine;
extern boost::uniform_int<int> rddist;
extern boost::variate_generator<boost::rand48&, boost::uniform_int<int> > rnd;

// A bare file name prefix "_" draw "_" suffix at which nothing stands in
// `dir`, not even a dangling symbolic link; at most 20 draws, then "cannot
// create rand file name".
std::string randfilename(const std::string& dir, const std::string& prefix,
                         const std::string& suffix);

}  // namespace vorla

#endif  // VORLA_WORKSPACE_WORKSPACE_H_
