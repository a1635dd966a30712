// SPDX-License-Identifier: MIT
#include "workspace/index_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
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

namespace vorla {
namespace index_format {

namespace {

template <size_t N>
bool ends_with(const char* s, size_t len, const char (&suffix)[N]) {
  return len >= N - 1 && std::memcmp(s + len - (N - 1), suffix, N - 1) == 0;
}

template <size_t N>
bool equals(const char* s, size_t len, const char (&word)[N]) {
  return len == N - 1 && std::memcmp(s, word, N - 1) == 0;
}

// Where a line came from, for the errors that refuse it: the index file
// and the line's number from 1; an empty file and 0 for a line that came
// from elsewhere (import_kv).
struct LinePlace {
  const std::string& file;
  size_t line;

  [[noreturn]] void fail(Error::Code code) const {
    throw Error(code, file, 0, line);
  }
};

template <typename T>
T parse_number(const char* s, size_t len, const LinePlace& at) {
  T result = 0;
  if (!utils::parse_unsigned(s, s + len, &result))
    at.fail(Error::CONVERSION_ERROR);
  return result;
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

}  // namespace

size_t line_length(const std::string& name, const StructConfig::Item& item) {
  const format::ItemType& row = format::item_type(item.type);
  if (!row.suffix) return 0;
  size_t n = name.size() + row.suffixLength + format::kSeparatorLength + 1;
  if (format::writes_number(item.type)) n += decimal_digits(item.value);
  if (row.payload == format::Payload::NUMBER_AND_TEXT) ++n;  // the comma
  if (format::writes_text(item.type)) n += item.str.size();
  return n;
}

void check_name(const std::string& name) {
  if (!valid_name(name)) throw Error(Error::INVALID_NAME);
}

void check_text(const std::string& text) {
  if (!valid_text(text)) throw Error(Error::INVALID_TEXT);
}

void check_fits(size_t keylen, size_t valuelen) {
  if (!fits(keylen, valuelen)) throw Error(Error::LINE_TOO_LONG);
}

void check_item_fits(const std::string& name, StructConfig::DataItemType type,
                     size_t valuelen) {
  check_fits(name.size() + format::item_type(type).suffixLength, valuelen);
}

void check_data_dir_name(const std::string& rel) {
  if (!valid_text(rel) || utils::has_nul(rel) ||
      (!rel.empty() &&
       (utils::is_space(rel.front()) || utils::is_space(rel.back()))))
    throw Error(Error::INVALID_TEXT, rel);
  if (!fits(sizeof format::kRelDataDirKey - 1, rel.size()))
    throw Error(Error::LINE_TOO_LONG, rel);
  if (!contained_dir(rel)) throw Error(Error::INVALID_FILE_NAME, rel);
}

using namespace format;

namespace {

// Applies a record attribute line ("..._sys") to `rec`.
void apply_attribute(StructConfig& rec, const char* key, size_t keylen,
                     const char* value, size_t valuelen, const LinePlace& at) {
  if (equals(key, keylen, kStructTypeKey)) {
    if (!fits(keylen, valuelen)) at.fail(Error::LINE_TOO_LONG);
    rec.structtype = std::string(value, valuelen);
  } else if (equals(key, keylen, kExtRefKey)) {
    rec.extrefcount = parse_number<unsigned int>(value, valuelen, at);
  } else if (equals(key, keylen, kIntRefKey)) {
    rec.intrefcount = parse_number<unsigned int>(value, valuelen, at);
  } else {
    at.fail(Error::UNKNOWN_SYS_VAR);
  }
}

}  // namespace

// Turns the lines of an index file into records of a new registry.
class Reader {
 public:
  typedef SpaceMan::Registry Registry;

  Reader(SpaceMan* owner, Registry& target, const std::string& path)
      : ws(owner), registry(target), file(path) {}

  // The number of the line that the next call to line() reads.
  size_t next() const { return lineno + 1; }

