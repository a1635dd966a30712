// SPDX-License-Identifier: MIT
#include "utils/str_utils.h"

#include <string>
#include <vector>

namespace utils {

std::string& trim_(std::string& s) { return ltrim_(rtrim_(s)); }

std::string trim(const std::string& s) {
  std::string copy(s);
  return trim_(copy);
}

bool suffixstreq(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  return s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> tokenize(std::string s) {
  std::vector<std::string> words;
  std::string::size_type i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_space(s[i])) ++i;
    std::string::size_type start = i;
    while (i < s.size() && !is_space(s[i])) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

}  // namespace utils
