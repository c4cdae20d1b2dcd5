#include "chunks.h"

#include <gtest/gtest.h>

TEST(DemoChunks, PiecesRejoinAndNeverSplitACharacterOrLoseASpace) {
  // Hello world, with é and an emoji.
  EXPECT_EQ(split_chars("h\xc3\xa9llo w\xf0\x9f\x98\x80rld", 4),
            (std::vector<std::string>{"h\xc3\xa9ll", "o w\xf0\x9f\x98\x80", "rld"}));
  EXPECT_TRUE(split_chars("", 4).empty());

  EXPECT_EQ(split_words("  Well met,  traveller! Come in\nout of the wind. ",
                        [] { return std::size_t{2}; }),
            (std::vector<std::string>{"  Well met,  ", "traveller! Come ", "in\nout ", "of the ",
                                      "wind. "}));
}
