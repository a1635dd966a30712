// SPDX-License-Identifier: MIT
// The facts of the index file's format, alone: the section and line syntax,
// the record attribute keys, the system record's values and the table of
// item types. The writer and the reader (index_format::append_section and
// parse_line), the checks of workspace/index_format.h, erasure, copies, the
// integrity check and the statistics read them here, and the tool through
// StructConfig::typeName and kItemTypeCount; nothing else spells them.
//
// A section is "[" id "]", one line per item (name, the type's suffix,
// kSeparator, the value), the three attribute lines and an empty line.
//
// Adding an item type: its enumerator in StructConfig::DataItemType, with
// kItemTypeCount beside it (workspace/workspace.h), and its row in
// kItemTypes below; the static checks at the end fail until both agree. The
// writer, the reader, erasure, copies, checks and statistics follow the
// row's payload and what it owns. Accessors of its own (addX, getX) are
// declared in workspace.h and defined in struct_config.cpp, on putPlain.

#ifndef VORLA_WORKSPACE_FORMAT_H_
#define VORLA_WORKSPACE_FORMAT_H_

#include <cstddef>
#include <string>

#include "workspace/workspace.h"

namespace vorla {
namespace format {

// Between key and value on every key/value line.
constexpr char kSeparator[] = " = ";
constexpr size_t kSeparatorLength = sizeof kSeparator - 1;

// The longest line that the reader accepts, line break not counted.
constexpr size_t kMaxLine = 4096;
// The most decimal digits that a record id can have.
constexpr size_t kIdDigits = 10;

// Record attribute lines: their keys end in kSysSuffix and are matched whole.
constexpr char kSysSuffix[] = "_sys";
constexpr char kExtRefKey[] = "extrefcount_sys";
constexpr char kIntRefKey[] = "intrefcount_sys";
constexpr char kStructTypeKey[] = "structtype_sys";

// The system record, record 0, as every save completes it.
constexpr unsigned kSystemRecordId = 0;
constexpr unsigned kSystemExtRefCount = 1000;
constexpr char kSystemRecordType[] = "system_record";
// The format version written into it; never read back.
constexpr char kVersion[] = "2.1";
// Its own items (names, without their type suffixes): a text, a number and
// a text.
constexpr char kRelDataDirName[] = "$reldatadir";
constexpr char kCounterName[] = "$current_counter";
constexpr char kVersionName[] = "$version";
// The key of the "$reldatadir" line, for readers that look at lines only.
constexpr char kRelDataDirKey[] = "$reldatadir_str";

// What the value text of an item carries: its number (`value`), its text
// (`str`), or both, the number first, then ",", then the text.
enum class Payload { NONE, NUMBER, TEXT, NUMBER_AND_TEXT };
// What an item owns, which erasure releases and a copy makes anew: nothing,
// one data file in the data directory (named by `str`), or one internal
// reference on the record whose id is `value`.
enum class Owns { NOTHING, DATA_FILE, RECORD };

struct ItemType {
  StructConfig::DataItemType type;
  // The key suffix, "_" and the name; null for ITEM_NONE, which no line
  // carries.
  const char* suffix;
  size_t suffixLength;
  // The name as tools and reports spell it: the suffix without its "_".
  const char* name;
  Payload payload;
  Owns owns;
};

constexpr ItemType row(StructConfig::DataItemType type, const char* suffix,
                       Payload payload, Owns owns) {
  return ItemType{type,
                  suffix,
                  suffix ? std::char_traits<char>::length(suffix) : 0,
                  suffix ? suffix + 1 : "none",
                  payload,
                  owns};
}

// One row per value of DataItemType, in order. The reader tries the
// suffixes in this order; no suffix ends with another, so the order never
// decides.
constexpr ItemType kItemTypes[] = {
    row(StructConfig::ITEM_NONE, nullptr, Payload::NONE, Owns::NOTHING),
    row(StructConfig::ITEM_UINT64, "_uint64", Payload::NUMBER, Owns::NOTHING),
    row(StructConfig::ITEM_STR, "_str", Payload::TEXT, Owns::NOTHING),
    row(StructConfig::ITEM_FILE, "_file", Payload::TEXT, Owns::DATA_FILE),
    row(StructConfig::ITEM_CHILD, "_child", Payload::NUMBER, Owns::RECORD),
    row(StructConfig::ITEM_EXTCHILD, "_extchild", Payload::NUMBER_AND_TEXT,
        Owns::RECORD),
};

// The row of `type`; ITEM_NONE's for a value outside the enumeration.
constexpr const ItemType& item_type(int type) {
  return StructConfig::isItemType(type) ? kItemTypes[type] : kItemTypes[0];
}
constexpr bool owns_file(StructConfig::DataItemType type) {
  return item_type(type).owns == Owns::DATA_FILE;
}
constexpr bool names_record(StructConfig::DataItemType type) {
  return item_type(type).owns == Owns::RECORD;
}
constexpr bool writes_number(StructConfig::DataItemType type) {
  return item_type(type).payload == Payload::NUMBER ||
         item_type(type).payload == Payload::NUMBER_AND_TEXT;
}
constexpr bool writes_text(StructConfig::DataItemType type) {
  return item_type(type).payload == Payload::TEXT ||
         item_type(type).payload == Payload::NUMBER_AND_TEXT;
}

// The static checks of the facts above.
namespace check {

constexpr bool ends_with(const char* s, const char* tail) {
  const size_t n = std::char_traits<char>::length(s);
  const size_t m = std::char_traits<char>::length(tail);
  if (m > n) return false;
  for (size_t i = 0; i < m; ++i)
    if (s[n - m + i] != tail[i]) return false;
  return true;
}

constexpr bool starts_with(const char* s, const char* head) {
  for (; *head; ++s, ++head)
    if (*s != *head) return false;
  return true;
}

constexpr bool rows_in_order() {
  for (size_t i = 0; i < sizeof kItemTypes / sizeof kItemTypes[0]; ++i)
    if (static_cast<size_t>(kItemTypes[i].type) != i) return false;
  return true;
}

constexpr bool suffixes_apart() {
  for (const ItemType& a : kItemTypes) {
    if (!a.suffix) continue;
    if (a.suffix[0] != '_' || ends_with(a.suffix, kSysSuffix) ||
        ends_with(kSysSuffix, a.suffix))
      return false;
    for (const ItemType& b : kItemTypes)
      if (b.suffix && &a != &b && ends_with(a.suffix, b.suffix)) return false;
  }
  return true;
}

static_assert(sizeof kItemTypes / sizeof kItemTypes[0] ==
                  StructConfig::kItemTypeCount,
              "one row for every item type");
static_assert(rows_in_order(), "rows in the order of their types");
static_assert(kItemTypes[0].suffix == nullptr, "no line carries ITEM_NONE");
static_assert(suffixes_apart(), "no suffix ends with another");
static_assert(ends_with(kExtRefKey, kSysSuffix) &&
                  ends_with(kIntRefKey, kSysSuffix) &&
                  ends_with(kStructTypeKey, kSysSuffix),
              "attribute keys end in the attribute suffix");
static_assert(std::char_traits<char>::length(kRelDataDirKey) ==
                      std::char_traits<char>::length(kRelDataDirName) +
                          kItemTypes[StructConfig::ITEM_STR].suffixLength &&
                  starts_with(kRelDataDirKey, kRelDataDirName) &&
                  ends_with(kRelDataDirKey,
                            kItemTypes[StructConfig::ITEM_STR].suffix),
              "the data directory's key is its name and the text suffix");

}  // namespace check
}  // namespace format
}  // namespace vorla

#endif  // VORLA_WORKSPACE_FORMAT_H_
