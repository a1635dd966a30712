// SPDX-License-Identifier: MIT
#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "workspace/workspace.h"

namespace {

using vorla::StructConfig;

std::string section(const StructConfig& rec) {
  std::ostringstream out;
  rec.export_kv(out);
  return out.str();
}

// The items as text, to compare records before and after a refused change.
std::string dump(const StructConfig& rec) {
  std::string all = rec.structtype + "|";
  for (const auto& entry : rec.items)
    all += entry.first + ":" + std::to_string(entry.second.type) + ":" +
           entry.second.str + ":" + std::to_string(entry.second.value) + "|";
  return all;
}

TEST(StructConfigTest, NewRecordIsEmpty) {
  StructConfig rec;
  EXPECT_EQ("", rec.getType());
  EXPECT_FALSE(rec.temporary);
  EXPECT_TRUE(rec.items.empty());
  EXPECT_EQ(0u, rec.getId());
  EXPECT_EQ(0u, rec.extrefcount);
  EXPECT_EQ(0u, rec.intrefcount);
  EXPECT_EQ(nullptr, rec.getMan());
}

TEST(StructConfigTest, NumbersAndTextsKeepTheirType) {
  StructConfig rec;
  rec.addUInt64("n", 5);
  rec.addUInt64("n", 7);
  EXPECT_EQ(1u, rec.items.size());
  EXPECT_EQ(7u, rec.getUInt64("n"));
  EXPECT_THROW_MSG(rec.addStr("n", "x"), "changed in type");
  EXPECT_EQ(7u, rec.getUInt64("n"));
  EXPECT_THROW_MSG(rec.getStr("n"), "wrong variable type");
  EXPECT_THROW_MSG(rec.getUInt64("missing"), "cannot find name");
  EXPECT_THROW_MSG(rec.getStr("missing"), "cannot find name");

  rec.addStr("", "empty name");
  EXPECT_EQ("empty name", rec.getStr(""));
  EXPECT_THROW_MSG(rec.addUInt64("", 1), "changed in type");

  rec.items["f"] = StructConfig::Item(StructConfig::ITEM_FILE, "f_1__2_");
  EXPECT_THROW_MSG(rec.getStr("f"), "wrong variable type");
}

TEST(StructConfigTest, WhatTheLineFormCannotCarryIsRefusedUnchanged) {
  StructConfig rec;
  rec.addStr("keep", "value");
  rec.setType("kind");
  const std::string before = dump(rec);

  const char* badnames[] = {"a=b", "a\rb", "a\nb", " a",
                            "\ta", "[a",   ";a",   "#a"};
  for (const char* name : badnames) {
    SCOPED_TRACE(name);
    EXPECT_THROW_MSG(rec.addUInt64(name, 1), "invalid name");
    EXPECT_THROW_MSG(rec.addStr(name, "x"), "invalid name");
  }
  EXPECT_THROW_MSG(rec.addStr("t", "two\nlines"), "invalid text");
  EXPECT_THROW_MSG(rec.addStr("keep", "cr\r"), "invalid text");
  EXPECT_THROW_MSG(rec.setType("a\nb"), "invalid text");

  // key, " = ", value: at most 4096 characters.
  const std::string name4089(4096 - 7 - 3 - 1, 'n');
  rec.addUInt64(name4089, 9);
  EXPECT_THROW_MSG(rec.addUInt64(name4089, 10), "line too long");
  EXPECT_EQ(9u, rec.getUInt64(name4089));
  rec.items.erase(name4089);
  rec.addStr("t", std::string(4096 - 5 - 3, 'x'));
  EXPECT_THROW_MSG(rec.addStr("t", std::string(4096 - 5 - 3 + 1, 'x')),
                   "line too long");
  rec.items.erase("t");
  EXPECT_THROW_MSG(rec.setType(std::string(4096 - 17 + 1, 'x')),
                   "line too long");
  rec.setType(std::string(4096 - 17, 'x'));
  rec.setType("kind");
  EXPECT_EQ(before, dump(rec));

  // Names may hold what the reader keeps: inner blanks, brackets later on.
  rec.addStr("a b]", " blanks at the ends ");
  EXPECT_EQ(" blanks at the ends ", rec.getStr("a b]"));
}

TEST(StructConfigTest, ExportWritesTheWholeSectionByteForByte) {
  StructConfig rec;
  rec.id = 7;
  rec.extrefcount = 1;
  rec.setType("image");
  rec.addUInt64("height", 480);
  rec.addStr("label", "front door");
  rec.import_kv("origin_extchild", "3,tag");
  rec.import_kv("pixels_file", "pixels_7__417_");
  rec.import_kv("thumb_child", "8");
  EXPECT_EQ(
      "[7]\n"
      "height_uint64 = 480\n"
      "label_str = front door\n"
      "origin_extchild = 3,tag\n"
      "pixels_file = pixels_7__417_\n"
      "thumb_child = 8\n"
      "extrefcount_sys = 1\n"
      "intrefcount_sys = 0\n"
      "structtype_sys = image\n"
      "\n",
      section(rec));

  StructConfig empty;
  empty.addStr("e", "");
  EXPECT_EQ(
      "[0]\ne_str = \nextrefcount_sys = 0\nintrefcount_sys = 0\n"
      "structtype_sys = \n\n",
      section(empty));
}

TEST(StructConfigTest, ExportOfAnImpossibleItemFailsAfterTheLinesBeforeIt) {
  StructConfig rec;
  rec.addUInt64("a", 1);
  rec.items["b"] = StructConfig::Item();
  std::ostringstream out;
  EXPECT_THROW_MSG(rec.export_kv(out), "imposible to reach here");
  EXPECT_EQ("[0]\na_uint64 = 1\n", out.str());
}

TEST(StructConfigTest, ImportDecidesByTheFirstMatchingSuffix) {
  StructConfig rec;
  rec.import_kv("_str", "empty-named");
  EXPECT_EQ("empty-named", rec.getStr(""));
  rec.import_kv("_uint64", "0");  // the later line wins, whatever its type
  EXPECT_EQ(0u, rec.getUInt64(""));
  rec.import_kv("a_ext_child", "4");
  EXPECT_EQ(StructConfig::ITEM_CHILD, rec.items["a_ext"].type);
  rec.import_kv("a_extchild", "3 , tag ");
  EXPECT_EQ(StructConfig::ITEM_EXTCHILD, rec.items["a"].type);
  EXPECT_EQ(3u, rec.items["a"].value);
  EXPECT_EQ("tag", rec.items["a"].str);
  rec.import_kv("b_extchild", "3,a,b");
  EXPECT_EQ("a,b", rec.items["b"].str);
  rec.import_kv("c_extchild", "3");
  EXPECT_EQ("3", rec.items["c"].str);
  rec.import_kv("big_child", "4294967301");
  EXPECT_EQ(4294967301u, rec.items["big"].value);

  rec.import_kv("structtype_sys", "one");
  rec.import_kv("structtype_sys", "two");
  rec.import_kv("extrefcount_sys", "+3");
  rec.import_kv("intrefcount_sys", "4");
  EXPECT_EQ("two", rec.structtype);
  EXPECT_EQ(3u, rec.extrefcount);
  EXPECT_EQ(4u, rec.intrefcount);
}

TEST(StructConfigTest, ImportFailuresLeaveTheRecordUnchanged) {
  StructConfig rec;
  rec.import_kv("n_uint64", "1");
  const std::string before = dump(rec);
  EXPECT_THROW_MSG(rec.import_kv("n_uint64", "x"), "conversion error");
  EXPECT_THROW_MSG(rec.import_kv("c_child", "-1"), "conversion error");
  EXPECT_THROW_MSG(rec.import_kv("e_extchild", ",tag"), "conversion error");
  EXPECT_THROW_MSG(rec.import_kv("extrefcount_sys", ""), "conversion error");
  EXPECT_THROW_MSG(rec.import_kv("owner_sys", "x"), "unknown sys var");
  EXPECT_THROW_MSG(rec.import_kv("xstructtype_sys", "x"), "unknown sys var");
  EXPECT_THROW_MSG(rec.import_kv("label_STR", "x"), "unindentified suffix");
  EXPECT_THROW_MSG(rec.import_kv("label", "x"), "unindentified suffix");
  EXPECT_EQ(before, dump(rec));
  EXPECT_EQ(0u, rec.extrefcount);
}

TEST(StructConfigTest, StoredFileNamesMustBeBareNames) {
  StructConfig rec;
  const std::string refused[] = {"",    ".",    "..",   "../etc",
                                 "a/b", "a\\b", "/abs", std::string("a\0b", 3)};
  for (const std::string& name : refused)
    EXPECT_THROW_MSG(rec.import_kv("f_file", name), "invalid file name");
  EXPECT_TRUE(rec.items.empty());
  rec.import_kv("f_file", "...");
  rec.import_kv("g_file", ".hidden_1__2_");
  EXPECT_EQ(2u, rec.items.size());
}

TEST(StructConfigTest, ItemsComeBackInNameOrderWhateverTheirArrival) {
  StructConfig rec;
  rec.import_kv("c_uint64", "3");
  rec.import_kv("a_uint64", "1");
  rec.import_kv("b_uint64", "2");
  rec.import_kv("a_uint64", "4");
  std::string order;
  for (const auto& entry : rec.items) order += entry.first;
  EXPECT_EQ("abc", order);
  EXPECT_EQ(4u, rec.getUInt64("a"));
}

}  // namespace
