// SPDX-License-Identifier: MIT
// Text helpers for the index file reader, the record line codec and the
// naming of data files. All work on byte strings and keep no state.
//
// A name that ends in an underscore changes its argument in place; the same
// name without it returns a changed copy (trim_ / trim).
//
// White space is the six bytes of the C locale: space, \t, \n, \v, \f, \r.
// The classification is fixed rather than read from the current locale so
// that a host program that changes its locale cannot change how an index
// file is read.

#ifndef VORLA_UTILS_STR_UTILS_H_
#define VORLA_UTILS_STR_UTILS_H_

#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "utils/error.h"

namespace utils {

inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Erases leading white space of s; returns s.
inline std::string& ltrim_(std::string& s) {
  std::string::size_type b = 0;
  while (b < s.size() && is_space(s[b])) ++b;
  s.erase(0, b);
  return s;
}

// Erases trailing white space of s; returns s.
inline std::string& rtrim_(std::string& s) {
  std::string::size_type e = s.size();
  while (e > 0 && is_space(s[e - 1])) --e;
  s.erase(e);
  return s;
}

std::string& trim_(std::string& s);
std::string trim(const std::string& s);

// Whether s ends with suffix, byte for byte. The empty suffix ends every
// string.
bool suffixstreq(const std::string& s, const std::string& suffix);

// The white-space separated words of s, in order.
std::vector<std::string> tokenize(std::string s);

// Reads the unsigned decimal number in [b, e) into *out. Blanks around the
// number and one leading "+" are allowed; false for anything else. A number
// too large for T wraps modulo 2^bits, as unsigned arithmetic does.
template <typename T>
bool parse_unsigned(const char* b, const char* e, T* out) {
  static_assert(std::is_unsigned<T>::value, "parse_unsigned is for unsigned");
  while (b < e && is_space(*b)) ++b;
  while (e > b && is_space(e[-1])) --e;
  if (b >= e) return false;
  if (*b == '+') ++b;
  T result = 0;
  for (; b < e; ++b) {
    const char c = *b;
    if (c < '0' || c > '9') return false;
    result = static_cast<T>(result * 10 + static_cast<T>(c - '0'));
  }
  *out = result;
  return true;
}

// The unsigned decimal number that s holds, read as parse_unsigned reads
// it; anything else throws "conversion error".
template <typename T>
T strto(const std::string& s) {
  T result = 0;
  if (!parse_unsigned(s.data(), s.data() + s.size(), &result))
    throw Error(Error::CONVERSION_ERROR);
  return result;
}

// v as a default-formatted output stream writes it.
template <typename T>
std::string tostr(const T& v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

}  // namespace utils

#endif  // VORLA_UTILS_STR_UTILS_H_
