// SPDX-License-Identifier: MIT
// Writes a workspace with one record through an installed vorla, reads it
// back and checks it (workspace/check.h brings the other report headers
// along, which must be installed too).

#include <iostream>
#include <string>

#include "module/vorla.h"
#include "utils/file_utils.h"
#include "workspace/check.h"
#include "workspace/error.h"
#include "workspace/workspace.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string index = utils::pathadd(argv[1], "ws.ini");
  vorla::SpaceMan ws;
  ws.init(index, "data");
  ws.newStruct()->addStr("greeting", "hello");
  ws.save();
  vorla::SpaceMan again;
  again.load(index);
  std::cout << again.getStruct(2)->getStr("greeting") << "\n";
  if (!vorla::checkWorkspace(again).findings.empty()) return 1;
  if (vorla::computeStats(again).records != 2) return 1;
  if (!vorla::findOrphanFiles(again).empty()) return 1;
  try {
    again.getStruct(99);
    return 1;
  } catch (const vorla::Error& e) {
    if (e.code() != vorla::Error::CANNOT_FIND_ID) return 1;
  }
  return again.getStruct(2)->getStr("greeting") == "hello" ? 0 : 1;
}
