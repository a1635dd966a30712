// SPDX-License-Identifier: MIT
// vorla stats: counts of records, items and data files.

#include <cstddef>
#include <cstdio>
#include <string>

#include "tools/commands.h"
#include "tools/exit_status.h"
#include "tools/failure.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/parser.h"
#include "tools/progress.h"
#include "tools/workspace_io.h"
#include "workspace/stats.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

namespace {

const char kStatsHelp[] =
    "Prints the number of records, items by type, data files with their\n"
    "total size, and orphan data files. --bytes prints the sizes in bytes.\n"
    "--json prints one JSON document (docs/schemas/stats.json).\n";

void printJson(const std::string& index, const WorkspaceStats& s, Out& out) {
  JsonWriter w(out.raw());
  w.beginObject().field("index", index).field("records", s.records);
  w.field("top_level", s.topLevel).key("items").beginObject();
  for (int t = StructConfig::ITEM_UINT64; t < StructConfig::kItemTypeCount;
       ++t) {
    w.field(StructConfig::typeName(static_cast<StructConfig::DataItemType>(t)),
            s.items[t]);
  }
  w.endObject().field("files", s.files).field("missing_files", s.missingFiles);
  w.field("file_bytes", s.fileBytes).field("orphan_files", s.orphanFiles);
  w.field("orphan_bytes", s.orphanBytes).endObject();
}

void printText(const WorkspaceStats& s, bool raw, Out& out) {
  std::size_t items = 0;
  for (int t = StructConfig::ITEM_UINT64; t < StructConfig::kItemTypeCount; ++t)
    items += s.items[t];
  out << "records       " << s.records << "  (" << s.topLevel
      << " top-level)\n";
  out << "items         " << items << '\n';
  for (int t = StructConfig::ITEM_UINT64; t < StructConfig::kItemTypeCount;
       ++t) {
    char line[64];
    std::snprintf(
        line, sizeof line, "  %-10s  %zu\n",
        StructConfig::typeName(static_cast<StructConfig::DataItemType>(t)),
        s.items[t]);
    out << line;
  }
  out << "data files    " << s.files << "  (" << s.missingFiles << " missing), "
      << formatSize(s.fileBytes, raw) << '\n';
  out << "orphan files  " << s.orphanFiles << ", "
      << formatSize(s.orphanBytes, raw) << '\n';
}

int runStats(const Args& args) {
  needOperands(args);
  const std::string& index = args.operands[0];
  Progress progress;
  SpaceMan ws;
  loadWorkspace(ws, index, progress);
  WorkspaceStats s;
  try {
    s = computeStats(ws, progressOf(progress, "counting"));
  } catch (const Error& e) {
    progress.clear();
    throw Failure(ws.getDatadir(), e);
  }
  progress.clear();
  Out out;
  if (args.has("--json")) {
    printJson(index, s, out);
  } else {
    printText(s, args.has("--bytes"), out);
  }
  out.flush();
  return kOk;
}

}  // namespace

Command statsCommand() {
  return Command{"stats",
                 "count records, items and data files",
                 {{"--json", nullptr}, {"--bytes", nullptr}},
                 {"INDEX"},
                 {kOk, kUsage, kBroken},
                 kStatsHelp,
                 runStats};
}

}  // namespace tool
}  // namespace vorla
