// What one line of the index file can carry. The reader cuts a line at its
// first "=", trims key and value, takes a leading "[" for a section header
// and a leading ";" or "#" for a comment, and refuses lines longer than
// kMaxLine; what cannot pass through that is refused when it is put, so that
// a saved index file always reads back to the same content.

#ifndef VORLA_WORKSPACE_LINE_FORM_H_
#define VORLA_WORKSPACE_LINE_FORM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "utils/str_utils.h"

namespace vorla {
namespace line_form {

// The longest line that the reader accepts, line break not counted.
const size_t kMaxLine = 4096;

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
  return keylen + 3 + valuelen <= kMaxLine;
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

}  // namespace line_form
}  // namespace vorla

#endif  // VORLA_WORKSPACE_LINE_FORM_H_
