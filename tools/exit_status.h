// SPDX-License-Identifier: MIT
// The tool's exit statuses, each with one meaning, and the lines that the
// help texts list them with.

#ifndef VORLA_TOOLS_EXIT_STATUS_H_
#define VORLA_TOOLS_EXIT_STATUS_H_

#include <string>
#include <vector>

namespace vorla {
namespace tool {

const int kOk = 0;
// check found something wrong, or there was nothing to do where that
// matters to a script.
const int kFound = 1;
// The command line is wrong.
const int kUsage = 2;
// The workspace cannot be read or written: an I/O error, an index file that
// does not parse, or one that looks damaged.
const int kBroken = 3;
// The record named on the command line does not exist.
const int kNoRecord = 4;
// Another process holds the workspace, or saved it while the command ran.
const int kInUse = 5;

// "Exit status:" and a line or two on each status of `statuses`, in
// ascending order, as a help text ends.
std::string exitStatusHelp(const std::vector<int>& statuses);

// The meaning of `status` in a few words, for the man page.
const char* exitStatusMeaning(int status);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_EXIT_STATUS_H_
