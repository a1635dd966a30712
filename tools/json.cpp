// SPDX-License-Identifier: MIT
#include "tools/json.h"

#include <cassert>
#include <cstdint>
#include <string>

#include "tools/output.h"

namespace vorla {
namespace tool {

void JsonWriter::next() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (open.empty()) return;
  Level& level = open.back();
  assert(!level.object);  // a value in an object needs its key first
  if (!level.empty) o += ',';
  if (level.lines) o += '\n';
  level.empty = false;
}

JsonWriter& JsonWriter::beginObject() {
  next();
  o += '{';
  open.push_back(Level{true, false, true});
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  assert(!open.empty() && open.back().object && !afterKey);
  open.pop_back();
  o += '}';
  if (open.empty()) o += '\n';
  return *this;
}

JsonWriter& JsonWriter::beginArray(bool lines) {
  next();
  o += '[';
  open.push_back(Level{false, lines, true});
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  assert(!open.empty() && !open.back().object);
  if (open.back().lines && !open.back().empty) o += '\n';
  open.pop_back();
  o += ']';
  if (open.empty()) o += '\n';
  return *this;
}

JsonWriter& JsonWriter::key(const char* name) {
  assert(!open.empty() && open.back().object && !afterKey);
  Level& level = open.back();
  if (!level.empty) o += ',';
  level.empty = false;
  appendJson(o, name);
  o += ':';
  afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::value(const std::string& s) {
  next();
  appendJson(o, s);
  return *this;
}

JsonWriter& JsonWriter::value(uint64_t n) {
  next();
  o += std::to_string(n);
  return *this;
}

JsonWriter& JsonWriter::value(int64_t n) {
  next();
  o += std::to_string(n);
  return *this;
}

JsonWriter& JsonWriter::value(bool b) {
  next();
  o += b ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  next();
  o += "null";
  return *this;
}

JsonWriter& JsonWriter::stringOrNull(const char* name, bool present,
                                     const std::string& s) {
  key(name);
  return present ? value(s) : null();
}

}  // namespace tool
}  // namespace vorla
