#include "input.h"

#include <gtest/gtest.h>

TEST(DemoInput, ReadsTheTextOfAUserLine) {
  auto blocks = read_user_line(
      R"({"message":{"content":[{"text":"hi","type":"text"},{"type":"image"},{"text":"there","type":"text"}],"role":"user"},"type":"user"})");
  ASSERT_TRUE(blocks.has_value());
  EXPECT_EQ(blocks->text, "hi\nthere");
  EXPECT_EQ(as_text(blocks->message, "role"), "user");

  auto plain = read_user_line(R"({"type":"user","message":{"role":"user","content":"just text"}})");
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->text, "just text");

  EXPECT_FALSE(read_user_line("not json").has_value());
  EXPECT_FALSE(read_user_line(R"({"type":"control_request","message":{}})").has_value());
  EXPECT_FALSE(read_user_line(R"({"type":"user"})").has_value());
}