  void line(const char* b, const char* e) {
    ++lineno;
    const LinePlace at{file, lineno};
    if (static_cast<size_t>(e - b) > kMaxLine) at.fail(Error::LINE_TOO_LONG);
    while (b < e && utils::is_space(*b)) ++b;
    while (e > b && utils::is_space(e[-1])) --e;
    if (b == e || *b == ';' || *b == '#') return;
    if (*b == '[') {
      // The last character is taken to be the closing bracket.
      const char* idend = e - b >= 2 ? e - 1 : b + 1;
      section(parse_number<unsigned int>(b + 1, idend - (b + 1), at), at);
      return;
    }
    const char* eq = static_cast<const char*>(std::memchr(b, '=', e - b));
    if (!eq || !current) at.fail(Error::CANNOT_PARSE_LINE);
    const char* ke = eq;
    while (ke > b && utils::is_space(ke[-1])) --ke;
    const char* vb = eq + 1;
    while (vb < e && utils::is_space(*vb)) ++vb;
    if (pending.size() == used) pending.emplace_back();
    StructConfig::ItemSequence::value_type& slot = pending[used];
    if (parse_line(*current, b, static_cast<size_t>(ke - b), vb,
                   static_cast<size_t>(e - vb), slot.first, slot.second, file,
                   lineno)) {
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
  void section(unsigned id, const LinePlace& at) {
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
    if (unordered && !seen.insert(key).second) at.fail(Error::DUPLICATED_ENTRY);
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
  const std::string& file;
  size_t lineno = 0;
  std::unordered_set<int> seen;
  bool unordered = false;
  StructConfig* current = nullptr;
  // The item lines of the current section, in a vector that is reused from
  // section to section.
  StructConfig::ItemSequence pending;
  size_t used = 0;
  bool ordered = true;
};

void read_index(SpaceMan* owner, const std::string& file, int dirfd,
                const std::string& name, SpaceMan::Registry& fresh,
                utils::FileIdentity* seen, utils::OwnedFd* opened) {
  // Read through the pinned directory, so that the version read is the one
  // a later save compares and replaces. A FIFO or a device at the path
  // would block the read or act on it.
  const int fd = utils::open_regular_at(dirfd, name);
  if (fd < 0) throw Error(Error::CANNOT_OPEN_FILE, file, errno);
  utils::OwnedFd closer(fd);
  // The version read, for the writer lock's check before a later write.
  if (!utils::identity_of(fd, seen))
    throw Error(Error::CANNOT_OPEN_FILE, file, errno);
  Reader reader(owner, fresh, file);
  std::vector<char> buf(kChunk);
  size_t have = 0;
  for (;;) {
    const ssize_t n = utils::retry_eintr(
        [&] { return ::read(fd, buf.data() + have, buf.size() - have); });
    // A read error must not pass for the end of the file.
    if (n < 0) throw Error(Error::CANNOT_OPEN_FILE, file, errno);
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
    if (rest > kMaxLine)
      throw Error(Error::LINE_TOO_LONG, file, 0, reader.next());
    std::memmove(buf.data(), p, rest);
    have = rest;
  }
  if (have > 0) reader.line(buf.data(), buf.data() + have);
  reader.end();
  // Kept open by the writer lock, so that no later version can take its
  // inode while this image lives.
  *opened = std::move(closer);
}

void write_records(int fd, const SpaceMan::Registry& registry,
                   const std::string& path) {
  std::string buf;
  buf.reserve(kChunk + 2 * kMaxLine);
  for (const SpaceMan::Registry::value_type& entry : registry) {
    append_section(*entry.second, buf);
    if (buf.size() >= kChunk) {
      utils::write_all(fd, buf.data(), buf.size(), path);
      buf.clear();
    }
  }
  utils::write_all(fd, buf.data(), buf.size(), path);
}

bool parse_line(StructConfig& rec, const char* key, size_t keylen,
                const char* value, size_t valuelen, std::string& name,
                StructConfig::Item& item, const std::string& file,
                size_t line) {
  const LinePlace at{file, line};
  const ItemType* row = nullptr;
  for (const ItemType& r : kItemTypes) {
    if (r.suffix && keylen >= r.suffixLength &&
        std::memcmp(key + keylen - r.suffixLength, r.suffix, r.suffixLength) ==
            0) {
      row = &r;
      break;
    }
  }
  if (!row) {
    if (!ends_with(key, keylen, kSysSuffix))
      at.fail(Error::UNIDENTIFIED_SUFFIX);
    apply_attribute(rec, key, keylen, value, valuelen, at);
    return false;
  }
  const size_t namelen = keylen - row->suffixLength;
  // A stored file name is a bare name inside the data directory; anything
  // else would let a crafted index file make an erasure or a copy reach
  // files outside it.
  if (row->owns == Owns::DATA_FILE && !plain_file_name(value, valuelen))
    at.fail(Error::INVALID_FILE_NAME);
  switch (row->payload) {
    case Payload::NUMBER:
      item.value = parse_number<unsigned long>(value, valuelen, at);
      item.str.clear();
      break;
    case Payload::TEXT:
      item.value = 0;
      // Constructed rather than assigned: assigning to an empty string
      // reserves at least twice the short-string capacity.
      item.str = std::string(value, valuelen);
      break;
    case Payload::NUMBER_AND_TEXT: {
      const char* comma =
          static_cast<const char*>(std::memchr(value, ',', valuelen));
      const size_t numlen =
          comma ? static_cast<size_t>(comma - value) : valuelen;
      item.value = parse_number<unsigned long>(value, numlen, at);
      // Without a comma the whole value is the text as well.
      item.str =
          comma ? utils::trim(std::string(comma + 1, valuelen - numlen - 1))
                : utils::trim(std::string(value, valuelen));
      break;
    }
    case Payload::NONE:
      at.fail(Error::UNREACHABLE);
  }
  item.type = row->type;
  name.assign(key, namelen);
  // A line that loads must save to a line that loads: save writes " = "
  // around the value, and an extchild's number and comma in full.
  if (line_length(name, item) - 1 > kMaxLine) at.fail(Error::LINE_TOO_LONG);
  return true;
}

void append_section(const StructConfig& rec, std::string& out) {
  const StructConfig::ItemMap& items = rec.items;
  // Measure first; an item that no line can carry ends the section there,
  // after the lines before it.
  size_t length = 3 + decimal_digits(rec.id);
  StructConfig::ItemMap::const_iterator bad = items.begin();
  for (; bad != items.end(); ++bad) {
    const size_t n = line_length(bad->first, bad->second);
    if (n == 0) break;
    length += n;
  }
  const bool complete = bad == items.end();
  if (complete) {
    const size_t attributes = sizeof kExtRefKey + sizeof kIntRefKey +
                              sizeof kStructTypeKey - 3 +
                              3 * (kSeparatorLength + 1);
    length += attributes + decimal_digits(rec.extrefcount) +
              decimal_digits(rec.intrefcount) + rec.structtype.size() + 1;
  }
  const size_t start = out.size();
  out.resize(start + length);
  SectionWriter w(&out[start]);
  w.put('[');
  w.number(rec.id);
  w.put("]\n");
  for (StructConfig::ItemMap::const_iterator it = items.begin(); it != bad;
       ++it) {
    const StructConfig::Item& item = it->second;
    const ItemType& row = item_type(item.type);
    w.put(it->first);
    w.put(row.suffix, row.suffixLength);
    w.put(kSeparator);
    if (writes_number(item.type)) w.number(item.value);
    if (row.payload == Payload::NUMBER_AND_TEXT) w.put(',');
    if (writes_text(item.type)) w.put(item.str);
    w.put('\n');
  }
  if (!complete) throw Error(Error::UNREACHABLE);
  w.put(kExtRefKey);
  w.put(kSeparator);
  w.number(rec.extrefcount);
  w.put('\n');
  w.put(kIntRefKey);
  w.put(kSeparator);
  w.number(rec.intrefcount);
  w.put('\n');
  w.put(kStructTypeKey);
  w.put(kSeparator);
  w.put(rec.structtype);
  w.put("\n\n");
}

}  // namespace index_format
}  // namespace vorla
