// SPDX-License-Identifier: MIT
// vorla show: the records of a workspace as trees, or as JSON.

#include <algorithm>
#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/progress.h"
#include "tools/workspace_io.h"
#include "workspace/check.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

namespace {

const char kShowHelp[] =
    "Prints the records as trees: each record with an external reference,\n"
    "its items, and the records its child items name indented below it.\n"
    "A record reached a second time is only named. File items show the\n"
    "data file's size (--bytes: in bytes) or \"missing\"; records that no\n"
    "tree reaches are listed apart at the end. With ID, only the tree of\n"
    "that record.\n"
    "--json prints one JSON document, a record a line\n"
    "(docs/schemas/show.json).\n";

// The ids of the tree of `root`, in ascending order.
std::vector<unsigned> treeOf(const SpaceMan& ws, unsigned root) {
  std::unordered_set<unsigned> seen{root};
  std::vector<unsigned> todo{root}, ids{root};
  while (!todo.empty()) {
    StructConfig* rec = findRecord(ws, todo.back());
    todo.pop_back();
    for (const auto& entry : rec->items) {
      if (!StructConfig::isChildType(entry.second.type)) continue;
      const unsigned id = static_cast<unsigned>(entry.second.value);
      if (findRecord(ws, id) == nullptr || !seen.insert(id).second) continue;
      todo.push_back(id);
      ids.push_back(id);
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// All the ids of the workspace, in ascending order.
std::vector<unsigned> allIds(const SpaceMan& ws) {
  std::vector<unsigned> ids;
  for (const auto& entry : ws.getStructs()) {
    ids.push_back(static_cast<unsigned>(entry.first));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// --json: the workspace's paths and counter, then the records `ids`.
void printJson(const SpaceMan& ws, const std::vector<unsigned>& ids,
               const std::vector<unsigned>& unreachable, Out& out,
               Progress& progress) {
  const std::unordered_set<unsigned> apart(unreachable.begin(),
                                           unreachable.end());
  std::string& o = out.raw();
  JsonWriter w(o);
  w.beginObject().field("index", ws.mainfile());
  w.field("datadir", ws.getDatadir()).field("counter", ws.getCounter());
  w.key("records").beginArray(true);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    jsonRecord(ws, ids[i], *findRecord(ws, ids[i]), apart.count(ids[i]) == 0,
               w);
    if (o.size() > (1 << 20)) out.flush();
    progress.update("writing", i + 1, ids.size());
  }
  w.endArray().endObject();
  progress.clear();
}

// Without ID: a line on the workspace, the tree of every record with an
// external reference, then the records that no tree reaches.
void printTrees(const SpaceMan& ws, const std::string& index,
                const std::vector<unsigned>& unreachable, bool raw, Out& out,
                Progress& progress) {
  TreePrinter printer(ws, out, raw);
  out << "workspace " << displayText(index) << ", data directory "
      << displayText(ws.getDatadir()) << ", counter " << ws.getCounter() << ", "
      << count(ws.getStructs().size(), "record") << '\n';
  std::vector<unsigned> roots;
  for (const auto& entry : ws.getStructs()) {
    if (entry.second->extrefcount > 0) {
      roots.push_back(static_cast<unsigned>(entry.first));
    }
  }
  std::sort(roots.begin(), roots.end());
  std::size_t done = 0;
  for (unsigned id : roots) {
    if (!printer.wasShown(id)) printer.tree(id);
    progress.update("writing", ++done, roots.size() + unreachable.size());
  }
  if (!unreachable.empty()) {
    out << "\nnot reached from any record with an external reference:\n";
    for (unsigned id : unreachable) {
      if (!printer.wasShown(id)) printer.tree(id);
      progress.update("writing", ++done, roots.size() + unreachable.size());
    }
  }
  progress.clear();
}

int runShow(const Args& args) {
  needOperands(args);
  const std::string& index = args.operands[0];
  const bool hasRoot = args.operands.size() > 1;
  const unsigned root = hasRoot ? parseId(args.command, args.operands[1]) : 0;
  const bool raw = args.has("--bytes");
  Progress progress;
  SpaceMan ws;
  loadWorkspace(ws, index, progress);
  if (hasRoot && findRecord(ws, root) == nullptr) {
    throw Failure(index, "record " + std::to_string(root) + ": cannot find id",
                  kNoRecord);
  }
  const std::vector<unsigned> unreachable = unreachableRecords(ws);
  Out out;
  if (args.has("--json")) {
    printJson(ws, hasRoot ? treeOf(ws, root) : allIds(ws), unreachable, out,
              progress);
  } else if (hasRoot) {
    TreePrinter(ws, out, raw).tree(root);
  } else {
    printTrees(ws, index, unreachable, raw, out, progress);
  }
  out.flush();
  return kOk;
}

}  // namespace

Command showCommand() {
  return Command{"show",
                 "print the records as trees",
                 {{"--json", nullptr}, {"--bytes", nullptr}},
                 {"INDEX", "[ID]"},
                 {kOk, kUsage, kBroken, kNoRecord},
                 kShowHelp,
                 runShow};
}

}  // namespace tool
}  // namespace vorla
