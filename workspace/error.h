// SPDX-License-Identifier: MIT
// The library's exception type under the workspace's own name: every error
// the library throws is a vorla::Error (utils/error.h), a std::runtime_error
// whose what() is the fixed message and whose code() says which one it is.
// WriterConflict is the one kind of Error that carries more.

#ifndef VORLA_WORKSPACE_ERROR_H_
#define VORLA_WORKSPACE_ERROR_H_

#include <string>

#include "utils/error.h"

namespace vorla {

using Error = utils::Error;

// A failure caused by another process: it holds the workspace's writer lock
// ("workspace in use", code WORKSPACE_IN_USE), or it saved the index file
// after this workspace object read it ("changed on disk", CHANGED_ON_DISK).
// Nothing was changed; reload (after a "changed on disk") and try again.
// `path()` is the index file.
class WriterConflict : public Error {
 public:
  enum Kind { IN_USE, CHANGED_ON_DISK };

  WriterConflict(Kind kind, long holder, const std::string& index);

  Kind kind() const { return which; }
  // For IN_USE, the process id of the holder as its own namespace sees it,
  // a process alive when the conflict was found; 0 when it is not known.
  long holder() const { return pid; }

 private:
  Kind which;
  long pid;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_ERROR_H_
