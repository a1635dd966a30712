// SPDX-License-Identifier: MIT
// Progress of the library's long walks over a workspace (the integrity
// check and the statistics), for a caller that wants to show it.

#ifndef VORLA_WORKSPACE_PROGRESS_H_
#define VORLA_WORKSPACE_PROGRESS_H_

#include <cstddef>
#include <functional>

namespace vorla {

// Called now and then during a long walk, with the records (or files) done
// so far and their total, so that a caller can show progress.
typedef std::function<void(std::size_t done, std::size_t total)> ProgressFn;

}  // namespace vorla

#endif  // VORLA_WORKSPACE_PROGRESS_H_
