// The record: typed items, the line codec of its section of the index file,
// its data files, its children and its deep copy.

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
#include "workspace/line_form.h"
#include "workspace/workspace.h"

namespace vorla {

namespace {

const char kUInt64Suffix[] = "_uint64";
const char kStrSuffix[] = "_str";
const char kFileSuffix[] = "_file";
const char kChildSuffix[] = "_child";
const char kExtChildSuffix[] = "_extchild";
const char kSysSuffix[] = "_sys";
const char kSeparator[] = " = ";

// The most decimal digits that a record id can have.
const size_t kIdDigits = 10;

template <size_t N>
bool ends_with(const char* s, size_t len, const char (&suffix)[N]) {
  return len >= N - 1 && std::memcmp(s + len - (N - 1), suffix, N - 1) == 0;
}

template <size_t N>
bool equals(const char* s, size_t len, const char (&word)[N]) {
  return len == N - 1 && std::memcmp(s, word, N - 1) == 0;
}

template <typename T>
T parse_number(const char* s, size_t len) {
  return utils::strto<T>(std::string(s, len));
}

// Writes a section into a string through a raw cursor, after the string has
// been grown once by the section's exact length: saving a large workspace
// appends millions of short pieces, and growing and checking bounds for each
// of them would cost more than the copying.
class SectionWriter {
 public:
  explicit SectionWriter(char* start) : p(start) {}

  void put(const char* s, size_t n) {
    std::memcpy(p, s, n);
    p += n;
  }
  template <size_t N>
  void put(const char (&s)[N]) {
    put(s, N - 1);
  }
  void put(const std::string& s) { put(s.data(), s.size()); }
  void put(char c) { *p++ = c; }
  void number(uint64_t v) { p = std::to_chars(p, p + 20, v).ptr; }

