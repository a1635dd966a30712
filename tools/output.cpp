// SPDX-License-Identifier: MIT
#include "tools/output.h"

#include <sys/stat.h>  // stat

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/json.h"
#include "utils/file_utils.h"
#include "workspace/gc.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

namespace {

const char kHex[] = "0123456789abcdef";

// File sizes for show: -1 when the data file is missing.
int64_t fileSize(const SpaceMan& ws, const std::string& name) {
  if (!isPlainFileName(name)) return -1;
  struct stat st;
  const std::string path = utils::pathadd(ws.getDatadir(), name);
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string recordLabel(unsigned id) { return "[" + std::to_string(id) + "]"; }

// The length of the valid UTF-8 sequence at s[i], or 0 when the byte there
// does not start one (stray continuation bytes, overlong forms, surrogates
// and code points above U+10FFFF are all invalid).
std::size_t utf8Length(const std::string& s, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t len;
  unsigned lo = 0x80, hi = 0xbf;  // bounds of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    const unsigned min = k == 1 ? lo : 0x80;
    const unsigned max = k == 1 ? hi : 0xbf;
    if (d < min || d > max) return 0;
  }
  return len;
}

// Whether the valid UTF-8 sequence of `len` bytes at s[i] is a C1 control
// character (U+0080 to U+009F), which terminals may act on like ESC.
bool isC1(const std::string& s, std::size_t i, std::size_t len) {
  return len == 2 && static_cast<unsigned char>(s[i]) == 0xc2 &&
         static_cast<unsigned char>(s[i + 1]) <= 0x9f;
}

// Appends s in double quotes, the one escaping routine of the tool's output.
// Printable ASCII and valid UTF-8 pass through; quotes, backslashes and the
// usual control characters get their short escapes; every other control
// character (C0, DEL, C1) and every byte that is not valid UTF-8 is escaped,
// so that nothing written can act on a terminal. JSON escapes code points
// (\u00NN, a stray byte as the code point of its number), text escapes
// bytes (\xNN).
void appendQuoted(std::string& out, const std::string& s, bool json) {
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const char* escape = nullptr;
    switch (c) {
      case '"':
        escape = "\\\"";
        break;
      case '\\':
        escape = "\\\\";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '\t':
        escape = "\\t";
        break;
      default:
        break;
    }
    if (escape) {
      out += escape;
      ++i;
      continue;
    }
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t len = c < 0x80 ? 0 : utf8Length(s, i);
    if (len > 0 && !isC1(s, i, len)) {
      out.append(s, i, len);
      i += len;
      continue;
    }
    // A lone byte, or the two bytes of a C1 character: JSON names its code
    // point, text shows both bytes.
    const std::size_t n = len > 0 ? len : 1;
    for (std::size_t k = json && n == 2 ? 1 : 0; k < n; ++k) {
      const unsigned char b = static_cast<unsigned char>(s[i + k]);
      out += json ? "\\u00" : "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    i += n;
  }
  out += '"';
}

}  // namespace

void appendJson(std::string& out, const std::string& s) {
  appendQuoted(out, s, true);
}

std::string quoted(const std::string& s) {
  std::string out;
  appendQuoted(out, s, false);
  return out;
}

std::string displayText(const std::string& s) {
  // Bare only when quoting would add nothing but the quotes.
  std::string q = quoted(s);
  if (q.size() == s.size() + 2) return s;
  return q;
}

std::string displayName(const std::string& s) {
  if (s.empty()) return quoted(s);
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f || c == '"' || c == '\\') return quoted(s);
  }
  return s;
}

std::string formatSize(uint64_t bytes, bool raw) {
  if (raw || bytes < 1024) return std::to_string(bytes) + (raw ? "" : " B");
  const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes) / 1024;
  int u = 0;
  // Round first, so that 1023.96 KiB shows as "1.0 MiB", not "1024.0 KiB".
  while (v >= 1023.95 && u < 5) {
    v /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
  return text;
}

std::string humanAge(int64_t seconds) {
  if (seconds < 0) return "in the future";
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + "m " + std::to_string(seconds % 60) +
           "s";
  }
  if (seconds < 86400) {
    return std::to_string(seconds / 3600) + "h " +
           std::to_string(seconds % 3600 / 60) + "m";
  }
  return std::to_string(seconds / 86400) + "d " +
         std::to_string(seconds % 86400 / 3600) + "h";
}

