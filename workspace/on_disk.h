// SPDX-License-Identifier: MIT
// What a workspace object holds of its files on disk beyond their names:
// the writer lock and the deletions that wait for the next save, with the
// identities of their files. Kept out of the installed workspace header,
// which holds it through a pointer (SpaceMan::disk).

#ifndef VORLA_WORKSPACE_ON_DISK_H_
#define VORLA_WORKSPACE_ON_DISK_H_

#include <map>
#include <string>

#include "utils/posix_file.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {

struct SpaceMan::OnDisk {
  WriterLock writer;
  // Bare names of the data files whose deletion waits for the next save of
  // the index file, with their identity when it was asked for.
  std::map<std::string, utils::FileIdentity> deferredDeletions;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_ON_DISK_H_
