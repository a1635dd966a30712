// SPDX-License-Identifier: MIT
// The record: its typed items, its children, its data files and its
// temporary mark. Its line codec lives in index_format.cpp, its deep copy in
// copy.cpp.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "utils/file_utils.h"
#include "utils/str_utils.h"
#include "workspace/error.h"
#include "workspace/file_names.h"
#include "workspace/format.h"
#include "workspace/index_format.h"
#include "workspace/workspace.h"

namespace vorla {

StructConfig::StructConfig()
    : id(0), extrefcount(0), intrefcount(0), temporary(false), man(nullptr) {}

StructConfig::~StructConfig() {
  // The registry holds every registered record, so a record that is being
  // destroyed is registered nowhere and holds no reference to give back; a
  // workspace that drops its registry clears the temporary marks first. What
  // is left is a record that a caller marked by hand, or whose id it changed:
  // a release by its id would reach another record, so nothing is released.
}

void StructConfig::setType(const std::string& type) {
  index_format::check_text(type);
  index_format::check_fits(sizeof format::kStructTypeKey - 1, type.size());
  structtype = type;
}

void StructConfig::put(std::string name, Item item) {
  if (items.empty() || items.rbegin()->first < name) {
    items.emplace_hint(items.end(), std::move(name), std::move(item));
  } else {
    items[name] = std::move(item);
  }
}

void StructConfig::putPlain(const std::string& name, Item item) {
  index_format::check_name(name);
  ItemMap::iterator it = items.find(name);
  if (it != items.end() && it->second.type != item.type)
    throw Error(Error::CHANGED_IN_TYPE);
  if (format::writes_text(item.type)) index_format::check_text(item.str);
  const size_t length = index_format::line_length(name, item);
  if (length == 0) throw Error(Error::UNREACHABLE);
  if (length - 1 > format::kMaxLine) throw Error(Error::LINE_TOO_LONG);
  if (it != items.end()) {
    it->second = std::move(item);
  } else {
    put(name, std::move(item));
  }
}

void StructConfig::addUInt64(const std::string& name, uint64_t number) {
  putPlain(name, Item(ITEM_UINT64, number));
}

void StructConfig::addStr(const std::string& name, const std::string& text) {
  putPlain(name, Item(ITEM_STR, text));
}

uint64_t StructConfig::getUInt64(const std::string& name) const {
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw Error(Error::CANNOT_FIND_NAME);
  if (it->second.type != ITEM_UINT64) throw Error(Error::WRONG_VARIABLE_TYPE);
  return it->second.value;
}

std::string StructConfig::getStr(const std::string& name) const {
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw Error(Error::CANNOT_FIND_NAME);
  if (it->second.type != ITEM_STR) throw Error(Error::WRONG_VARIABLE_TYPE);
  return it->second.str;
}

void StructConfig::checkRegistered() const {
  if (!man || !man->registered(*this)) throw Error(Error::FOREIGN_RECORD);
}

std::shared_ptr<StructConfig> StructConfig::newChildStruct(
    const std::string& name) {
  checkRegistered();
  index_format::check_name(name);
  if (items.find(name) != items.end()) throw Error(Error::EXISTED);
  // The child's id is not known before it exists; any id fits in ten digits.
  index_format::check_item_fits(name, ITEM_CHILD, format::kIdDigits);
  std::shared_ptr<StructConfig> child = man->newDepStruct(id);
  put(name, Item(ITEM_CHILD, static_cast<uint64_t>(child->id)));
  return child;
}

std::shared_ptr<StructConfig> StructConfig::getChildStruct(
    const std::string& name) {
  checkRegistered();
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw Error(Error::CANNOT_FIND_NAME);
  switch (it->second.type) {
    case ITEM_CHILD:
      return man->getStruct(static_cast<unsigned>(it->second.value));
    case ITEM_EXTCHILD:
      throw Error(Error::CROSS_CHILD);
    default:
      throw Error(Error::WRONG_TYPE);
  }
}

void StructConfig::addIntChild(const std::string& name,
                               const std::shared_ptr<StructConfig>& child) {
  linkChild(name, child, false);
}

void StructConfig::replaceChild(const std::string& name,
                                const std::shared_ptr<StructConfig>& child) {
  linkChild(name, child, items.find(name) != items.end());
}

void StructConfig::linkChild(const std::string& name,
                             const std::shared_ptr<StructConfig>& child,
                             bool replace) {
  checkRegistered();
  index_format::check_name(name);
  if (!child || child->man != man || !man->registered(*child))
    throw Error(Error::FOREIGN_RECORD);
  index_format::check_item_fits(name, ITEM_CHILD,
                                index_format::decimal_digits(child->id));
  if (man->reaches(*child, *this)) throw Error(Error::CYCLIC_LINK);
  // Raised first: a count at its maximum refuses before the item is put,
  // and a former child that leads to `child` must not take it along.
  man->addLink(id, child->id);
  if (!replace) {
    items[name] = Item(ITEM_CHILD, static_cast<uint64_t>(child->id));
    return;
  }
  try {
    eraseItem(name);
  } catch (...) {
    --child->intrefcount;
    throw;
  }
  put(name, Item(ITEM_CHILD, static_cast<uint64_t>(child->id)));
}

void StructConfig::eraseItem(const std::string& name) {
  checkRegistered();
  ItemMap::iterator it = items.find(name);
  if (it == items.end()) throw Error(Error::CANNOT_FIND_NAME);
  const Item item = it->second;
  if (item.type == ITEM_FILE) {
    eraseFile(name);
    // The item goes: a new file of it needs no flush at the next save.
    man->newFiles.erase(item.str);
  } else if (isChildType(item.type)) {
    const unsigned child = static_cast<unsigned>(item.value);
    // A child item that names no record owns nothing.
    if (man->structs.find(SpaceMan::Registry::keyOf(child)) !=
        man->structs.end())
      man->internalUnlink(child);
  }
  // The release may have emptied this very record (a cycle read from a
  // hand-edited file): look the item up again.
  it = items.find(name);
  if (it != items.end()) items.erase(it);
}

std::shared_ptr<StructConfig> StructConfig::newTempStruct() {
  checkRegistered();
  return man->newTempStruct();
}

std::string StructConfig::newFile(const std::string& name) {
  return newFile(name, name);
}

std::string StructConfig::newFile(const std::string& name,
                                  const std::string& prefix) {
  checkRegistered();
  index_format::check_name(name);
  // The prefix becomes part of a bare name inside the data directory and of
  // an index file line.
  if (!file_names::valid_prefix(prefix)) throw Error(Error::INVALID_FILE_NAME);
  if (items.find(name) != items.end()) throw Error(Error::FILE_EXISTED);
  // The stored name is longer than the prefix: a prefix that cannot fit on
  // the line is refused as such before any name is drawn.
  index_format::check_item_fits(name, ITEM_FILE, prefix.size());
  std::string stored = man->randfile(id, prefix);
  index_format::check_item_fits(name, ITEM_FILE, stored.size());
  std::string path = utils::pathadd(man->datadir, stored);
  put(name, Item(ITEM_FILE, std::move(stored)));
  return path;
}

std::string StructConfig::getFile(const std::string& name) const {
  checkRegistered();
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw Error(Error::CANNOT_FIND_NAME);
  if (it->second.type != ITEM_FILE) throw Error(Error::WRONG_VARIABLE_TYPE);
  return utils::pathadd(man->datadir, it->second.str);
}

void StructConfig::eraseFile(const std::string& name) {
  const std::string path = getFile(name);
  man->lockForWriting();
  // A data file that is already gone is no failure, and neither is one that
  // cannot be removed: the record is being emptied either way.
  man->eraseDataFile(items.find(name)->second.str, path);
}

void StructConfig::import_kv(const std::string& key, const std::string& value) {
  std::string name;
  Item item;
  if (index_format::parse_line(*this, key.data(), key.size(), value.data(),
                               value.size(), name, item, std::string(), 0))
    put(std::move(name), std::move(item));
}

void StructConfig::export_kv(std::ostream& out) const {
  // The lines before a failing item still reach the stream.
  struct Flush {
    std::ostream& stream;
    std::string text;
    ~Flush() {
      stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
  } flush{out, std::string()};
  appendSection(flush.text);
}

void StructConfig::appendSection(std::string& out) const {
  index_format::append_section(*this, out);
}

const char* StructConfig::typeName(DataItemType type) {
  return format::item_type(type).name;
}

bool StructConfig::isChildType(DataItemType type) {
  return format::names_record(type);
}

void StructConfig::eraseData() {
  if (!man) return;
  checkRegistered();
  man->checkRelease(*this);
  man->erase(this, 0, false);
}

void StructConfig::close() {
  if (!temporary) return;
  if (man) {
    // A record that is not the one registered under its id (its id changed
    // with setId, or it was never registered) is not found: a release by its
    // id would reach another record, and reporting it released would leave
    // it registered for good. The mark stays, as after any failed release.
    if (!man->registered(*this)) throw Error(Error::CANNOT_FIND_ID);
    man->unlinkStruct(id);
  }
  temporary = false;
}

}  // namespace vorla
