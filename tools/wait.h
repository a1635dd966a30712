// SPDX-License-Identifier: MIT
// Waiting for another process's writer lock: the --wait option and the
// lock that the writing commands hold from before they read a workspace.

#ifndef VORLA_TOOLS_WAIT_H_
#define VORLA_TOOLS_WAIT_H_

#include <string>

#include "tools/parser.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

// Seconds to wait for another process's writer lock: --wait, a decimal
// number (fractions allowed) of at most 12 characters; 0 without it. The
// library waits at most WriterLock::kMaxWait, however large the number.
double parseWait(const Args& args);

// Holds the writer lock of INDEX for a command that reads the workspace
// and then writes it, so that no other process changes it in between.
void lockWorkspace(WriterLock& lock, const std::string& index, double wait);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_WAIT_H_
