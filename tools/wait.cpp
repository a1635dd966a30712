// SPDX-License-Identifier: MIT
#include "tools/wait.h"

#include <cstddef>
#include <string>

#include "tools/failure.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "workspace/error.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

double parseWait(const Args& args) {
  const std::string* text = args.value("--wait");
  if (text == nullptr) return 0;
  std::size_t digits = 0, dots = 0;
  for (char c : *text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++dots;
    } else {
      dots = 2;
    }
  }
  if (digits == 0 || dots > 1 || text->size() > 12 || (*text)[0] == '.') {
    throw Failure::usage(args.command,
                         "invalid number of seconds " + quoted(*text));
  }
  return std::stod(*text);
}

void lockWorkspace(WriterLock& lock, const std::string& index, double wait) {
  lock.setWait(wait);
  try {
    lock.hold(index);
  } catch (const Error& e) {
    throw Failure(index, e);
  }
}

}  // namespace tool
}  // namespace vorla
