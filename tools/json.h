// SPDX-License-Identifier: MIT
// The tool's JSON writer: objects, arrays, keys and values appended to a
// string, with the commas placed by the writer, so that no document it
// writes can be malformed by a forgotten or doubled separator. Strings are
// escaped by appendJson (tools/output.h): any byte string gives valid JSON
// that is safe to print on a terminal.

#ifndef VORLA_TOOLS_JSON_H_
#define VORLA_TOOLS_JSON_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vorla {
namespace tool {

class JsonWriter {
 public:
  // Appends to `out`, which must outlive the writer; the caller may flush
  // and clear it between values.
  explicit JsonWriter(std::string& out) : o(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // An object or an array as the next value. An array opened with
  // `lines` puts each element on a line of its own.
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray(bool lines = false);
  JsonWriter& endArray();

  // The key of the next value; only inside an object.
  JsonWriter& key(const char* name);

  JsonWriter& value(const std::string& s);
  JsonWriter& value(const char* s) { return value(std::string(s)); }
  JsonWriter& value(uint64_t n);
  JsonWriter& value(int64_t n);
  JsonWriter& value(unsigned n) { return value(static_cast<uint64_t>(n)); }
  JsonWriter& value(int n) { return value(static_cast<int64_t>(n)); }
  JsonWriter& value(bool b);
  JsonWriter& null();

  // A key and its value.
  template <typename T>
  JsonWriter& field(const char* name, const T& v) {
    return key(name).value(v);
  }
  // A key and a string, or null when `present` is false.
  JsonWriter& stringOrNull(const char* name, bool present,
                           const std::string& s);

  // Whether every object and array is closed.
  bool done() const { return open.empty(); }

 private:
  struct Level {
    bool object;
    bool lines;
    bool empty;
  };
  // Writes the separator that the next value needs.
  void next();

  std::string& o;
  std::vector<Level> open;
  bool afterKey = false;
};

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_JSON_H_
