#include "util/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "util/test_support.h"

TEST(Paths, HomeIsHomeThenUserProfileAndATildeOfOnlyTheUsersOwnIsExpanded) {
  ScopedEnv env;
  env.set("HOME", "/home/h");
  env.set("USERPROFILE", "/home/p");
  EXPECT_EQ(home_dir(), "/home/h");
  env.set("HOME", "");  // set but empty still wins
  EXPECT_EQ(home_dir(), "");
  EXPECT_EQ(expand_home("~/game"), "game");
  env.unset("HOME");
  EXPECT_EQ(home_dir(), "/home/p");
  env.unset("USERPROFILE");
  EXPECT_EQ(home_dir(), "");
  EXPECT_EQ(expand_home("~"), "");

  env.set("HOME", "/Users/p");
  const std::vector<std::pair<const char*, const char*>> expansions = {
      {"~", "/Users/p"},          {"~/game", "/Users/p/game"}, {"~/", "/Users/p/"},
      {"~bob/game", "~bob/game"}, {"a/~/b", "a/~/b"},          {"", ""}};
  for (const auto& [path, expanded] : expansions) EXPECT_EQ(expand_home(path), expanded) << path;
}

TEST(Paths, JoinAddsOneSeparatorAndAbsoluteFoldsDotsWithoutTheFileSystem) {
  for (const auto& [a, b, joined] : std::vector<std::tuple<const char*, const char*, const char*>>{
           {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"", "b", "b"}, {"/a", "/b", "/b"}}) {
    EXPECT_EQ(join_path(a, b), joined);
  }
  const std::vector<std::pair<const char*, const char*>> folds = {
      {"/a/b/../c/./d", "/a/c/d"}, {"/..", "/"},      {"/../../x", "/x"},      {"/", "/"},
      {"//a//b/", "/a/b"},         {"/a/b/..", "/a"}, {"/a/.../b", "/a/.../b"}};
  for (const auto& [path, folded] : folds) EXPECT_EQ(absolute_path(path), folded) << path;

  TempDir tmp;
  std::string base = tmp / "a/b";
  std::filesystem::create_directories(base);
  ScopedCwd cwd(base);
  EXPECT_EQ(absolute_path("x/y"), base + "/x/y");
  EXPECT_EQ(absolute_path("./../../a/./b/"), base);
  // Symbolic links are not resolved: the file system would take link/.. to a.
  ASSERT_EQ(::symlink(base.c_str(), (tmp / "link").c_str()), 0);
  EXPECT_EQ(absolute_path(tmp / "link/../x"), tmp / "x");
  EXPECT_EQ(absolute_path(tmp / "link"), tmp / "link");
}
