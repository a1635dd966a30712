// SPDX-License-Identifier: MIT
#include "tools/exit_status.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vorla {
namespace tool {

namespace {

struct Meaning {
  int status;
  const char* help;  // as the help text shows it, indented
};

const Meaning kMeanings[] = {
    {kOk, "success"},
    {kFound,
     "findings: check found something wrong (or, where a command's help\n"
     "     says so, there was nothing to do)"},
    {kUsage, "usage error: the command line is wrong; nothing was done"},
    {kBroken,
     "the workspace cannot be read or written: an I/O error, an index\n"
     "     file that does not parse, or one that looks damaged"},
    {kNoRecord, "the record named on the command line does not exist"},
    {kInUse,
     "another process holds the workspace, or saved it while the\n"
     "     command ran: nothing was changed, run the command again later"},
};

}  // namespace

const char* exitStatusMeaning(int status) {
  for (const Meaning& m : kMeanings) {
    if (m.status == status) return m.help;
  }
  return "";
}

std::string exitStatusHelp(const std::vector<int>& statuses) {
  std::vector<int> sorted = statuses;
  std::sort(sorted.begin(), sorted.end());
  std::string text = "Exit status:\n";
  for (int status : sorted) {
    text +=
        "  " + std::to_string(status) + "  " + exitStatusMeaning(status) + "\n";
  }
  return text;
}

}  // namespace tool
}  // namespace vorla
