// SPDX-License-Identifier: MIT
// to_dict() of Workspace and Record: the content that `vorla show --json`
// prints, as plain Python data (dict, list, str, int, bool, None) that
// json.dumps takes and that equals json.loads of the tool's output.

#include <sys/stat.h>  // stat

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "module/py_bind.h"
#include "module/py_convert.h"
#include "module/py_handles.h"
#include "utils/file_utils.h"
#include "workspace/check.h"
#include "workspace/workspace.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace {

using Item = StructConfig::Item;

// One record copied out under the workspace's lock; the Python objects are
// built once it is given back.
struct RecordCopy {
  unsigned id;
  std::string type;
  unsigned extrefs;
  unsigned intrefs;
  bool reachable;
  std::vector<std::pair<std::string, Item> > items;
  std::vector<char> dangling;  // per item: a child item that names no record
};

struct WorkspaceCopy {
  std::string index;
  std::string datadir;
  unsigned counter;
  std::vector<RecordCopy> records;
};

// The records `ids` of `man` (every record when `all`), in ascending id
// order as the tool lists them.
WorkspaceCopy copy_out(const SpaceMan& man, std::vector<unsigned> ids,
                       bool all) {
  WorkspaceCopy c{man.mainfile(), man.getDatadir(), man.getCounter(), {}};
  const SpaceMan::Registry& structs = man.getStructs();
  if (all) {
    for (const auto& entry : structs) ids.push_back(entry.second->getId());
  }
  std::sort(ids.begin(), ids.end());
  const std::vector<unsigned> apart = unreachableRecords(man);
  const std::unordered_set<unsigned> unreached(apart.begin(), apart.end());
  for (unsigned id : ids) {
    auto it = structs.find(SpaceMan::Registry::keyOf(id));
    if (it == structs.end()) continue;
    const StructConfig& rec = *it->second;
    RecordCopy r{id,
                 rec.structtype,
                 rec.extrefcount,
                 rec.intrefcount,
                 unreached.count(id) == 0,
                 {},
                 {}};
    for (const auto& entry : rec.items) {
      r.items.emplace_back(entry.first, entry.second);
      const bool child = StructConfig::isChildType(entry.second.type);
      const unsigned target = static_cast<unsigned>(entry.second.value);
      r.dangling.push_back(child && structs.find(SpaceMan::Registry::keyOf(
                                        target)) == structs.end());
    }
    c.records.push_back(std::move(r));
  }
  return c;
}

py::dict item_dict(const std::string& datadir, const std::string& name,
                   const Item& item, bool dangling) {
  py::dict d;
  d["name"] = json_text(name);
  d["type"] = StructConfig::typeName(item.type);
  switch (item.type) {
    case StructConfig::ITEM_STR:
      d["value"] = json_text(item.str);
      break;
    case StructConfig::ITEM_FILE: {
      d["value"] = json_text(item.str);
      struct stat st;
      const std::string path = utils::pathadd(datadir, item.str);
      const bool missing =
          ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
      d["size"] = missing
                      ? py::object(py::none())
                      : py::object(py::int_(static_cast<int64_t>(st.st_size)));
      d["missing"] = missing;
      break;
    }
    case StructConfig::ITEM_CHILD:
    case StructConfig::ITEM_EXTCHILD:
      // Only the low 32 bits name a record.
      d["value"] = static_cast<unsigned>(item.value);
      if (item.type == StructConfig::ITEM_EXTCHILD)
        d["text"] = json_text(item.str);
      d["dangling"] = dangling;
      break;
    default:
      d["value"] = py::int_(static_cast<unsigned long long>(item.value));
  }
  return d;
}

py::dict record_dict(const std::string& datadir, const RecordCopy& r) {
  py::dict d;
  d["id"] = r.id;
  d["type"] = json_text(r.type);
  d["extrefcount"] = r.extrefs;
  d["intrefcount"] = r.intrefs;
  d["reachable"] = r.reachable;
  py::list items;
  for (size_t i = 0; i < r.items.size(); ++i) {
    items.append(item_dict(datadir, r.items[i].first, r.items[i].second,
                           r.dangling[i] != 0));
  }
  d["items"] = items;
  return d;
}

}  // namespace

py::dict workspace_to_dict(WorkspaceHandle& ws) {
  WorkspaceCopy c;
  {
    Guard guard(ws);
    c = copy_out(ws.man(), {}, true);
  }
  py::dict d;
  d["index"] = json_text(c.index);
  d["datadir"] = json_text(c.datadir);
  d["counter"] = c.counter;
  py::list records;
  for (const RecordCopy& r : c.records)
    records.append(record_dict(c.datadir, r));
  d["records"] = records;
  return d;
}

py::dict record_to_dict(const RecordHandle& h) {
  WorkspaceCopy c;
  {
    Guard guard(h.workspace());
    h.live();
    c = copy_out(h.workspace().man(), {h.id()}, false);
  }
  return record_dict(c.datadir, c.records.at(0));
}

}  // namespace python
}  // namespace vorla
