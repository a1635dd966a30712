// SPDX-License-Identifier: MIT
// Output helpers of the command-line tool: a buffered stdout, byte-safe
// JSON strings, terminal-safe text, and the words that several commands
// print (sizes, ages, counts, item types).

#ifndef VORLA_TOOLS_OUTPUT_H_
#define VORLA_TOOLS_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/json.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

// Appends `s` as a JSON string, quotes included. Valid UTF-8 passes as it
// is; every byte that is not part of a valid UTF-8 sequence is written as
// the escape of the code point of the same number (\u0080 to \u00ff), and
// control characters (C0, DEL and C1), '"' and '\' are escaped, so that any
// byte string gives valid JSON that is safe to print on a terminal.
void appendJson(std::string& out, const std::string& s);

// `s` in double quotes, with control characters (C0, DEL, and C1 in their
// UTF-8 form), '"', '\' and bytes that are not valid UTF-8 escaped C-style
// (\n, \r, \t, \xNN per byte), so that it is safe to print on a terminal
// and shows exactly which bytes it holds. Every file content, path or
// argument the tool prints goes through it, directly or through one of the
// two below.
std::string quoted(const std::string& s);

// `s` as it is when quoting would change nothing but add the quotes, else
// quoted(s): paths and other free text keep their friendly form (spaces and
// UTF-8 included) unless they hold something to escape.
std::string displayText(const std::string& s);

// `s` as it is when it is a non-empty run of printable, non-blank ASCII
// other than '"' and '\', else quoted(s).
std::string displayName(const std::string& s);

// A size as every command prints it in text: "0 B", "512 B", "4.7 KiB",
// "609.5 KiB", "1.2 GiB" (binary units, one decimal from KiB up), or with
// `raw` (the --bytes option) the plain number of bytes, "4813".
std::string formatSize(uint64_t bytes, bool raw);

// "2h 5m" style.
std::string humanAge(int64_t seconds);

// "1 record", "2 records".
std::string count(std::size_t n, const std::string& noun);

// The record `id` of `ws`, or null.
StructConfig* findRecord(const SpaceMan& ws, unsigned id);

// Appends record `id` of `ws` as a JSON object: its type, counts, whether
// a tree reaches it, and its items: file items with their data file's size,
// child items with whether the record they name is missing ("dangling").
void jsonRecord(const SpaceMan& ws, unsigned id, const StructConfig& rec,
                bool reachable, JsonWriter& w);

// Standard output through one large buffer, for records by the million.
class Out {
 public:
  Out() { buf.reserve(kFlushAt + 4096); }
  ~Out();
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;

  Out& operator<<(const std::string& s) {
    buf += s;
    if (buf.size() >= kFlushAt) flush();
    return *this;
  }
  Out& operator<<(const char* s) { return *this << std::string(s); }
  Out& operator<<(char c) {
    buf += c;
    return *this;
  }
  Out& operator<<(uint64_t v);
  Out& operator<<(unsigned v) { return *this << static_cast<uint64_t>(v); }
  Out& operator<<(int v);

  std::string& raw() { return buf; }
  // Writes what is buffered; throws "cannot write output" when stdout
  // refuses it.
  void flush();

 private:
  static const std::size_t kFlushAt = 1 << 20;
  std::string buf;
};

// The text renderer of records: a depth-first walk with an explicit stack,
// so that a chain of a million children cannot overflow the call stack.
// Every record is printed in full once; a later reference to it only names
// it.
class TreePrinter {
 public:
  // `raw` prints data file sizes as plain byte counts (--bytes).
  TreePrinter(const SpaceMan& workspace, Out& output, bool raw = false)
      : ws(workspace), out(output), rawSizes(raw) {}

  // Prints the record `root`, if there is one, and below it the records
  // its child items name.
  void tree(unsigned root);

  bool wasShown(unsigned id) const { return shown.count(id) != 0; }

 private:
  struct Frame {
    StructConfig* rec;
    StructConfig::ItemMap::const_iterator it;
    int depth;
  };

  // Prints a child item at `depth`, and pushes its record when it is shown
  // here for the first time.
  void child(const StructConfig::Item& item, int depth,
             std::vector<Frame>* stack);
  std::string header(const StructConfig& rec);
  void indent(int depth) { out.raw().append(4 * depth, ' '); }
  void value(const StructConfig::Item& item);

  const SpaceMan& ws;
  Out& out;
  bool rawSizes;
  std::unordered_set<unsigned> shown;
};

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_OUTPUT_H_
