#include "util/text.h"

#include <gtest/gtest.h>

#include "util/log.h"

TEST(Text, Utf8IsCheckedAndRepairedAndCountedByCodePoint) {
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x89"));
  // Overlong, a surrogate, past U+10FFFF, cut short, a lone continuation byte.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"})
    EXPECT_FALSE(is_valid_utf8(bad));
  EXPECT_EQ(to_valid_utf8(std::string("a\xFF") + "b"), std::string("a\xEF\xBF\xBD") + "b");
  EXPECT_EQ(to_valid_utf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");

  const std::string e_a_dragon = std::string("\xC3\xA9") + "a\xF0\x9F\x90\x89";
  const std::string text = e_a_dragon + "b";
  EXPECT_EQ(count_chars(text), 4u);
  EXPECT_EQ(truncate_chars(text, 3), e_a_dragon);
}

TEST(Text, WhiteSpaceIsUnicodeAndLogLinesStayOneLine) {
  EXPECT_EQ(trim(" \t\r\n hi there \xC2\xA0\xE3\x80\x80"), "hi there");  // NBSP, ideographic space
  EXPECT_EQ(trim("\xE2\x80\x83"), "");                                   // em space alone
  EXPECT_EQ(trim("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(split_whitespace("  one\n\n  two\xE2\x80\xA8three  "),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(ascii_lower("Keep-Alive \xC3\x89"), "keep-alive \xC3\x89");
  // Log lines stay one line. (OS errors as text: the end-to-end AgentTurns.)
  EXPECT_EQ(escape_log_message("a\nb\r\tc\x1b[31m\x7f"), "a\\nb\\r\\tc\\x1b[31m\\x7f");
  EXPECT_EQ(escape_log_message("caf\xC3\xA9"), "caf\xC3\xA9");
}
