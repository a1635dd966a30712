// SPDX-License-Identifier: MIT
// The deep copy of a record: its type, items, new data files and new child
// records, from one workspace into another (or the same one).

#include <algorithm>
#include <cstdint>
#include <cstdio>  // remove
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/file_utils.h"
#include "workspace/error.h"
#include "workspace/format.h"
#include "workspace/workspace.h"

namespace vorla {

unsigned SpaceMan::import(SpaceMan* other, unsigned id) {
  // A copy of record 0 would be a second system record in the target.
  if (id == 0) throw Error(Error::SYSTEM_RECORD);
  std::shared_ptr<StructConfig> source = other->getStruct(id);
  // Refused copies make no record.
  checkCopy(*source, nullptr);
  lockForWriting();
  const unsigned before = counter.get();
  std::shared_ptr<StructConfig> rec = newStruct();
  // A failed copy changes nothing that was there before it: the records it
  // made go again with their data files, and the counter goes back. Only
  // the copy's own records are reached: every child item of the tree below
  // its new record was made by the copy. Undone as the error unwinds, so
  // it never throws.
  struct Undo {
    SpaceMan& ws;
    StructConfig* made;
    unsigned counter;
    bool committed;
    ~Undo() {
      if (committed) return;
      std::vector<int> keys;
      std::vector<const StructConfig*> todo(1, made);
      while (!todo.empty()) {
        const StructConfig* r = todo.back();
        todo.pop_back();
        keys.push_back(Registry::keyOf(r->id));
        for (const StructConfig::ItemMap::value_type& entry : r->items) {
          const StructConfig::Item& item = entry.second;
          if (format::owns_file(item.type)) {
            std::remove(utils::pathadd(ws.datadir, item.str).c_str());
          } else if (item.type == StructConfig::ITEM_CHILD) {
            Registry::const_iterator it = ws.structs.find(
                Registry::keyOf(static_cast<unsigned>(item.value)));
            if (it != ws.structs.end()) todo.push_back(it->second.get());
          }
        }
      }
      for (int key : keys) {
        Registry::const_iterator it = ws.structs.find(key);
        if (it != ws.structs.end()) ws.structs.erase(it);
      }
      ws.counter.set(counter);
    }
  } undo{*this, rec.get(), before, false};
  rec->copyTree(source);
  undo.committed = true;
  return rec->id;
}

void SpaceMan::checkCopy(const StructConfig& source,
                         const StructConfig* target) const {
  // A tree whose child items lead back into itself, or to the record that
  // receives the copy, would be copied without end.
  const SpaceMan& from = *source.man;
  if (from.reachesOrCycles(source, target)) throw Error(Error::CYCLIC_LINK);
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
        from.structs.find(Registry::keyOf(static_cast<unsigned>(item.value)));
    // A child that is not there would be named by the first record the copy
    // makes under its id, within one workspace, and the copy would grow
    // through its own new records: refused before anything is made.
    if (it == from.structs.end()) throw Error(Error::CANNOT_FIND_ID);
    const StructConfig* child = it->second.get();
    std::unordered_map<const StructConfig*, uint64_t>::const_iterator known =
        made.find(child);
    if (known != made.end()) {
      top.total = std::min(over, top.total + known->second);
    } else {
      stack.push_back(Frame{child, 0, 1 + child->items.size()});
    }
  }
  if (total > copylimit) throw Error(Error::COPY_TOO_LARGE);
}

void StructConfig::importcopy(std::shared_ptr<StructConfig> source) {
  checkRegistered();
  if (!source) throw Error(Error::FOREIGN_RECORD);
  source->checkRegistered();
  man->checkCopy(*source, this);
  man->lockForWriting();
  copyTree(source);
}

void StructConfig::copyTree(const std::shared_ptr<StructConfig>& source) {
  struct Frame {
    StructConfig* dst;
    std::shared_ptr<StructConfig> keep;
    std::shared_ptr<StructConfig> src;
    size_t next;
  };
  std::vector<Frame> stack;
  structtype = source->structtype;
  stack.push_back(Frame{this, nullptr, source, 0});
  while (!stack.empty()) {
    StructConfig* dst = stack.back().dst;
    std::shared_ptr<StructConfig> src = stack.back().src;
    if (stack.back().next == src->items.size()) {
      stack.pop_back();
      continue;
    }
    const ItemMap::value_type& entry = *src->items.nth(stack.back().next++);
    const std::string& name = entry.first;
    const Item& item = entry.second;
    switch (format::item_type(item.type).owns) {
      case format::Owns::NOTHING:
        dst->putPlain(name, item);
        break;
      case format::Owns::DATA_FILE: {
        const std::string path =
            dst->newFile(name, SpaceMan::decodeFilePrefix(item.str));
        utils::copyfile(utils::pathadd(src->man->datadir, item.str), path);
        break;
      }
      case format::Owns::RECORD: {
        // Only a child record of the source's own workspace can be copied.
        if (item.type != ITEM_CHILD) throw Error(Error::UNSUPPORTED_CHILD_TYPE);
        std::shared_ptr<StructConfig> child = dst->newChildStruct(name);
        std::shared_ptr<StructConfig> srcchild = src->getChildStruct(name);
        child->structtype = srcchild->structtype;
        stack.push_back(Frame{child.get(), child, srcchild, 0});
        break;
      }
    }
  }
}

}  // namespace vorla
