#include "chunks.h"

#include <gtest/gtest.h>

TEST(DemoChunks, PiecesRejoinAndNeverSplitACharacterOrLoseASpace) {
  std::string text = "h\xc3\xa9llo w\xf0\x9f\x98\x80rld";  // hello world, with é and an emoji
  EXPECT_EQ(split_chars(text, 4),
            (std::vector<std::string>{"h\xc3\xa9ll", "o w\xf0\x9f\x98\x80", "rld"}));
  EXPECT_TRUE(split_chars("", 4).empty());

  text = "  Well met,  traveller! Come in\nout of the wind. ";
  std::vector<std::string> pieces = split_words(text, [] { return std::size_t{2}; });
  std::string joined;
  for (const std::string& p : pieces) joined += p;
  EXPECT_EQ(joined, text);
  ASSERT_GE(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "  Well met,  ");
  EXPECT_EQ(pieces[1], "traveller! Come ");
}
