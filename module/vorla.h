// SPDX-License-Identifier: MIT
// The process-wide default workspace, the developer test workspace and
// init_workspace, the one operation that the Python module offers.

#ifndef VORLA_MODULE_VORLA_H_
#define VORLA_MODULE_VORLA_H_

#include <string>

#include "workspace/workspace.h"

namespace vorla {

// The default workspace: constructed empty when the library is loaded,
// after the random source, and destroyed unsaved at process exit.
extern SpaceMan definst;

// The developer test workspace's index file; its directory is fixed when
// the build is configured (VORLA_TEST_WORKSPACE_DIR) and ends in
// "temp/workspace.linux.ini".
const char* temp_ws();
// Its relative data directory, "data".
const char* temp_dataspace();
std::string defTestWS();
// Re-creates the test workspace on disk and loads it into definst.
void cleanDefTestSpace();
void loadDefTestSpace();
void saveDefTestSpace();

// Writes a new, empty workspace to disk, over whatever index file is there;
// one that holds records (or does not load) is kept first as
// mainfile.bak (workspace/create.h). definst is not involved.
void init_workspace(const std::string& mainfile, const std::string& reldatadir);

}  // namespace vorla

#endif  // VORLA_MODULE_VORLA_H_
