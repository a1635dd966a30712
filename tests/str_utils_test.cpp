// SPDX-License-Identifier: MIT
#include "utils/str_utils.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(StrUtilsTest, TrimRemovesTheSixWhiteSpaceBytesAtBothEndsOnly) {
  EXPECT_EQ("a b", utils::trim("  a b \t\r"));
  EXPECT_EQ("", utils::trim(""));
  EXPECT_EQ("", utils::trim(" \t\n\v\f\r"));
  // Bytes from 0x80 up are not white space.
  EXPECT_EQ("\xA0x\xA0", utils::trim("\xA0x\xA0"));

  std::string line = "key = value\r";
  EXPECT_EQ(&line, &utils::trim_(line));
  EXPECT_EQ("key = value", line);

  std::string left = "  x  ";
  EXPECT_EQ("x  ", utils::ltrim_(left));
  std::string right = "  x  ";
  EXPECT_EQ("  x", utils::rtrim_(right));
}

TEST(StrUtilsTest, SuffixIsByteExactAndCaseSensitive) {
  EXPECT_TRUE(utils::suffixstreq("count_uint64", "_uint64"));
  EXPECT_TRUE(utils::suffixstreq("_uint64", "_uint64"));
  EXPECT_FALSE(utils::suffixstreq("uint64", "_uint64"));
  EXPECT_TRUE(utils::suffixstreq("anything", ""));
  EXPECT_TRUE(utils::suffixstreq("", ""));
  EXPECT_FALSE(utils::suffixstreq("label_STR", "_str"));
}

TEST(StrUtilsTest, TokenizeSplitsOnWhiteSpace) {
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}),
            utils::tokenize(" a  b\tc\n"));
  EXPECT_TRUE(utils::tokenize("").empty());
  EXPECT_TRUE(utils::tokenize("   ").empty());
  EXPECT_EQ((std::vector<std::string>{std::string("a\0b", 3)}),
            utils::tokenize(std::string(" a\0b ", 5)));
}

TEST(StrUtilsTest, StrtoAcceptsPlainUnsignedDecimal) {
  EXPECT_EQ(42u, utils::strto<unsigned int>(" 42 "));
  EXPECT_EQ(7u, utils::strto<unsigned int>("+7"));
  EXPECT_EQ(7u, utils::strto<unsigned int>("007"));
  EXPECT_EQ(0u, utils::strto<unsigned int>("+"));
  EXPECT_EQ(0u, utils::strto<unsigned int>(" + "));
  EXPECT_EQ(4294967295u, utils::strto<unsigned int>("4294967295"));
  // Too large a number wraps, as unsigned arithmetic does.
  EXPECT_EQ(0u, utils::strto<unsigned int>("4294967296"));
  EXPECT_EQ(18446744073709551615ul,
            utils::strto<unsigned long>("18446744073709551615"));
  EXPECT_EQ(0ul, utils::strto<unsigned long>("18446744073709551616"));
}

TEST(StrUtilsTest, StrtoRefusesEverythingElse) {
  const char* refused[] = {"",   "  ",   "-1",  "++1", "1 2",
                           "4a", "0x10", "1.0", "1e3", "+ 1"};
  for (const char* text : refused) {
    EXPECT_THROW_MSG(utils::strto<unsigned int>(text), "conversion error");
    EXPECT_THROW_MSG(utils::strto<unsigned long>(text), "conversion error");
  }
}

TEST(StrUtilsTest, TostrWritesPlainDecimal) {
  EXPECT_EQ("0", utils::tostr(0u));
  EXPECT_EQ("4294967295", utils::tostr(4294967295u));
}

}  // namespace
