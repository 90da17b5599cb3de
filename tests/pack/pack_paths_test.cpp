// The joining rules for entry names and the check that keeps output inside
// the destination.
#include <gtest/gtest.h>

#include "pack/pack.h"

namespace {

TEST(JoinEntryPathTest, FollowsTheRulesInOrder) {
  EXPECT_EQ(JoinEntryPath("dest", "a\\b.txt"), "dest\\a\\b.txt");
  // One leading backslash and none give the same path.
  EXPECT_EQ(JoinEntryPath("dest", "\\a.txt"), JoinEntryPath("dest", "a.txt"));
  // A destination ending with a backslash gets no second one.
  EXPECT_EQ(JoinEntryPath("dest\\", "a.txt"), "dest\\a.txt");
  EXPECT_EQ(JoinEntryPath("dest\\", "\\a.txt"), "dest\\a.txt");
  // An empty destination gives the name alone, without its leading backslash.
  EXPECT_EQ(JoinEntryPath("", "a.txt"), "a.txt");
  EXPECT_EQ(JoinEntryPath("", "\\a.txt"), "a.txt");
  // Only the first of two leading backslashes is dropped.
  EXPECT_EQ(JoinEntryPath("dest", "\\\\a.txt"), "dest\\\\a.txt");
  // An empty name gives the destination itself.
  EXPECT_EQ(JoinEntryPath("dest", ""), "dest");
  // A forward slash gets no special treatment.
  EXPECT_EQ(JoinEntryPath("dest/", "a"), "dest/\\a");
}

TEST(NameStaysInsideTest, RefusesParentPartsAbsoluteNamesAndZeroBytes) {
  EXPECT_TRUE(NameStaysInside("a.txt"));
  EXPECT_TRUE(NameStaysInside("\\a\\b.txt"));
  EXPECT_TRUE(NameStaysInside("a\\..b\\c..\\...\\d"));
  EXPECT_TRUE(NameStaysInside("a\\.\\b"));
  EXPECT_FALSE(NameStaysInside(".."));
  EXPECT_FALSE(NameStaysInside("..\\a"));
  EXPECT_FALSE(NameStaysInside("a\\..\\..\\b"));
  EXPECT_FALSE(NameStaysInside("a/../../b"));
  EXPECT_FALSE(NameStaysInside("a\\.."));
  EXPECT_FALSE(NameStaysInside("\\\\a"));   // absolute once one backslash is dropped
  EXPECT_FALSE(NameStaysInside("/etc/x"));  // joining does not drop a slash
  EXPECT_FALSE(NameStaysInside("\\/etc/x"));
  EXPECT_FALSE(NameStaysInside(""));
  EXPECT_FALSE(NameStaysInside("\\"));
  EXPECT_FALSE(NameStaysInside(std::string_view("a\0b", 3)));
}

}  // namespace
