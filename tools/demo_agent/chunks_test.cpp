#include "chunks.h"

#include <gtest/gtest.h>

namespace {
std::string joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) out += p;
  return out;
}
}  // namespace

TEST(DemoChunks, CharacterPiecesNeverSplitACharacter) {
  std::string text = "h\xc3\xa9llo w\xf0\x9f\x98\x80rld";  // hello world, with é and an emoji
  std::vector<std::string> pieces = split_chars(text, 4);
  EXPECT_EQ(joined(pieces), text);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], "h\xc3\xa9ll");
  EXPECT_EQ(pieces[1], "o w\xf0\x9f\x98\x80");
  EXPECT_TRUE(split_chars("", 4).empty());
}

TEST(DemoChunks, WordPiecesKeepTheirSpacesAndRejoin) {
  std::string text = "  Well met,  traveller! Come in\nout of the wind. ";
  std::vector<std::string> pieces = split_words(text, [] { return std::size_t{2}; });
  EXPECT_EQ(joined(pieces), text);
  ASSERT_GE(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "  Well met,  ");
  EXPECT_EQ(pieces[1], "traveller! Come ");
}
