#include "repertoire.h"

#include <gtest/gtest.h>

#include "util/test_support.h"

TEST(DemoRepertoire, ToolRequestsAreRecognisedByWholeWordsAndThePersonaNamesTheSpeaker) {
  for (const char* yes :
       {"can you ls for me?", "Run the numbers", "please LIST the barrels", "look at this"}) {
    EXPECT_TRUE(asks_for_files(yes)) << yes;
  }
  EXPECT_FALSE(asks_for_files("tell me something else"));  // "else" holds "ls"
  EXPECT_FALSE(asks_for_files("hello"));
  EXPECT_EQ(persona_label("You are Brom, the village smith. Gruff."), "Brom");
  EXPECT_EQ(persona_label("A tired innkeeper. Speaks softly."), "A tired innkeeper");
  EXPECT_EQ(persona_label(""), "");
}

TEST(DemoRepertoire, ListingFallsBackToBashAndReadingNamesAFileThatExists) {
  DemoPlan listing = plan_demo_turn("read the scroll please", "", 1, "/");
  ASSERT_TRUE(listing.tool.has_value());
  EXPECT_EQ(listing.tool->name, "Bash");
  EXPECT_EQ(as_text(listing.tool->input, "command"), "ls -la");

  TempDir folder;
  write_file(folder / "ledger.txt", "3 barrels owed\n");
  DemoPlan reading = plan_demo_turn("read 'ledger.txt' aloud", "", 1, folder.path());
  ASSERT_TRUE(reading.tool.has_value());
  EXPECT_EQ(reading.tool->name, "Read");
  EXPECT_EQ(as_text(reading.tool->input, "file_path"), folder / "ledger.txt");

  DemoPlan chat = plan_demo_turn("hello", "You are Brom, the smith.", 0, "/");
  EXPECT_FALSE(chat.tool.has_value());
  EXPECT_EQ(chat.reply.rfind("*Brom looks up.* ", 0), 0u);
}
