// SPDX-License-Identifier: MIT
#include "module/vorla.h"

#include <string>

#include "workspace/create.h"
#include "workspace/workspace.h"

#ifndef VORLA_TEST_WORKSPACE
#error "VORLA_TEST_WORKSPACE must name the test index file"
#endif

namespace vorla {

// Constructed after the random source (priority 101, workspace/random.cpp),
// as the library's load-time order requires.
SpaceMan definst __attribute__((init_priority(102)));

SpaceMan* SpaceMan::getinst() { return &definst; }

const char* temp_ws() { return VORLA_TEST_WORKSPACE; }

const char* temp_dataspace() { return "data"; }

std::string defTestWS() { return std::string(temp_ws()); }

void cleanDefTestSpace() {
  definst.init(temp_ws(), temp_dataspace());
  definst.load(temp_ws());
}

void loadDefTestSpace() { definst.load(temp_ws()); }

void saveDefTestSpace() { definst.save(temp_ws()); }

void init_workspace(const std::string& mainfile,
                    const std::string& reldatadir) {
  SpaceMan ws;
  // It overwrites, as it always has, but keeps a workspace with records.
  replaceWorkspace(ws, mainfile, reldatadir);
}

}  // namespace vorla
