#include "config/parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "config/config.h"
#include "config/policy.h"
#include "util/test_support.h"

namespace {

using Args = std::vector<std::string>;
using Kind = Invocation::Kind;

std::string with_usage(const std::string& head) {
  return head + "\n\n" + std::string(usage_text());
}

// Checks that the arguments end in Exit with exactly this message and status.
void expect_exit(const Args& args, const std::string& message, int status) {
  Invocation out = parse(args);
  EXPECT_EQ(out.kind, Kind::Exit);
  EXPECT_EQ(out.message, message);
  EXPECT_EQ(out.status, status);
}

// A working environment for the serve path: a HOME, a PATH holding an executable "claude" (and
// a folder with a "claude" that is not executable in front of it), a workspace folder, no
// AGENT_MODEL; the working folder is the temporary folder.
class ServeTest : public ::testing::Test {
 protected:
  ServeTest() : cwd_(tmp_.path()) {
    std::filesystem::create_directories(tmp_ / "bin");
    std::filesystem::create_directories(tmp_ / "plain");
    std::filesystem::create_directories(tmp_ / "home");
    std::filesystem::create_directories(tmp_ / "work");
    write_script(claude(), 0755);
    write_script(tmp_ / "plain/claude", 0644);
    env_.set("HOME", home());
    env_.set("PATH", tmp_ / "plain" + ":" + tmp_ / "bin");
    env_.unset("AGENT_MODEL");
  }

  std::string claude() const { return tmp_ / "bin/claude"; }
  std::string home() const { return tmp_ / "home"; }

  // Parses and expects the serve outcome.
  Invocation serve(const Args& args) {
    Invocation out = parse(args);
    EXPECT_EQ(out.kind, Kind::Serve) << out.message;
    return out;
  }

