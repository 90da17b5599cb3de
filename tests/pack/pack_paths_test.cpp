// SPDX-License-Identifier: GPL-2.0-or-later
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
  for (const char* bad : {"..", "..\\a", "a\\..", "\\\\..\\a", "", "\\", "a\\", "a/", ".", "a\\."}) {
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

// Controls and reordering characters become one '?' each; other text,
// UTF-8 or not, stays.
TEST(PrintableNameTest, ControlsAndBidiOverridesBecomeQuestionMarks) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x8E\xB5"},  // é, 日, 🎵
      {"a\x1B[2Jb\x7F\tc", "a?[2Jb??c"},
      {"\xC2\x85next\xC2\x9Bx\xC2\xA0", "?next?x\xC2\xA0"},                // U+0085, U+009B; U+00A0 stays
      {"\x9B" "31m\x80\xFF\xE9t\xE9", "?31m?\xFF\xE9t\xE9"},                  // raw bytes: C1 only
      {"evil\xE2\x80\xAEtxt.exe", "evil?txt.exe"},                             // U+202E
      // U+202A, U+202D, U+2066, U+2069; the mark U+200F stays
      {"\xE2\x80\xAA\xE2\x80\xAD\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8F", "????\xE2\x80\x8F"},
      {"\xC0\x85\xE0\x80\x9B\xED\xA0\x80", "\xC0?\xE0??\xED\xA0?"},           // overlong, surrogate: bytes
      {"\xE2\x80", "\xE2?"}};                                                      // cut sequence
  for (const auto& [raw, shown] : cases) EXPECT_EQ(PrintableName(raw), shown) << raw;
}

}  // namespace
