// The joining rules for entry names and the check that keeps output inside
// the destination (the reader's refusals are checked with the reader).
#include <gtest/gtest.h>

#include "pack/pack.h"

namespace {

TEST(JoinEntryPathTest, FollowsTheRulesInOrder) {
  EXPECT_EQ(JoinEntryPath("dest", "a\\b"), "dest\\a\\b");
  EXPECT_EQ(JoinEntryPath("dest", "\\a"), "dest\\a");     // one leading backslash dropped
  EXPECT_EQ(JoinEntryPath("dest\\", "\\a"), "dest\\a");   // no second backslash
  EXPECT_EQ(JoinEntryPath("", "\\a"), "a");               // empty destination: the name
  EXPECT_EQ(JoinEntryPath("dest", "\\\\a"), "dest\\\\a");  // only one dropped
  EXPECT_EQ(JoinEntryPath("dest", ""), "dest");           // empty name: the destination
  EXPECT_EQ(JoinEntryPath("dest/", "a"), "dest/\\a");     // '/' is not special
}

TEST(NameStaysInsideTest, DotsInsideAPartAreFineParentPartsAreNot) {
  for (const char* good : {"a.txt", "\\a\\b", "a\\..b\\c..\\...\\d", "a\\.\\b"}) EXPECT_TRUE(NameStaysInside(good));
  for (const char* bad : {"..", "..\\a", "a\\..", "\\\\..\\a", "", "\\", "a\\", "a/"}) {
    EXPECT_FALSE(NameStaysInside(bad)) << bad;
  }
  EXPECT_FALSE(NameStaysInside(std::string_view("a\0b", 3)));
}

// A separator left at the start after the dropped backslash collapses into
// the one after the destination; only an empty destination would make the
// joined path absolute.
TEST(NameStaysInsideTest, LeadingSeparatorsAreRefusedOnlyUnderAnEmptyDestination) {
  for (const char* name : {"\\\\a", "/etc", "\\/etc", "\\\\\\a\\b"}) {
    EXPECT_TRUE(NameStaysInside(name)) << name;
    EXPECT_FALSE(NameStaysInside(name, true)) << name;
  }
  EXPECT_TRUE(NameStaysInside("\\a", true));
}

}  // namespace
