#include "util/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "util/test_support.h"

namespace {

TEST(HomeDir, PrefersHomeThenUserProfileThenEmpty) {
  ScopedEnv env;
  env.set("HOME", "/home/h");
  env.set("USERPROFILE", "/home/p");
  EXPECT_EQ(home_dir(), "/home/h");
  env.set("HOME", "");  // set but empty still wins
  EXPECT_EQ(home_dir(), "");
  env.unset("HOME");
  EXPECT_EQ(home_dir(), "/home/p");
  env.unset("USERPROFILE");
  EXPECT_EQ(home_dir(), "");
}

TEST(ExpandHome, ReplacesOnlyALeadingTildeOfTheUsersOwnHome) {
  ScopedEnv env;
  env.set("HOME", "/Users/p");
  EXPECT_EQ(expand_home("~"), "/Users/p");
  EXPECT_EQ(expand_home("~/game"), "/Users/p/game");
  EXPECT_EQ(expand_home("~/"), "/Users/p/");
  EXPECT_EQ(expand_home("~bob/game"), "~bob/game");
  EXPECT_EQ(expand_home("a/~/b"), "a/~/b");
  EXPECT_EQ(expand_home(""), "");
  env.set("HOME", "/Users/p/");
  EXPECT_EQ(expand_home("~/game"), "/Users/p/game");
}

TEST(ExpandHome, EmptyHomeLeavesTheRest) {
  ScopedEnv env;
  env.unset("HOME");
  env.unset("USERPROFILE");
  EXPECT_EQ(expand_home("~"), "");
  EXPECT_EQ(expand_home("~/game"), "game");
}

TEST(JoinPath, AddsOneSeparatorAndKeepsAbsoluteSecondParts) {
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("", "b"), "b");
  EXPECT_EQ(join_path("/a", "/b"), "/b");
}

TEST(AbsolutePath, FoldsDotsLexically) {
  EXPECT_EQ(absolute_path("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(absolute_path("/.."), "/");
  EXPECT_EQ(absolute_path("/../../x"), "/x");
  EXPECT_EQ(absolute_path("/"), "/");
  EXPECT_EQ(absolute_path("//a//b/"), "/a/b");
  EXPECT_EQ(absolute_path("/a/b/.."), "/a");
  EXPECT_EQ(absolute_path("/a/.../b"), "/a/.../b");
}

TEST(AbsolutePath, JoinsRelativePathsToTheWorkingFolder) {
  TempDir tmp;
  std::string base = tmp.path() + "/a/b";
  std::filesystem::create_directories(base);
  ScopedCwd cwd(base);
  EXPECT_EQ(absolute_path("x/y"), base + "/x/y");
  EXPECT_EQ(absolute_path("../x"), tmp.path() + "/a/x");
  EXPECT_EQ(absolute_path("./../../a/./b/"), base);
  EXPECT_EQ(absolute_path(""), base);
}

TEST(AbsolutePath, DoesNotResolveSymbolicLinks) {
  TempDir tmp;
  std::filesystem::create_directories(tmp.path() + "/a/b");
  std::string link = tmp.path() + "/link";
  ASSERT_EQ(::symlink((tmp.path() + "/a/b").c_str(), link.c_str()), 0);
  // The file system would take link/.. to a; the lexical fold takes it back to the top.
  EXPECT_EQ(absolute_path(link + "/../x"), tmp.path() + "/x");
  EXPECT_EQ(absolute_path(link), link);
}

TEST(FileChecks, ExecutableMeansRegularWithAnExecuteBit) {
  TempDir tmp;
  std::string run = tmp.path() + "/run";
  std::string data = tmp.path() + "/data";
  std::string others = tmp.path() + "/others";
  write_script(run, 0700);
  write_script(data, 0644);
  write_script(others, 0601);
  std::string link = tmp.path() + "/link";
  ASSERT_EQ(::symlink(run.c_str(), link.c_str()), 0);
  std::string dangling = tmp.path() + "/dangling";
  ASSERT_EQ(::symlink((tmp.path() + "/nothing").c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(is_executable_file(run));
  EXPECT_TRUE(is_executable_file(others));
  EXPECT_TRUE(is_executable_file(link));
  EXPECT_FALSE(is_executable_file(data));
  EXPECT_FALSE(is_executable_file(tmp.path()));  // a searchable folder is not a program
  EXPECT_FALSE(is_executable_file(dangling));
  EXPECT_FALSE(is_executable_file(tmp.path() + "/nothing"));

  EXPECT_TRUE(is_directory(tmp.path()));
  EXPECT_FALSE(is_directory(run));
  EXPECT_TRUE(is_regular_file(data));
  EXPECT_FALSE(is_regular_file(tmp.path()));
  EXPECT_FALSE(is_regular_file(dangling));
}

}  // namespace
