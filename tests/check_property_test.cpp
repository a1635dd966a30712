// SPDX-License-Identifier: MIT
// Property: whatever a program does to a workspace through the library's
// own operations, once it has saved, the integrity check finds nothing,
// in memory and in the index file read back. Many random workspaces are
// built from random creations, links, data files, releases, copies and
// temporaries.

#include <sys/stat.h>

#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/check.h"
#include "workspace/workspace.h"

namespace {

using vorla::Finding;
using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::write_file;

std::string describe(const std::vector<Finding>& findings) {
  std::string s;
  for (const Finding& f : findings) {
    s += "kind " + std::to_string(f.kind) + " record " + std::to_string(f.id) +
         " item " + f.item + " file " + f.file + "\n";
  }
  return s;
}

// Drives one workspace with random operations, keeping track of the
// records it holds an external reference on, as a program would.
class RandomBuilder {
 public:
  RandomBuilder(SpaceMan& workspace, std::mt19937& random)
      : ws(workspace), rng(random) {}

  void step(SpaceMan* other) {
    switch (pick(12)) {
      case 0:
      case 1:
        held.push_back(ws.newStruct()->getId());
        break;
      case 2: {
        std::shared_ptr<StructConfig> temp = ws.newTempStruct();
        if (pick(2) == 0) write_file(temp->newFile("scratch"), "temporary");
        if (pick(3) == 0) temp->newChildStruct("part");
        if (pick(4) == 0) temp->close();
        break;
      }
      case 3:
      case 4:
        if (auto rec = anyRecord()) rec->newChildStruct(freshName("c"));
        break;
      case 5:
        link();
        break;
      case 6:
        relink();
        break;
      case 7:
      case 8:
        if (auto rec = anyRecord()) {
          const std::string name = freshName(pick(2) ? "img" : "raw_data");
          write_file(rec->newFile(name), std::string(pick(100), 'x'));
        }
        break;
      case 9:
        release();
        break;
      case 10:
        copy(other);
        break;
      default:
        if (auto rec = anyRecord()) {
          rec->addUInt64(freshName("n"), rng());
          rec->addStr(freshName("s"), "text " + std::to_string(pick(1000)));
        }
    }
  }

 private:
  std::size_t pick(std::size_t n) { return rng() % n; }

  std::string freshName(const std::string& stem) {
    return stem + std::to_string(++names);
  }

  // Any registered record but record 0 (whose items belong to the system).
  std::shared_ptr<StructConfig> anyRecord() {
    const SpaceMan::Registry& reg = ws.getStructs();
    if (reg.size() < 2) return nullptr;
    auto it = reg.begin();
    std::advance(it, 1 + pick(reg.size() - 1));
    return it->second;
  }

  // A link between two records; those that would close a cycle are refused
  // by the library and change nothing.
  void link() {
    std::shared_ptr<StructConfig> from = anyRecord(), to = anyRecord();
    if (!from || !to) return;
    try {
      from->addIntChild(freshName("l"), to);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("cyclic link", e.what());
    }
  }

  // Points an existing child item at another record, giving back the
  // reference the item held on the old one, as a program must.
  void relink() {
    std::shared_ptr<StructConfig> from = anyRecord(), to = anyRecord();
    if (!from || !to) return;
    for (const auto& entry : from->items) {
      if (entry.second.type != StructConfig::ITEM_CHILD) continue;
      const std::string name = entry.first;
      const unsigned old = static_cast<unsigned>(entry.second.value);
      try {
        from->addIntChild(name, to);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ("cyclic link", e.what());
        return;
      }
      ws.internalUnlink(old);
      return;
    }
  }

  void release() {
    if (held.empty()) return;
    const std::size_t k = pick(held.size());
    const unsigned id = held[k];
    held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
    ws.unlinkStruct(id);
  }

  void copy(SpaceMan* other) {
    SpaceMan& source = (other != nullptr && pick(2) == 0) ? *other : ws;
    const SpaceMan::Registry& reg = source.getStructs();
    if (reg.size() < 2) return;
    auto it = reg.begin();
    std::advance(it, 1 + pick(reg.size() - 1));
    held.push_back(ws.import(&source, static_cast<unsigned>(it->first)));
  }

  SpaceMan& ws;
  std::mt19937& rng;
  std::vector<unsigned> held;
  unsigned names = 0;
};

TEST(CheckPropertyTest, LibraryAloneNeverLeavesFindings) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 40; ++round) {
    vorla_test::TempDir dir;
    ::mkdir(dir.file("src").c_str(), 0755);
    ::mkdir(dir.file("src/data").c_str(), 0755);
    SpaceMan source;
    source.init(dir.file("src/ws.ini"), "data");
    RandomBuilder sourceBuilder(source, rng);
    for (int i = 0; i < 60; ++i) sourceBuilder.step(nullptr);
    source.save();

    SpaceMan ws;
    ws.init(dir.file("ws.ini"), "data");
    RandomBuilder builder(ws, rng);
    const int steps = 50 + static_cast<int>(rng() % 250);
    for (int i = 0; i < steps; ++i) {
      builder.step(&source);
      if (rng() % 40 == 0) ws.save();
    }
    ws.save();

    const std::vector<Finding> inMemory = vorla::checkWorkspace(ws).findings;
    EXPECT_TRUE(inMemory.empty()) << "round " << round << "\n"
                                  << describe(inMemory);
    SpaceMan loaded;
    loaded.load(dir.file("ws.ini"));
    const std::vector<Finding> onDisk = vorla::checkWorkspace(loaded).findings;
    EXPECT_TRUE(onDisk.empty()) << "round " << round << "\n"
                                << describe(onDisk);
    EXPECT_TRUE(vorla::checkWorkspace(source).findings.empty());
    if (HasFailure()) break;
  }
}

}  // namespace
