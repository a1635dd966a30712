// SPDX-License-Identifier: MIT
// The one directory maker of the tool.

#ifndef VORLA_TOOLS_MAKE_DIRS_H_
#define VORLA_TOOLS_MAKE_DIRS_H_

#include <string>

namespace vorla {
namespace tool {

// Creates `dir` and any missing parent, as mkdir -p does, each synced into
// its parent before the next is made in it. A failure names the directory.
void makeDirs(const std::string& dir);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_MAKE_DIRS_H_
