#include "repertoire.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

TEST(DemoRepertoire, ToolRequestsAreRecognisedByWholeWords) {
  EXPECT_TRUE(asks_for_files("can you ls for me?"));
  EXPECT_TRUE(asks_for_files("Run the numbers"));
  EXPECT_TRUE(asks_for_files("please LIST the barrels"));
  EXPECT_TRUE(asks_for_files("look at this"));
  EXPECT_FALSE(asks_for_files("tell me something else"));  // "else" holds "ls"
  EXPECT_FALSE(asks_for_files("hello"));
}

TEST(DemoRepertoire, PersonaLabel) {
  EXPECT_EQ(persona_label("You are Brom, the village smith. Gruff."), "Brom");
  EXPECT_EQ(persona_label("A tired innkeeper. Speaks softly."), "A tired innkeeper");
  EXPECT_EQ(persona_label(""), "");
}

TEST(DemoRepertoire, ListingFallsBackToBashAndReadingNamesAFileThatExists) {
  DemoPlan listing = plan_demo_turn("read the scroll please", "", 1, "/");
  ASSERT_TRUE(listing.tool.has_value());
  EXPECT_EQ(listing.tool->name, "Bash");
  EXPECT_EQ(as_text(listing.tool->input, "command"), "ls -la");

  char folder[] = "/tmp/demo-repertoire-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  std::string file = std::string(folder) + "/ledger.txt";
  std::ofstream(file) << "3 barrels owed\n";
  DemoPlan reading = plan_demo_turn("read 'ledger.txt' aloud", "", 1, folder);
  ASSERT_TRUE(reading.tool.has_value());
  EXPECT_EQ(reading.tool->name, "Read");
  EXPECT_EQ(as_text(reading.tool->input, "file_path"), file);
  ::unlink(file.c_str());
  ::rmdir(folder);

  DemoPlan chat = plan_demo_turn("hello", "You are Brom, the smith.", 0, "/");
  EXPECT_FALSE(chat.tool.has_value());
  EXPECT_EQ(chat.reply.rfind("*Brom looks up.* ", 0), 0u);
}
