// SPDX-License-Identifier: MIT
// Loading and saving a workspace for a command: the library's errors become
// failures that name the index file.

#ifndef VORLA_TOOLS_WORKSPACE_IO_H_
#define VORLA_TOOLS_WORKSPACE_IO_H_

#include <string>

#include "tools/progress.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

// Loads INDEX through the library; any error names the file.
void loadWorkspace(SpaceMan& ws, const std::string& path, Progress& progress);

// Saves the workspace; any error names the index file.
void saveWorkspace(SpaceMan& ws);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_WORKSPACE_IO_H_
