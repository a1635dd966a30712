// SPDX-License-Identifier: MIT
#include "tools/workspace_io.h"

#include <string>

#include "tools/failure.h"
#include "tools/output.h"
#include "tools/progress.h"
#include "workspace/error.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

void loadWorkspace(SpaceMan& ws, const std::string& path, Progress& progress) {
  progress.phase("loading " + displayText(path));
  try {
    ws.load(path);
  } catch (const Error& e) {
    progress.clear();
    throw Failure(path, e);
  }
  progress.clear();
}

void saveWorkspace(SpaceMan& ws) {
  try {
    ws.save();
  } catch (const Error& e) {
    throw Failure(ws.mainfile(), e);
  }
}

}  // namespace tool
}  // namespace vorla