std::string count(std::size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

StructConfig* findRecord(const SpaceMan& ws, unsigned id) {
  const SpaceMan::Registry& reg = ws.getStructs();
  auto it = reg.find(static_cast<int>(id));
  return it == reg.end() ? nullptr : it->second.get();
}

void jsonRecord(const SpaceMan& ws, unsigned id, const StructConfig& rec,
                bool reachable, JsonWriter& w) {
  w.beginObject().field("id", id).field("type", rec.structtype);
  w.field("extrefcount", rec.extrefcount).field("intrefcount", rec.intrefcount);
  w.field("reachable", reachable);
  w.key("items").beginArray();
  for (const auto& entry : rec.items) {
    const StructConfig::Item& item = entry.second;
    w.beginObject().field("name", entry.first);
    w.field("type", StructConfig::typeName(item.type)).key("value");
    switch (item.type) {
      case StructConfig::ITEM_STR:
        w.value(item.str);
        break;
      case StructConfig::ITEM_FILE: {
        w.value(item.str);
        const int64_t size = fileSize(ws, item.str);
        w.key("size");
        size < 0 ? w.null() : w.value(size);
        w.field("missing", size < 0);
        break;
      }
      case StructConfig::ITEM_EXTCHILD:
      case StructConfig::ITEM_CHILD: {
        // Only the low 32 bits name a record.
        const unsigned target = static_cast<unsigned>(item.value);
        w.value(target);
        if (item.type == StructConfig::ITEM_EXTCHILD) w.field("text", item.str);
        w.field("dangling", findRecord(ws, target) == nullptr);
        break;
      }
      default:
        w.value(static_cast<uint64_t>(item.value));
    }
    w.endObject();
  }
  w.endArray().endObject();
}

Out::~Out() {
  // Output left over at an error exit; a failure here has nowhere to go.
  if (!buf.empty()) {
    std::fwrite(buf.data(), 1, buf.size(), stdout);
    std::fflush(stdout);
  }
}

Out& Out::operator<<(uint64_t v) {
  char text[24];
  std::size_t n = 0;
  do {
    text[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) buf += text[--n];
  return *this;
}

Out& Out::operator<<(int v) {
  if (v < 0) {
    buf += '-';
    return *this << static_cast<uint64_t>(-static_cast<int64_t>(v));
  }
  return *this << static_cast<uint64_t>(v);
}

void Out::flush() {
  if (!buf.empty() &&
      std::fwrite(buf.data(), 1, buf.size(), stdout) != buf.size()) {
    buf.clear();
    throw std::runtime_error("cannot write output");
  }
  buf.clear();
  if (std::fflush(stdout) != 0) throw std::runtime_error("cannot write output");
}

void TreePrinter::tree(unsigned root) {
  StructConfig* rec = findRecord(ws, root);
  if (rec == nullptr) return;
  out << recordLabel(root) << ' ' << header(*rec) << '\n';
  shown.insert(root);
  std::vector<Frame> stack;
  stack.push_back(Frame{rec, rec->items.begin(), 1});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.it == f.rec->items.end()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = f.it->first;
    const StructConfig::Item& item = f.it->second;
    const int depth = f.depth;
    ++f.it;
    indent(depth);
    out << displayName(name) << " = ";
    if (StructConfig::isChildType(item.type)) {
      child(item, depth, &stack);
    } else {
      value(item);
    }
  }
}

void TreePrinter::child(const StructConfig::Item& item, int depth,
                        std::vector<Frame>* stack) {
  const unsigned id = static_cast<unsigned>(item.value);
  out << StructConfig::typeName(item.type) << ' ' << recordLabel(id);
  if (item.type == StructConfig::ITEM_EXTCHILD) {
    out << ' ' << quoted(item.str);
  }
  StructConfig* rec = findRecord(ws, id);
  if (rec == nullptr) {
    out << " (no such record)\n";
  } else if (!shown.insert(id).second) {
    out << " (shown above)\n";
  } else {
    out << ' ' << header(*rec) << '\n';
    stack->push_back(Frame{rec, rec->items.begin(), depth + 1});
  }
}

std::string TreePrinter::header(const StructConfig& rec) {
  return (rec.structtype.empty() ? std::string("(no type)")
                                 : displayName(rec.structtype)) +
         " (ext " + std::to_string(rec.extrefcount) + ", int " +
         std::to_string(rec.intrefcount) + ")";
}

void TreePrinter::value(const StructConfig::Item& item) {
  switch (item.type) {
    case StructConfig::ITEM_UINT64:
      out << item.value << '\n';
      break;
    case StructConfig::ITEM_STR:
      out << quoted(item.str) << '\n';
      break;
    case StructConfig::ITEM_FILE: {
      const int64_t size = fileSize(ws, item.str);
      out << "file " << displayName(item.str)
          << (size < 0
                  ? std::string(" (missing)")
                  : " (" + formatSize(static_cast<uint64_t>(size), rawSizes) +
                        ")")
          << '\n';
      break;
    }
    default:
      out << "(unknown item type)\n";
  }
}

}  // namespace tool
}  // namespace vorla