  TempDir tmp_;
  ScopedEnv env_;
  ScopedCwd cwd_;
};

// --- the argument scan ------------------------------------------------------------------------

TEST(ParseScan, HelpPrintsTheUsageTextWithStatusZero) {
  for (const Args& args : {Args{"-h"}, Args{"--help"}, Args{"--port", "1", "--help", "--bogus"}}) {
    Invocation out = parse(args);
    EXPECT_EQ(out.kind, Kind::Exit);
    EXPECT_EQ(out.message, usage_text());
    EXPECT_EQ(out.status, 0);
  }
}

TEST(ParseScan, TheFirstBadArgumentWinsOverALaterHelp) {
  expect_exit({"--bogus", "--help"}, with_usage("error: unknown option --bogus"), 2);
  expect_exit({"word", "-h"}, with_usage("error: unexpected argument word"), 2);
}

TEST(ParseScan, UnknownOptions) {
  expect_exit({"--"}, with_usage("error: unknown option --"), 2);
  expect_exit({"--help=x"}, with_usage("error: unknown option --help"), 2);
  expect_exit({"--Port", "1"}, with_usage("error: unknown option --Port"), 2);
  expect_exit({"--=x"}, with_usage("error: unknown option --"), 2);
}

TEST(ParseScan, UnexpectedArguments) {
  expect_exit({"-x"}, with_usage("error: unexpected argument -x"), 2);
  expect_exit({"-"}, with_usage("error: unexpected argument -"), 2);
  expect_exit({""}, with_usage("error: unexpected argument "), 2);
  expect_exit({"serve"}, with_usage("error: unexpected argument serve"), 2);
  expect_exit({"-help"}, with_usage("error: unexpected argument -help"), 2);
}

TEST(ParseScan, MissingValueNamesTheOption) {
  expect_exit({"--port"}, "error: --port needs a value", 2);
  expect_exit({"--hook", "--bridge", "u", "--npc"}, "error: --npc needs a value", 2);
}

TEST(ParseScan, ArgumentsThatAreNotUtf8AreUnexpected) {
  const std::string bad = std::string("a\xff") + "b";
  const std::string shown = std::string("a\xEF\xBF\xBD") + "b";
  expect_exit({bad}, with_usage("error: unexpected argument " + shown), 2);
  expect_exit({"--" + bad}, with_usage("error: unexpected argument --" + shown), 2);
  expect_exit({"--model=" + bad}, with_usage("error: unexpected argument --model=" + shown), 2);
  // A value taken from the next argument is checked as well, even in hook mode.
  expect_exit({"--hook", "--bridge", bad, "--npc", "n"},
              with_usage("error: unexpected argument " + shown), 2);
}

TEST(ParseScan, ValuesInlineOrFromTheNextArgumentWhateverItLooksLike) {
  Invocation out = parse({"--hook", "--bridge=http://h:1/x=y", "--npc", "--port"});
  ASSERT_EQ(out.kind, Kind::Hook) << out.message;
  EXPECT_EQ(out.bridge_url, "http://h:1/x=y");
  EXPECT_EQ(out.npc_id, "--port");

  out = parse({"--hook=x", "--npc=", "--bridge", "-h"});
  ASSERT_EQ(out.kind, Kind::Hook) << out.message;
  EXPECT_EQ(out.npc_id, "");  // an empty inline value is a value
  EXPECT_EQ(out.bridge_url, "-h");

  // A later occurrence replaces the earlier value; a repeated switch is harmless.
  out = parse({"--hook", "--npc", "a", "--bridge", "u", "--npc", "b", "--hook"});
  ASSERT_EQ(out.kind, Kind::Hook) << out.message;
  EXPECT_EQ(out.npc_id, "b");
}

// --- hook mode --------------------------------------------------------------------------------

TEST(ParseHook, NeedsBridgeThenNpc) {
  expect_exit({"--hook"}, "error: --hook needs --bridge", 2);
  expect_exit({"--hook", "--npc", "n"}, "error: --hook needs --bridge", 2);
  expect_exit({"--hook", "--bridge", "http://127.0.0.1:8787"}, "error: --hook needs --npc", 2);
}

TEST(ParseHook, ExaminesNoOtherOption) {
  ScopedEnv env;
  env.unset("PATH");  // serving would fail: no claude
  Invocation out = parse({"--port", "99999", "--permission-policy", "nope", "--workspace",
                          "/no/such/dir", "--hook", "--bridge", "B", "--npc", "smith \xC3\xA9"});
  ASSERT_EQ(out.kind, Kind::Hook) << out.message;
  EXPECT_EQ(out.bridge_url, "B");
  EXPECT_EQ(out.npc_id, "smith \xC3\xA9");
}

// --- validation, in its order -----------------------------------------------------------------

TEST_F(ServeTest, FailureMessagesAndStatusesInValidationOrder) {
  // Every option wrong; dropping them from the front one pair at a time shows the next failure.
  const std::vector<std::pair<std::string, std::string>> all_bad = {
      {"--permission-policy", "Ask"},
      {"--permission-mode", "auto"},
      {"--port", "-1"},
      {"--permission-timeout", "abc"},
      {"--claude", "/nonexistent/claude"},
      {"--workspace", "/nonexistent/ws"}};
  auto without = [&](std::size_t dropped) {
    Args args;
    for (std::size_t i = dropped; i < all_bad.size(); ++i) {
      args.push_back(all_bad[i].first);
      args.push_back(all_bad[i].second);
    }
    return args;
  };

  expect_exit(without(0), "error: --permission-policy must be one of ask, auto, trust (got Ask)",
              2);
  expect_exit(without(1), "error: invalid --permission-mode auto", 2);
  expect_exit(without(2), "error: invalid --port -1", 2);
  expect_exit(without(3), "error: invalid --permission-timeout abc", 2);
  expect_exit(without(4), "error: `claude` CLI not found (/nonexistent/claude)", 1);
  expect_exit(without(5), "error: workspace not a directory: /nonexistent/ws", 1);
  serve({});
}

TEST_F(ServeTest, NothingIsStoredWhenAValidationFails) {
  serve({"--permission-policy", "trust", "--port", "1111", "--state-file", "/s1"});
  ASSERT_EQ(current_policy(), "trust");
  expect_exit({"--permission-policy", "ask", "--state-file", "/s2", "--workspace", "/nonexistent"},
              "error: workspace not a directory: /nonexistent", 1);
  EXPECT_EQ(current_policy(), "trust");
  EXPECT_EQ(state_file_path(), "/s1");
  EXPECT_EQ(config().port, 1111);
}

TEST_F(ServeTest, PolicyAndPermissionModeAcceptOnlyTheirExactNames) {
  for (const char* policy : {"ask", "auto", "trust"}) {
    serve({"--permission-policy", policy});
    EXPECT_EQ(current_policy(), policy);
  }
  expect_exit({"--permission-policy", ""},
              "error: --permission-policy must be one of ask, auto, trust (got )", 2);
  for (const char* mode : {"default", "acceptEdits", "dontAsk", "plan", "bypassPermissions"}) {
    serve({"--permission-mode", mode, "--permission-policy", "ask"});
    EXPECT_EQ(current_policy(), "ask");  // the mode is checked and dropped; the policy decides
  }
  expect_exit({"--permission-mode", "acceptedits"}, "error: invalid --permission-mode acceptedits",
              2);
  serve({});
  EXPECT_EQ(current_policy(), "auto");
}

TEST_F(ServeTest, PortForms) {
  EXPECT_EQ(serve({"--port=8080"}).kind, Kind::Serve);
  EXPECT_EQ(config().port, 8080);
  serve({"--port", "8080"});
  EXPECT_EQ(config().port, 8080);
  serve({"--port", "+80"});
  EXPECT_EQ(config().port, 80);
  serve({"--port", "0"});
  EXPECT_EQ(config().port, 0);
  serve({});
  EXPECT_EQ(config().port, 8787);
  for (const char* bad :
       {"65536", "-1", " 80", "", "+", "80 ", "0x50", "8e1", "++80", "\xD9\xA1"}) {
    expect_exit({"--port", bad}, std::string("error: invalid --port ") + bad, 2);
  }
}

TEST(ParsePort, Syntax) {
  EXPECT_EQ(parse_port("65535"), 65535);
  EXPECT_EQ(parse_port("000000000000000080"), 80);  // leading zeros do not overflow
  EXPECT_EQ(parse_port("+0"), 0);
  EXPECT_FALSE(parse_port("65536"));
  EXPECT_FALSE(parse_port("4294967376"));  // 2^32 + 80 must not wrap to 80
  EXPECT_FALSE(parse_port("-0"));
}

TEST(ParseSeconds, AcceptsTheDecimalSyntax) {
  EXPECT_EQ(parse_seconds("1e3"), 1000.0);
  EXPECT_EQ(parse_seconds("240"), 240.0);
  EXPECT_EQ(parse_seconds("1."), 1.0);
  EXPECT_EQ(parse_seconds(".5"), 0.5);
  EXPECT_EQ(parse_seconds("+.5e-3"), 0.0005);
  EXPECT_EQ(parse_seconds("-2.5E+1"), -25.0);
  EXPECT_EQ(parse_seconds("007"), 7.0);
  EXPECT_EQ(parse_seconds("-inf"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_seconds("Infinity"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_seconds("+INF"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_seconds("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_seconds("1e-400"), 0.0);
  std::optional<double> nan = parse_seconds("NaN");
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(*nan));
  ASSERT_TRUE(parse_seconds("-nan"));
}

TEST(ParseSeconds, RejectsEverythingElse) {
  for (const char* bad : {"",        ".",      "e5",    "1e",    "1e+",  ".e1", "abc",
                          " 1",      "1 ",     "0x10",  "1.5.2", "--1",  "+-1", "in",
                          "infinit", "nan(1)", "1_000", "1,5",   "inf1", "1d",  "\xEF\xBC\x91"}) {
    EXPECT_FALSE(parse_seconds(bad)) << bad;
  }
}

TEST_F(ServeTest, PermissionTimeoutIsStoredUnchecked) {
  serve({"--permission-timeout", "1e3"});
  EXPECT_EQ(config().permission_timeout, 1000.0);
  serve({"--permission-timeout=-5"});
  EXPECT_EQ(config().permission_timeout, -5.0);
  serve({});
  EXPECT_EQ(config().permission_timeout, 240.0);
  expect_exit({"--permission-timeout", "1e"}, "error: invalid --permission-timeout 1e", 2);
}

// --- finding claude ---------------------------------------------------------------------------

TEST_F(ServeTest, ClaudeIsTheFirstExecutableOnPath) {
  serve({});
  EXPECT_EQ(config().claude, claude());  // the non-executable one earlier on PATH is skipped

  std::filesystem::create_directories(tmp_ / "first");
  write_script(tmp_ / "first/claude", 0700);
  env_.set("PATH", "/nonexistent:" + tmp_ / "first" + ":" + tmp_ / "bin");
  serve({"--claude", ""});  // an empty value searches PATH too
  EXPECT_EQ(config().claude, tmp_ / "first/claude");
}

TEST_F(ServeTest, ClaudeNotOnPath) {
  env_.unset("PATH");
  expect_exit({}, "error: `claude` CLI not found (not on PATH)", 1);
  env_.set("PATH", tmp_ / "plain");
  expect_exit({}, "error: `claude` CLI not found (not on PATH)", 1);
  env_.set("PATH", "");
  expect_exit({"--claude="}, "error: `claude` CLI not found (not on PATH)", 1);
}

TEST_F(ServeTest, GivenClaudeMustBeAnExecutableFile) {
  env_.unset("PATH");  // a given path is not looked up
  serve({"--claude", claude()});
  EXPECT_EQ(config().claude, claude());
  expect_exit({"--claude", tmp_ / "plain/claude"},
              "error: `claude` CLI not found (" + tmp_ / "plain/claude" + ")", 1);
  expect_exit({"--claude", tmp_.path()}, "error: `claude` CLI not found (" + tmp_.path() + ")", 1);
  expect_exit({"--claude", "~/claude"}, "error: `claude` CLI not found (~/claude)", 1);
}

TEST_F(ServeTest, RelativeClaudeIsAnchoredToTheStartFolder) {
  // Agents start in their NPC's workspace, so a relative path would name another file there.
  serve({"--claude", "bin/claude"});
  EXPECT_EQ(config().claude, tmp_.path() + "/bin/claude");
  env_.set("PATH", "bin");
  serve({});
  EXPECT_EQ(config().claude, tmp_.path() + "/bin/claude");
}

// --- workspace ----------------------------------------------------------------------------------

TEST_F(ServeTest, WorkspaceDefaultsToTheWorkingFolder) {
  serve({});
  EXPECT_EQ(config().workspace, tmp_.path());
}

TEST_F(ServeTest, WorkspaceExpandsHomeAndFoldsDots) {
  std::filesystem::create_directories(tmp_ / "home/game");
  serve({"--workspace", "~/game"});
  EXPECT_EQ(config().workspace, home() + "/game");

  std::filesystem::create_directories(tmp_ / "a/b");
  std::filesystem::create_directories(tmp_ / "a/x");
  ScopedCwd inner(tmp_ / "a/b");
  serve({"--workspace", "../x"});
  EXPECT_EQ(config().workspace, tmp_ / "a/x");
  serve({"--workspace=./"});
  EXPECT_EQ(config().workspace, tmp_ / "a/b");
  serve({"--workspace="});
  EXPECT_EQ(config().workspace, tmp_ / "a/b");
}

TEST_F(ServeTest, WorkspaceMustBeADirectory) {
  expect_exit({"--workspace", "work/../bin/claude"},
              "error: workspace not a directory: " + tmp_ / "bin/claude", 1);
  expect_exit({"--workspace", "~/missing"},
              "error: workspace not a directory: " + home() + "/missing", 1);
}

// --- the stored settings ----------------------------------------------------------------------

TEST_F(ServeTest, DefaultsAndSwitches) {
  Invocation out = serve({});
  EXPECT_FALSE(out.reset_workspaces);
  EXPECT_FALSE(out.exit_with_stdin);
  const Config& c = config();
  EXPECT_EQ(c.model, "");
  EXPECT_EQ(c.models, (std::vector<std::string>{"opus[1m]", "opus", "sonnet", "haiku", "fable"}));
  EXPECT_EQ(c.ask_tools, "Bash");
  EXPECT_EQ(c.host, "127.0.0.1");
  EXPECT_FALSE(c.keep_api_key);
  EXPECT_FALSE(c.self_exe.empty());
  EXPECT_EQ(c.self_exe.front(), '/');
  EXPECT_EQ(state_file_path(), home() + "/.cache/quillhaven/bridge_state.json");

  out = serve({"--reset-workspaces", "--exit-with-stdin=no", "--keep-api-key", "--host", "::1",
               "--ask-tools", "Bash|Write(", "--model", "a=b", "--bridge", "x", "--npc", "y"});
  EXPECT_TRUE(out.reset_workspaces);
  EXPECT_TRUE(out.exit_with_stdin);  // an inline value on a switch is ignored
  EXPECT_TRUE(config().keep_api_key);
  EXPECT_EQ(config().host, "::1");
  EXPECT_EQ(config().ask_tools, "Bash|Write(");  // stored unchecked
  EXPECT_EQ(config().model, "a=b");
  serve({"--model=a=b"});
  EXPECT_EQ(config().model, "a=b");
}

TEST_F(ServeTest, StateFileExpandsHomeButStaysRelative) {
  serve({"--state-file", "~/s.json"});
  EXPECT_EQ(state_file_path(), home() + "/s.json");
  serve({"--state-file", "rel/../s.json"});
  EXPECT_EQ(state_file_path(), "rel/../s.json");
  env_.unset("HOME");
  env_.unset("USERPROFILE");
  serve({"--workspace", tmp_.path()});
  EXPECT_EQ(state_file_path(), ".cache/quillhaven/bridge_state.json");
}

TEST_F(ServeTest, ModelsAreSplitTrimmedAndEmptiesDropped) {
  serve({"--models", " sonnet ,, opus[1m]\t,\xE2\x80\x83haiku\xC2\xA0, ,"});
  EXPECT_EQ(config().models, (std::vector<std::string>{"sonnet", "opus[1m]", "haiku"}));
  serve({"--models="});
  EXPECT_TRUE(config().models.empty());
  serve({"--models", "a b"});
  EXPECT_EQ(config().models, (std::vector<std::string>{"a b"}));
}

TEST_F(ServeTest, AgentModelFromTheEnvironment) {
  env_.set("AGENT_MODEL", "haiku");
  serve({});
  EXPECT_EQ(config().model, "haiku");
  serve({"--model", ""});  // a given model, even empty, wins
  EXPECT_EQ(config().model, "");
  env_.set("AGENT_MODEL", "");
  serve({});
  EXPECT_EQ(config().model, "");
  env_.set("AGENT_MODEL", "bad\xFF");
  serve({});
  EXPECT_EQ(config().model, "");
}

// --- the usage text ---------------------------------------------------------------------------

TEST(UsageText, ExactBytes) {
  std::string_view text = usage_text();
  EXPECT_EQ(text.size(), 1626u);
  EXPECT_EQ(text.substr(0, 75),
            "quillhaven-bridge: the bridge between the Quillhaven game and Claude Code.\n");
  EXPECT_NE(text.find("\nusage:\n    quillhaven-bridge [options]                     run the "
                      "bridge\n"),
            std::string_view::npos);
  EXPECT_NE(text.find("\n    --model MODEL            model new NPCs start on; empty means "
                      "whatever the\n                             claude CLI is configured to use "
                      "(default: $AGENT_MODEL)\n"),
            std::string_view::npos);
  std::string_view last =
      "    --exit-with-stdin        shut down when stdin closes (how the game "
      "runs it)\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 27);
}

}  // namespace
