// SPDX-License-Identifier: MIT
#include "fuzz/round_trip.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "workspace/workspace.h"

namespace vorla {

bool isLoadMessage(const std::string& what) {
  static const std::set<std::string> messages = {
      "cannot open file",     "line too long",          "conversion error",
      "duplicated entry",     "cannot parse this line", "cannot find group 0",
      "cannot find name",     "wrong variable type",    "unknown sys var",
      "unindentified suffix", "invalid file name"};
  return messages.count(what) != 0;
}

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

std::string workspaceImage(const SpaceMan& w) {
  std::ostringstream out;
  out << "counter " << w.getCounter() << " reldatadir " << w.getRelDataDir()
      << "\n";
  for (const auto& entry : w.getStructs()) {
    const StructConfig& r = *entry.second;
    out << "key " << entry.first << " id " << r.id << " type " << r.structtype
        << " ext " << r.extrefcount << " int " << r.intrefcount << " temp "
        << r.temporary << " own " << (r.man == &w) << "\n";
    for (const auto& item : r.items) {
      out << "  " << item.first.size() << ":" << item.first << " "
          << item.second.type << " " << item.second.value << " "
          << item.second.str.size() << ":" << item.second.str << "\n";
    }
  }
  return out.str();
}

std::string checkSaveAndReload(SpaceMan& w, const std::string& path) {
  try {
    w.save(path);
  } catch (const std::runtime_error& e) {
    return std::string("a loaded workspace does not save: ") + e.what();
  }
  SpaceMan again;
  try {
    again.load(path);
  } catch (const std::runtime_error& e) {
    return std::string("a saved file does not load: ") + e.what();
  }
  const std::string before = workspaceImage(w);
  const std::string after = workspaceImage(again);
  if (before != after) {
    return "records changed across save and load:\n" + before + "----\n" +
           after;
  }
  return std::string();
}

std::string checkIndexBytes(const std::string& bytes, const std::string& dir) {
  const std::string input = dir + "/input.ini";
  const std::string first = dir + "/first.ini";
  const std::string second = dir + "/second.ini";
  {
    std::ofstream out(input.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  SpaceMan loaded;
  try {
    loaded.load(input);
  } catch (const std::runtime_error& e) {
    if (!isLoadMessage(e.what())) {
      return std::string("load failed with an unknown message: ") + e.what();
    }
    if (!loaded.getStructs().empty() || !loaded.mainfile().empty()) {
      return "a failed load changed the workspace";
    }
    return std::string();
  }
  const std::string problem = checkSaveAndReload(loaded, first);
  if (!problem.empty()) return problem;
  SpaceMan again;
  again.load(first);
  try {
    again.save(second);
  } catch (const std::runtime_error& e) {
    return std::string("a reloaded file does not save: ") + e.what();
  }
  if (readFile(first) != readFile(second)) {
    return "save -> load -> save changed the bytes";
  }
  return std::string();
}

}  // namespace vorla
