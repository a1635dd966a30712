// SPDX-License-Identifier: MIT
#include "utils/error.h"

#include <string>
#include <utility>

namespace utils {

namespace {

struct CodeText {
  Error::Code code;
  const char* message;
  const char* name;
};

constexpr CodeText kTexts[] = {
#define VORLA_ERROR_TEXT(code, message, name) {Error::code, message, name},
    VORLA_ERROR_CODES(VORLA_ERROR_TEXT)
#undef VORLA_ERROR_TEXT
};

constexpr bool in_code_order() {
  for (int i = 0; i < Error::kCodes; ++i)
    if (kTexts[i].code != i) return false;
  return true;
}

static_assert(sizeof kTexts / sizeof kTexts[0] == Error::kCodes,
              "one text for every code");
static_assert(in_code_order(), "texts in the order of their codes");

}  // namespace

Error::Error(Code code, std::string path, int sysErrno, std::size_t line)
    : std::runtime_error(message(code)),
      which(code),
      where(std::move(path)),
      errnum(sysErrno),
      lineno(line) {}

const char* Error::message(Code code) {
  return code >= 0 && code < kCodes ? kTexts[code].message : "unknown error";
}

const char* Error::codeName(Code code) {
  return code >= 0 && code < kCodes ? kTexts[code].name : "unknown";
}

}  // namespace utils
