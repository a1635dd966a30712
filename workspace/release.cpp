// SPDX-License-Identifier: MIT
// Release and removal: reference counts lowered from outside and by child
// items, the erasure of records left without references (their data files
// deleted and their children released, in cascade), and the sweep of
// temporary records.

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "workspace/error.h"
#include "workspace/format.h"
#include "workspace/on_disk.h"
#include "workspace/workspace.h"

namespace vorla {

void SpaceMan::unlinkStruct(unsigned id) {
  if (id == 0) return;
  release(id, true);
}

void SpaceMan::internalUnlink(unsigned id) { release(id, false); }

void SpaceMan::release(unsigned id, bool external) {
  Registry::const_iterator it = structs.find(Registry::keyOf(id));
  if (it == structs.end()) throw Error(Error::CANNOT_FIND_ID);
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
  if (erases) erase(rec, Registry::keyOf(id), true);
}

void SpaceMan::checkRelease(const StructConfig& root) const {
  // Most records own no child: nothing to look up.
  bool children = false;
  for (const StructConfig::ItemMap::value_type& entry : root.items) {
    if (format::names_record(entry.second.type)) {
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
      if (!format::names_record(item.type)) continue;
      const int childkey = Registry::keyOf(static_cast<unsigned>(item.value));
      Registry::const_iterator it = structs.find(childkey);
      if (it == structs.end()) throw Error(Error::CANNOT_FIND_ID);
      const StructConfig* child = it->second.get();
      unsigned& low = lowered[child];
      if (child->intrefcount > low) ++low;
      if (child->extrefcount == 0 && child->intrefcount == low &&
          childkey != 0 && doomed.insert(child).second)
        todo.push_back(child);
    }
  }
}

// Erases records depth first, items in name order: a child's own children
// are released before the parent's next child. Records on the stack are in
// the workspace's `erasing` set, so a cycle of child items never re-enters
// one of them. Iterative, so deep trees cannot exhaust the stack.
class SpaceMan::Eraser {
 public:
  explicit Eraser(SpaceMan& owner) : ws(owner) {}

  // On failure the records under way stay registered, items and marks
  // unchanged, and may be released again later.
  ~Eraser() {
    for (const Frame& f : stack) ws.erasing.erase(f.rec);
  }

  void run(StructConfig* root, int key, bool remove) {
    Registry::const_iterator self = ws.structs.find(key);
    push(root, self != ws.structs.end() ? self->second : nullptr, key, remove);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == top.rec->items.size()) {
        finishTop();
      } else {
        const StructConfig::ItemMap::value_type& entry =
            *top.rec->items.nth(top.next++);
        eraseItem(top.rec, entry.first, entry.second);
      }
    }
  }

 private:
  struct Frame {
    StructConfig* rec;
    std::shared_ptr<StructConfig> keep;
    int key;
    bool remove;
    size_t next;
  };

  void push(StructConfig* rec, std::shared_ptr<StructConfig> keep, int key,
            bool remove) {
    ws.erasing.insert(rec);
    stack.push_back(Frame{rec, std::move(keep), key, remove, 0});
  }

  // Every item of the top record is done: empty it and drop it.
  void finishTop() {
    const Frame done = stack.back();
    done.rec->temporary = false;
    done.rec->items.clear();
    stack.pop_back();
    ws.erasing.erase(done.rec);
    if (done.remove) {
      Registry::const_iterator it = ws.structs.find(done.key);
      if (it != ws.structs.end() && it->second.get() == done.rec)
        ws.structs.erase(it);
    }
  }

  void eraseItem(StructConfig* rec, const std::string& name,
                 const StructConfig::Item& item) {
    if (format::owns_file(item.type)) {
      rec->eraseFile(name);
      // The item goes with the record: a new file of it needs no flush.
      ws.newFiles.erase(item.str);
      return;
    }
    if (!format::names_record(item.type)) return;
    const int childkey = Registry::keyOf(static_cast<unsigned>(item.value));
    Registry::const_iterator it = ws.structs.find(childkey);
    // checkRelease found every child registered: one missing now was erased
    // earlier in this very cascade (a crafted file may name a record more
    // often than its count says), and owes nothing more.
    if (it == ws.structs.end()) return;
    StructConfig* child = it->second.get();
    if (child->intrefcount > 0) --child->intrefcount;
    if (child->extrefcount == 0 && child->intrefcount == 0 && childkey != 0 &&
        !ws.erasing.count(child))
      push(child, it->second, childkey, true);
  }

  SpaceMan& ws;
  std::vector<Frame> stack;
};

void SpaceMan::erase(StructConfig* root, int key, bool remove) {
  lockBeforeErasing(*root);
  Eraser(*this).run(root, key, remove);
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

void SpaceMan::lockBeforeErasing(const StructConfig& root) {
  if (disk->writer.current()) return;
  const bool ownsFiles = anyReachable(root, [](const StructConfig& rec) {
    for (const StructConfig::ItemMap::value_type& entry : rec.items)
      if (format::owns_file(entry.second.type)) return true;
    return false;
  });
  if (ownsFiles) lockForWriting();
}

}  // namespace vorla
