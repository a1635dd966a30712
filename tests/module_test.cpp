// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "module/vorla.h"
#include "tests/test_util.h"
#include "utils/file_utils.h"
#include "utils/str_utils.h"
#include "workspace/workspace.h"

namespace {

using vorla::definst;
using vorla_test::read_file;

class ModuleTest : public ::testing::Test {
 protected:
  ModuleTest() {
    const std::string temp = utils::pathname(vorla::temp_ws());
    ::mkdir(utils::pathname(temp).c_str(), 0755);
    ::mkdir(temp.c_str(), 0755);
  }
};

// Defined first, so that no test of this binary has drawn a number yet.
TEST_F(ModuleTest, RandomSourceWasSeededFromTheClockInSeconds) {
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  bool found = false;
  for (int32_t s = now; s > now - 3600 && !found; --s)
    found = boost::rand48(s) == vorla::rdengine;
  EXPECT_TRUE(found);
}

TEST_F(ModuleTest, DefaultWorkspaceAndTestPaths) {
  EXPECT_EQ(&definst, vorla::SpaceMan::getinst());
  EXPECT_EQ(vorla::SpaceMan::getinst(), vorla::SpaceMan::getinst());
  EXPECT_EQ(std::string(vorla::temp_ws()), vorla::defTestWS());
  EXPECT_TRUE(
      utils::suffixstreq(vorla::defTestWS(), "temp/workspace.linux.ini"));
  EXPECT_EQ('/', vorla::defTestWS()[0]);
  EXPECT_EQ(std::string("data"), vorla::temp_dataspace());
}

TEST_F(ModuleTest, TestWorkspaceRoundTrip) {
  definst.init(vorla::temp_ws(), "data");
  definst.newStruct()->addStr("x", "y");
  definst.newTempStruct();
  vorla::saveDefTestSpace();
  const std::string saved = read_file(vorla::temp_ws());
  definst.newStruct();  // never saved
  vorla::loadDefTestSpace();
  EXPECT_EQ(2u, definst.getStructs().size());
  EXPECT_EQ("y", definst.getStruct(2)->getStr("x"));
  EXPECT_EQ(saved, read_file(vorla::temp_ws()));

  vorla::cleanDefTestSpace();
  EXPECT_EQ(1u, definst.getStructs().size());
  EXPECT_EQ(1u, definst.getCounter());
  EXPECT_EQ(std::string::npos, read_file(vorla::temp_ws()).find("[2]"));
}

TEST_F(ModuleTest, InitWorkspaceWritesAFreshWorkspace) {
  vorla_test::TempDir dir;
  const std::string index = dir.file("ws.ini");
  vorla::init_workspace(index, "data");
  const std::string fresh = read_file(index);
  vorla_test::write_file(index, "garbage");
  vorla::init_workspace(index, "data");
  EXPECT_EQ(fresh, read_file(index));
  EXPECT_TRUE(definst.mainfile().empty() ||
              definst.mainfile() == vorla::temp_ws());
  EXPECT_THROW_MSG(vorla::init_workspace(dir.file("missing/ws.ini"), "data"),
                   "cannot write file");
  EXPECT_FALSE(vorla_test::exists(dir.file("missing")));
}

}  // namespace
