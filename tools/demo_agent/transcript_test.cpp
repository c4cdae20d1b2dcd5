#include "transcript.h"

#include <gtest/gtest.h>

TEST(DemoTranscript, FolderNamesSessionIdsAndTimestampsAreTheClis) {
  EXPECT_EQ(encode_project_folder("/tmp/my_ws.v2 x"), "-tmp-my-ws-v2-x");
  EXPECT_EQ(encode_project_folder("/home/u/Proj9"), "-home-u-Proj9");
  EXPECT_EQ(encode_project_folder("/caf\xc3\xa9"), "-caf--");  // one "-" a byte
  EXPECT_TRUE(is_plain_session_id("0b3c1a52-8d4e-4f1a-9c2b-1d2e3f4a5b6c"));
  using namespace std::string_literals;
  for (const std::string& id : {""s, "."s, ".."s, "../escape"s, "a\0b"s})
    EXPECT_FALSE(is_plain_session_id(id)) << id;
  auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
  EXPECT_EQ(iso_timestamp(when), "2023-11-14T22:13:20.123Z");
}