 private:
  char* p;
};

const char kExtRef[] = "extrefcount_sys = ";
const char kIntRef[] = "\nintrefcount_sys = ";
const char kType[] = "\nstructtype_sys = ";

// The key suffix of an item type; null for a type that no line can carry.
const char* suffix_of(StructConfig::DataItemType type) {
  switch (type) {
    case StructConfig::ITEM_UINT64:
      return kUInt64Suffix;
    case StructConfig::ITEM_STR:
      return kStrSuffix;
    case StructConfig::ITEM_FILE:
      return kFileSuffix;
    case StructConfig::ITEM_CHILD:
      return kChildSuffix;
    case StructConfig::ITEM_EXTCHILD:
      return kExtChildSuffix;
    default:
      return nullptr;
  }
}

// Numbers and child ids are written as `value`, texts and file names as
// `str`, an extchild as both.
bool writes_value(StructConfig::DataItemType type) {
  return type == StructConfig::ITEM_UINT64 ||
         type == StructConfig::ITEM_CHILD ||
         type == StructConfig::ITEM_EXTCHILD;
}

bool writes_text(StructConfig::DataItemType type) {
  return type == StructConfig::ITEM_STR || type == StructConfig::ITEM_FILE ||
         type == StructConfig::ITEM_EXTCHILD;
}

// The length of an item's line, line feed included; 0 for an item that no
// line can carry.
size_t line_length(const std::string& name, const StructConfig::Item& item) {
  const char* suffix = suffix_of(item.type);
  if (!suffix) return 0;
  size_t n = name.size() + std::strlen(suffix) + (sizeof kSeparator - 1) + 1;
  if (writes_value(item.type)) n += line_form::decimal_digits(item.value);
  if (item.type == StructConfig::ITEM_EXTCHILD) ++n;  // the comma
  if (writes_text(item.type)) n += item.str.size();
  return n;
}

void check_name(const std::string& name) {
  if (!line_form::valid_name(name)) throw std::runtime_error("invalid name");
}

void check_text(const std::string& text) {
  if (!line_form::valid_text(text)) throw std::runtime_error("invalid text");
}

void check_fits(size_t keylen, size_t valuelen) {
  if (!line_form::fits(keylen, valuelen))
    throw std::runtime_error("line too long");
}

}  // namespace

StructConfig::StructConfig()
    : id(0), extrefcount(0), intrefcount(0), temporary(false), man(nullptr) {}

StructConfig::~StructConfig() {
  // The registry holds every registered record, so a record that is being
  // destroyed is registered nowhere; a workspace that drops its registry
  // clears the temporary marks first. What is left is a record that a caller
  // marked by hand.
  if (temporary) close();
}

void StructConfig::setType(const std::string& type) {
  check_text(type);
  check_fits(sizeof "structtype" + sizeof kSysSuffix - 2, type.size());
  structtype = type;
}

void StructConfig::put(std::string name, Item item) {
  if (items.empty() || items.rbegin()->first < name) {
    items.emplace_hint(items.end(), std::move(name), std::move(item));
  } else {
    items[name] = std::move(item);
  }
}

void StructConfig::addUInt64(const std::string& name, uint64_t number) {
  check_name(name);
  ItemMap::iterator it = items.find(name);
  if (it != items.end() && it->second.type != ITEM_UINT64)
    throw std::runtime_error("changed in type");
  check_fits(name.size() + sizeof kUInt64Suffix - 1,
             line_form::decimal_digits(number));
  if (it != items.end()) {
    it->second.value = number;
  } else {
    put(name, Item(ITEM_UINT64, number));
  }
}

void StructConfig::addStr(const std::string& name, const std::string& text) {
  check_name(name);
  ItemMap::iterator it = items.find(name);
  if (it != items.end() && it->second.type != ITEM_STR)
    throw std::runtime_error("changed in type");
  check_text(text);
  check_fits(name.size() + sizeof kStrSuffix - 1, text.size());
  if (it != items.end()) {
    it->second.str = text;
  } else {
    put(name, Item(ITEM_STR, text));
  }
}

uint64_t StructConfig::getUInt64(const std::string& name) const {
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw std::runtime_error("cannot find name");
  if (it->second.type != ITEM_UINT64)
    throw std::runtime_error("wrong variable type");
  return it->second.value;
}

std::string StructConfig::getStr(const std::string& name) const {
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw std::runtime_error("cannot find name");
  if (it->second.type != ITEM_STR)
    throw std::runtime_error("wrong variable type");
  return it->second.str;
}

void StructConfig::checkRegistered() const {
  if (!man || !man->registered(*this))
    throw std::runtime_error("foreign record");
}

std::shared_ptr<StructConfig> StructConfig::newChildStruct(
    const std::string& name) {
  checkRegistered();
  check_name(name);
  if (items.find(name) != items.end()) throw std::runtime_error("existed");
  // The child's id is not known before it exists; any id fits in ten digits.
  check_fits(name.size() + sizeof kChildSuffix - 1, kIdDigits);
  std::shared_ptr<StructConfig> child = man->newDepStruct(id);
  put(name, Item(ITEM_CHILD, static_cast<uint64_t>(child->id)));
  return child;
}

std::shared_ptr<StructConfig> StructConfig::getChildStruct(
    const std::string& name) {
  checkRegistered();
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw std::runtime_error("cannot find name");
  switch (it->second.type) {
    case ITEM_CHILD:
      return man->getStruct(static_cast<unsigned>(it->second.value));
    case ITEM_EXTCHILD:
      throw std::runtime_error("unimplemented feature 'cross child'");
    default:
      throw std::runtime_error("wrong type");
  }
}

void StructConfig::addIntChild(const std::string& name,
                               const std::shared_ptr<StructConfig>& child) {
  checkRegistered();
  check_name(name);
  if (!child || child->man != man || !man->registered(*child))
    throw std::runtime_error("foreign record");
  check_fits(name.size() + sizeof kChildSuffix - 1,
             line_form::decimal_digits(child->id));
  if (man->reaches(*child, *this)) throw std::runtime_error("cyclic link");
  // Raised first: a count at its maximum refuses before the item is put.
  man->addLink(id, child->id);
  items[name] = Item(ITEM_CHILD, static_cast<uint64_t>(child->id));
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
  check_name(name);
  // The prefix becomes part of a bare name inside the data directory and of
  // an index file line.
  if (prefix.find_first_of(std::string("/\\\r\n\0", 5)) != std::string::npos)
    throw std::runtime_error("invalid file name");
  if (items.find(name) != items.end()) throw std::runtime_error("file existed");
  std::string stored = man->randfile(id, prefix);
  check_fits(name.size() + sizeof kFileSuffix - 1, stored.size());
  std::string path = utils::pathadd(man->datadir, stored);
  put(name, Item(ITEM_FILE, std::move(stored)));
  return path;
}

std::string StructConfig::getFile(const std::string& name) const {
  checkRegistered();
  ItemMap::const_iterator it = items.find(name);
  if (it == items.end()) throw std::runtime_error("cannot find name");
  if (it->second.type != ITEM_FILE)
    throw std::runtime_error("wrong variable type");
  return utils::pathadd(man->datadir, it->second.str);
}

void StructConfig::eraseFile(const std::string& name) {
  const std::string path = getFile(name);
  man->lockForWriting();
  // A data file that is already gone is no failure, and neither is one that
  // cannot be removed: the record is being emptied either way.
  if (utils::file_exists(path)) std::remove(path.c_str());
}

void StructConfig::import_kv(const std::string& key, const std::string& value) {
  std::string name;
  Item item;
  if (parseLine(key.data(), key.size(), value.data(), value.size(), name, item))
    put(std::move(name), std::move(item));
}

bool StructConfig::parseLine(const char* key, size_t keylen, const char* value,
                             size_t valuelen, std::string& name, Item& item) {
  size_t namelen;
  if (ends_with(key, keylen, kUInt64Suffix)) {
    namelen = keylen - (sizeof kUInt64Suffix - 1);
    item.value = parse_number<unsigned long>(value, valuelen);
    item.type = ITEM_UINT64;
    item.str.clear();
  } else if (ends_with(key, keylen, kStrSuffix)) {
    namelen = keylen - (sizeof kStrSuffix - 1);
    item.type = ITEM_STR;
    item.value = 0;
    // Constructed rather than assigned: assigning to an empty string
    // reserves at least twice the short-string capacity.
    item.str = std::string(value, valuelen);
  } else if (ends_with(key, keylen, kFileSuffix)) {
    // A stored file name is a bare name inside the data directory; anything
    // else would let a crafted index file make an erasure or a copy reach
    // files outside it.
    if (!line_form::plain_file_name(value, valuelen))
      throw std::runtime_error("invalid file name");
    namelen = keylen - (sizeof kFileSuffix - 1);
    item.type = ITEM_FILE;
    item.value = 0;
    item.str = std::string(value, valuelen);
  } else if (ends_with(key, keylen, kChildSuffix)) {
    namelen = keylen - (sizeof kChildSuffix - 1);
    item.value = parse_number<unsigned long>(value, valuelen);
    item.type = ITEM_CHILD;
    item.str.clear();
  } else if (ends_with(key, keylen, kExtChildSuffix)) {
    namelen = keylen - (sizeof kExtChildSuffix - 1);
    const char* comma =
        static_cast<const char*>(std::memchr(value, ',', valuelen));
    const size_t numlen = comma ? static_cast<size_t>(comma - value) : valuelen;
    item.value = parse_number<unsigned long>(value, numlen);
    item.type = ITEM_EXTCHILD;
    // Without a comma the whole value is the text as well.
    item.str = comma
                   ? utils::trim(std::string(comma + 1, valuelen - numlen - 1))
                   : utils::trim(std::string(value, valuelen));
  } else if (ends_with(key, keylen, kSysSuffix)) {
    if (equals(key, keylen, "structtype_sys")) {
      check_fits(keylen, valuelen);
      structtype = std::string(value, valuelen);
    } else if (equals(key, keylen, "extrefcount_sys")) {
      extrefcount = parse_number<unsigned int>(value, valuelen);
    } else if (equals(key, keylen, "intrefcount_sys")) {
      intrefcount = parse_number<unsigned int>(value, valuelen);
    } else {
      throw std::runtime_error("unknown sys var");
    }
    return false;
  } else {
    throw std::runtime_error("unindentified suffix");
  }
  name.assign(key, namelen);
  // A line that loads must save to a line that loads: save writes " = "
  // around the value, and an extchild's number and comma in full.
  if (line_length(name, item) - 1 > line_form::kMaxLine)
    throw std::runtime_error("line too long");
  return true;
}

void StructConfig::appendSection(std::string& out) const {
  // Measure first; an item that no line can carry ends the section there,
  // after the lines before it.
  size_t length = 3 + line_form::decimal_digits(id);
  ItemMap::const_iterator bad = items.begin();
  for (; bad != items.end(); ++bad) {
    const size_t n = line_length(bad->first, bad->second);
    if (n == 0) break;
    length += n;
  }
  const bool complete = bad == items.end();
  if (complete) {
    length += (sizeof kExtRef - 1) + line_form::decimal_digits(extrefcount) +
              (sizeof kIntRef - 1) + line_form::decimal_digits(intrefcount) +
              (sizeof kType - 1) + structtype.size() + 2;
  }
  const size_t start = out.size();
  out.resize(start + length);
  SectionWriter w(&out[start]);
  w.put('[');
  w.number(id);
  w.put("]\n");
  for (ItemMap::const_iterator it = items.begin(); it != bad; ++it) {
    const Item& item = it->second;
    const char* suffix = suffix_of(item.type);
    w.put(it->first);
    w.put(suffix, std::strlen(suffix));
    w.put(kSeparator);
    if (writes_value(item.type)) w.number(item.value);
    if (item.type == ITEM_EXTCHILD) w.put(',');
    if (writes_text(item.type)) w.put(item.str);
    w.put('\n');
  }
  if (!complete) throw std::runtime_error("imposible to reach here");
  w.put(kExtRef);
  w.number(extrefcount);
  w.put(kIntRef);
  w.number(intrefcount);
  w.put(kType);
  w.put(structtype);
  w.put("\n\n");
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

void StructConfig::importcopy(std::shared_ptr<StructConfig> source) {
  checkRegistered();
  if (!source) throw std::runtime_error("foreign record");
  source->checkRegistered();
  man->checkCopy(*source, this);
  man->lockForWriting();

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
    switch (item.type) {
      case ITEM_UINT64:
        dst->addUInt64(name, item.value);
        break;
      case ITEM_STR:
        dst->addStr(name, item.str);
        break;
      case ITEM_FILE: {
        const std::string path =
            dst->newFile(name, SpaceMan::decodeFilePrefix(item.str));
        utils::copyfile(utils::pathadd(src->man->datadir, item.str), path);
        break;
      }
      case ITEM_CHILD: {
        std::shared_ptr<StructConfig> child = dst->newChildStruct(name);
        std::shared_ptr<StructConfig> srcchild = src->getChildStruct(name);
        child->structtype = srcchild->structtype;
        stack.push_back(Frame{child.get(), child, srcchild, 0});
        break;
      }
      case ITEM_EXTCHILD:
        throw std::runtime_error("unsupported child type");
      default:
        throw std::runtime_error("imposible to reach here");
    }
  }
}

void StructConfig::eraseData() {
  if (!man) return;
  checkRegistered();
  man->checkRelease(*this);
  man->erase(this, 0, false);
}

void StructConfig::close() {
  if (!temporary) return;
  // A record that is no longer registered holds no reference to give back
  // (and a release by its id would reach another record).
  if (man && man->registered(*this)) man->unlinkStruct(id);
  temporary = false;
}

}  // namespace vorla
