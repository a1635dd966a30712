// SPDX-License-Identifier: MIT
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/workspace.h"

namespace {

using vorla::SpaceMan;
using vorla::StructConfig;
using vorla_test::exists;
using vorla_test::read_file;
using vorla_test::write_file;

class ImportTest : public ::testing::Test {
 protected:
  ImportTest() {
    ::mkdir(dir.file("src").c_str(), 0755);
    ::mkdir(dir.file("src/files").c_str(), 0755);
    src.init(dir.file("src/src.ini"), "files");
    dst.init(dir.file("dst.ini"), "data");
  }

  std::string addFile(const std::shared_ptr<StructConfig>& rec,
                      const std::string& name, const std::string& content) {
    const std::string path = rec->newFile(name);
    write_file(path, content);
    return path;
  }

  vorla_test::TempDir dir;
  SpaceMan src;
  SpaceMan dst;
};

TEST_F(ImportTest, CopiesValuesAndDataFilesUnderFreshNames) {
  std::shared_ptr<StructConfig> rec = src.newStruct();
  rec->setType("image");
  rec->addUInt64("height", 480);
  rec->addStr("label", "front door");
  const std::string content("pixel\0bytes", 11);
  const std::string srcfile = addFile(rec, "pixels", content);
  ASSERT_EQ(0, ::chmod(srcfile.c_str(), 0600));
  rec->newFile("raw_data");  // its prefix holds "_"; never written here
  write_file(rec->getFile("raw_data"), "raw");

  dst.newStruct();
  const unsigned id = dst.import(&src, rec->id);
  EXPECT_EQ(3u, id);
  std::shared_ptr<StructConfig> copy = dst.getStruct(id);
  EXPECT_EQ("image", copy->getType());
  EXPECT_EQ(480u, copy->getUInt64("height"));
  EXPECT_EQ("front door", copy->getStr("label"));
  EXPECT_EQ(1u, copy->extrefcount);
  EXPECT_EQ(0u, copy->intrefcount);

  const std::string copied = copy->getFile("pixels");
  EXPECT_EQ(0u, copied.find(dir.file("data/pixels_3__")));
  EXPECT_EQ(content, read_file(copied));
  struct stat st;
  ASSERT_EQ(0, ::stat(copied.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);
  EXPECT_EQ(0u, copy->items["raw_data"].str.find("raw_3__"));
  EXPECT_EQ("raw", read_file(copy->getFile("raw_data")));
  // The source is untouched.
  EXPECT_EQ(content, read_file(srcfile));
  EXPECT_EQ(4u, rec->items.size());
}

TEST_F(ImportTest, CopiesChildTreesAsNewDependentRecords) {
  std::shared_ptr<StructConfig> rec = src.newStruct();
  std::shared_ptr<StructConfig> child = rec->newChildStruct("child");
  child->setType("kid");
  std::shared_ptr<StructConfig> grandchild = child->newChildStruct("grand");
  addFile(grandchild, "f", "deep");
  // Reached twice: copied twice.
  rec->addIntChild("again", child);

  const unsigned id = dst.import(&src, rec->id);
  std::shared_ptr<StructConfig> copy = dst.getStruct(id);
  std::shared_ptr<StructConfig> a = copy->getChildStruct("again");
  std::shared_ptr<StructConfig> c = copy->getChildStruct("child");
  EXPECT_NE(a, c);
  EXPECT_EQ("kid", c->getType());
  EXPECT_EQ(0u, c->extrefcount);
  EXPECT_EQ(1u, c->intrefcount);
  EXPECT_EQ("deep", read_file(c->getChildStruct("grand")->getFile("f")));
  EXPECT_EQ(id + 4, dst.getCounter());
  EXPECT_EQ(4u, src.getCounter());
  EXPECT_EQ(2u, child->intrefcount);

  // Released, the copy takes its own files and records with it only.
  dst.unlinkStruct(id);
  EXPECT_EQ(1u, dst.getStructs().size());
  EXPECT_EQ("deep", read_file(grandchild->getFile("f")));
}

TEST_F(ImportTest, ImportWithinOneWorkspace) {
  std::shared_ptr<StructConfig> rec = src.newStruct();
  addFile(rec, "f", "same dir");
  const unsigned id = src.import(&src, rec->id);
  EXPECT_NE(rec->getFile("f"), src.getStruct(id)->getFile("f"));
  EXPECT_EQ("same dir", read_file(src.getStruct(id)->getFile("f")));
}

TEST_F(ImportTest, FailuresStopWhereTheyHappen) {
  // A source that is not there makes nothing.
  EXPECT_THROW_MSG(dst.import(&src, 42), "cannot find id");
  // Record 0 holds the workspace's own items: a copy would be a second one.
  EXPECT_THROW_MSG(dst.import(&src, 0), "system record");
  EXPECT_EQ(1u, dst.getStructs().size());

  std::shared_ptr<StructConfig> rec = src.newStruct();
  rec->addUInt64("a", 1);
  rec->import_kv("b_extchild", "3,x");
  rec->addStr("c", "never");
  // What a copy made before it failed goes again, counter included.
  EXPECT_THROW_MSG(dst.import(&src, rec->id), "unsupported child type");
  EXPECT_EQ(1u, dst.getStructs().size());
  EXPECT_EQ(1u, dst.getCounter());

  std::shared_ptr<StructConfig> missing = src.newStruct();
  missing->newFile("f");  // the data file was never written
  EXPECT_THROW_MSG(dst.import(&src, missing->id), "cannot open file");
  EXPECT_EQ(1u, dst.getStructs().size());
  EXPECT_EQ(2u, dst.import(&src, src.newStruct()->id));
}

TEST_F(ImportTest, CopyIntoAnUnwritableDataDirectoryLeavesTheSourceAlone) {
  std::shared_ptr<StructConfig> rec = src.newStruct();
  const std::string file = addFile(rec, "f", "precious");
  src.save();
  const std::string index = read_file(dir.file("src/src.ini"));
  ASSERT_EQ(0, ::rmdir(dir.file("data").c_str()));
  EXPECT_THROW_MSG(dst.import(&src, rec->id), "cannot copy file");
  EXPECT_EQ("precious", read_file(file));
  src.save();
  EXPECT_EQ(index, read_file(dir.file("src/src.ini")));
}

TEST_F(ImportTest, CyclicSourcesAreRefused) {
  std::shared_ptr<StructConfig> rec = src.newStruct();
  std::shared_ptr<StructConfig> child = rec->newChildStruct("c");
  // Only a hand-edited file can hold a cycle: links refuse to close one.
  child->import_kv("back_child", std::to_string(rec->id));
  EXPECT_THROW_MSG(dst.import(&src, rec->id), "cyclic link");
  EXPECT_EQ(1u, dst.getStructs().size());

  // A copy into a record of the very tree being copied would never end.
  std::shared_ptr<StructConfig> tree = src.newStruct();
  std::shared_ptr<StructConfig> leaf = tree->newChildStruct("leaf");
  EXPECT_THROW_MSG(leaf->importcopy(tree), "cyclic link");
  EXPECT_TRUE(leaf->items.empty());
}

}  // namespace
