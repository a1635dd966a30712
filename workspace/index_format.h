// SPDX-License-Identifier: MIT
// What the index file's format can carry, and the writer of a record's
// section and the reader of a whole file (index_format.cpp). The format's
// facts themselves (suffixes, keys, the system record, the item types) are
// in workspace/format.h.
//
// A line is cut at its first "=", key and value are trimmed, a leading "["
// makes a section header and a leading ";" or "#" a comment, and lines
// longer than kMaxLine are refused. Whatever cannot pass through that is
// refused when it is put into a record, and whatever the reader takes is
// written back in a form that it takes again, so that a file that loads
// always saves to a file that loads to the same records.

#ifndef VORLA_WORKSPACE_INDEX_FORMAT_H_
#define VORLA_WORKSPACE_INDEX_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "utils/posix_file.h"
#include "utils/str_utils.h"
#include "workspace/format.h"
#include "workspace/workspace.h"

namespace vorla {
namespace index_format {

// Reads and writes of the index file go through buffers of this size:
// large enough to keep system calls rare, small enough that a large index
// file is never held in memory whole.
const size_t kChunk = 1 << 16;

// An item name: no "=" or line break, and no first character that the
// reader would trim away or take for a header or a comment. The empty name
// is valid.
inline bool valid_name(const std::string& name) {
  if (name.find_first_of("=\r\n") != std::string::npos) return false;
  if (name.empty()) return true;
  const char first = name[0];
  return !utils::is_space(first) && first != '[' && first != ';' &&
         first != '#';
}

// A text or a type name: no line break.
inline bool valid_text(const std::string& text) {
  return text.find_first_of("\r\n") == std::string::npos;
}

// Whether a line of key, " = " and value fits the reader's limit.
inline bool fits(size_t keylen, size_t valuelen) {
  return keylen + format::kSeparatorLength + valuelen <= format::kMaxLine;
}

inline size_t decimal_digits(uint64_t v) {
  size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// A bare file name inside the data directory: not empty, not "." or "..",
// no separator and no NUL (which would cut the path short for the system).
inline bool plain_file_name(const char* s, size_t len) {
  if (len == 0) return false;
  if ((len == 1 && s[0] == '.') || (len == 2 && s[0] == '.' && s[1] == '.'))
    return false;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] == '/' || s[i] == '\\' || s[i] == '\0') return false;
  }
  return true;
}

// A relative data directory that stays inside the index file's folder: not
// absolute, no ".." component and no NUL. Empty, "." and names that lead
// down through subdirectories are fine.
inline bool contained_dir(const std::string& rel) {
  if (!rel.empty() && rel[0] == '/') return false;
  if (rel.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    if (end - start == 2 && rel[start] == '.' && rel[start + 1] == '.')
      return false;
    start = end + 1;
  }
  return true;
}

// The length of an item's line as save writes it, line feed included; 0
// for an item that no line can carry.
size_t line_length(const std::string& name, const StructConfig::Item& item);

// Throw "invalid name", "invalid text" and "line too long" for what the
// checks above refuse.
void check_name(const std::string& name);
void check_text(const std::string& text);
void check_fits(size_t keylen, size_t valuelen);
// check_fits for the line of an item of `type` under `name`.
void check_item_fits(const std::string& name, StructConfig::DataItemType type,
                     size_t valuelen);
// What init refuses of a relative data directory name: "invalid text" for
// a line break, a NUL or a blank at either end (the reader trims those, so
// the name would move on reload), "line too long", and "invalid file name"
// for a name that is not contained_dir. Each error names `rel`.
void check_data_dir_name(const std::string& rel);

// The writer: appends `rec`'s whole section to `out`. Throws "imposible to
// reach here" at an item that no line can carry, after the lines before it.
void append_section(const StructConfig& rec, std::string& out);
// Writes the sections of every record of `registry`, in its order, to `fd`
// in pieces of about kChunk bytes; `path` names the file in errors.
void write_records(int fd, const SpaceMan::Registry& registry,
                   const std::string& path);

// The reader of one key/value line that has already been cut out and
// trimmed: an attribute line changes `rec` at once and gives false; an item
// line leaves `rec` alone, fills `name` and `item`, and gives true for the
// caller to put the item. A line it refuses throws an Error that names
// `file` and `line`, where the line came from (empty and 0 for a line that
// came from elsewhere).
bool parse_line(StructConfig& rec, const char* key, size_t keylen,
                const char* value, size_t valuelen, std::string& name,
                StructConfig::Item& item, const std::string& file, size_t line);
// The reader of a whole index file: reads the regular file `name` in the
// directory `dirfd` (`file` names it in errors) into `fresh`, its records
// made for `owner`; the version read goes into `seen`, the file kept open
// in `opened`. Throws the reader's errors.
void read_index(SpaceMan* owner, const std::string& file, int dirfd,
                const std::string& name, SpaceMan::Registry& fresh,
                utils::FileIdentity* seen, utils::OwnedFd* opened);

}  // namespace index_format

}  // namespace vorla

#endif  // VORLA_WORKSPACE_INDEX_FORMAT_H_
