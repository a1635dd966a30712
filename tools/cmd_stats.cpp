// vorla stats: counts of records, items and data files.

#include <cstddef>
#include <cstdio>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "workspace/stats.h"
#include "workspace/workspace.h"

namespace vorla {
namespace tool {

namespace {

const char kStatsHelp[] =
    "usage: vorla stats [--json] [--bytes] INDEX\n"
    "\n"
    "Prints the number of records, items by type, data files with their\n"
    "total size, and orphan data files. --bytes prints the sizes in bytes;\n"
    "--json prints one JSON object, its sizes in bytes.\n";

void printJson(const std::string& index, const WorkspaceStats& s, Out& out) {
  std::string& o = out.raw();
  o += "{\"index\":";
  appendJson(o, index);
  o += ",\"records\":" + std::to_string(s.records);
  o += ",\"top_level\":" + std::to_string(s.topLevel);
  o += ",\"items\":{";
  for (int t = StructConfig::ITEM_UINT64; t < StructConfig::kItemTypeCount;
       ++t) {
    o += std::string(t > StructConfig::ITEM_UINT64 ? "," : "") + "\"" +
         StructConfig::typeName(static_cast<StructConfig::DataItemType>(t)) +
         "\":" + std::to_string(s.items[t]);
  }
  o += "},\"files\":" + std::to_string(s.files);
  o += ",\"missing_files\":" + std::to_string(s.missingFiles);
  o += ",\"file_bytes\":" + std::to_string(s.fileBytes);
  o += ",\"orphan_files\":" + std::to_string(s.orphanFiles);
  o += ",\"orphan_bytes\":" + std::to_string(s.orphanBytes) + "}\n";
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
  needOperands(args, 1, 1);
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
  return Command{"stats", kStatsHelp, {"--json", "--bytes"}, {}, runStats};
}

}  // namespace tool
}  // namespace vorla
