#include "config/parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <tuple>

#include "config/config.h"
#include "config/policy.h"
#include "util/test_support.h"

namespace {

using Args = std::vector<std::string>;
using Kind = Invocation::Kind;

std::string with_usage(const std::string& head) {
  return head + "\n\n" + std::string(usage_text());
}

// The serve path's environment in a fresh working folder: HOME holding "game", no AGENT_MODEL,
// and a PATH whose first "claude" is not executable and whose second is.
class Parse : public ::testing::Test {
 protected:
  Parse() : cwd_(tmp_.path()) {
    for (const char* dir : {"bin", "plain", "home/game", "work", "a/b", "a/x"})
      std::filesystem::create_directories(tmp_ / dir);
    write_script(claude(), 0755);
    write_script(tmp_ / "plain/claude", 0644);
    env_.set("HOME", home());
    env_.set("PATH", tmp_ / "plain" + ":" + tmp_ / "bin");
    env_.unset("AGENT_MODEL");
  }

  std::string claude() const { return tmp_ / "bin/claude"; }
  std::string home() const { return tmp_ / "home"; }

  Invocation serve(const Args& args) {
    Invocation out = parse(args);
    EXPECT_EQ(out.kind, Kind::Serve) << out.message;
    return out;
  }

  void expect_exit(const Args& args, const std::string& message, int status) {
    Invocation out = parse(args);
    EXPECT_EQ(out.kind, Kind::Exit) << message;
    EXPECT_EQ(out.message, message);
    EXPECT_EQ(out.status, status) << message;
  }

  TempDir tmp_;
  ScopedEnv env_;
  ScopedCwd cwd_;
};

// One stored setting as text, so that a table can name what it expects.
std::string stored(const std::string& what) {
  const Config& c = config();
  std::ostringstream out;
  if (what == "port") out << c.port;
  if (what == "timeout") out << c.permission_timeout;
  if (what == "claude") out << c.claude;
  if (what == "workspace") out << c.workspace;
  if (what == "model") out << c.model;
  for (const std::string& m : c.models) out << (what == "models" ? m + ";" : "");
  if (what == "ask_tools") out << c.ask_tools;
  if (what == "policy") out << current_policy();
  if (what == "state_file") out << state_file_path();
  return out.str();
}

TEST_F(Parse, EveryRefusalHasItsExactMessageAndStatus) {
  const std::string bad = std::string("a\xff") + "b";
  const std::string shown = std::string("a\xEF\xBF\xBD") + "b";
  const std::string unexpected = with_usage("error: unexpected argument " + shown);
  const std::string not_executable = tmp_ / "plain/claude";
  const std::string policy_error =
      "error: --permission-policy must be one of ask, auto, trust (got ";
  std::vector<std::tuple<Args, std::string, int>> cases = {
      {{"--port", "1", "--help", "--bogus"}, std::string(usage_text()), 0},
      {{"word", "-h"}, with_usage("error: unexpected argument word"), 2},
      {{"--help=x"}, with_usage("error: unknown option --help"), 2},
      {{"--=x"}, with_usage("error: unknown option --"), 2},
      {{"-help"}, with_usage("error: unexpected argument -help"), 2},
      // Arguments that are not UTF-8 are unexpected, values taken from the next one too.
      {{bad}, unexpected, 2},
      {{"--model=" + bad}, with_usage("error: unexpected argument --model=" + shown), 2},
      {{"--hook", "--bridge", bad, "--npc", "n"}, unexpected, 2},
      {{"--port"}, "error: --port needs a value", 2},
      {{"--hook", "--bridge", "u", "--npc"}, "error: --npc needs a value", 2},
      {{"--hook", "--npc", "n"}, "error: --hook needs --bridge", 2},
      {{"--permission-policy", ""}, policy_error + ")", 2},
      {{"--permission-mode", "acceptedits"}, "error: invalid --permission-mode acceptedits", 2},
      {{"--permission-timeout", "1e"}, "error: invalid --permission-timeout 1e", 2},
      {{"--claude", not_executable}, "error: `claude` CLI not found (" + not_executable + ")", 1},
      {{"--claude", tmp_.path()}, "error: `claude` CLI not found (" + tmp_.path() + ")", 1},
      {{"--claude", "~/claude"}, "error: `claude` CLI not found (~/claude)", 1},
      {{"--workspace", "work/../bin/claude"}, "error: workspace not a directory: " + claude(), 1},
      {{"--workspace", "~/missing"}, "error: workspace not a directory: " + home() + "/missing", 1},
  };
  for (const char* port : {"-1", " 80", "", "80 ", "0x50", "8e1", "\xD9\xA1"})
    cases.push_back({{"--port", port}, std::string("error: invalid --port ") + port, 2});
  // Validation order: of all options wrong, dropping them from the front shows each next failure.
  const std::vector<std::pair<Args, std::string>> in_order = {
      {{"--permission-policy", "Ask"}, policy_error + "Ask)"},
      {{"--permission-mode", "auto"}, "error: invalid --permission-mode auto"},
      {{"--port", "-1"}, "error: invalid --port -1"},
      {{"--permission-timeout", "abc"}, "error: invalid --permission-timeout abc"},
      {{"--claude", "/nonexistent/claude"}, "error: `claude` CLI not found (/nonexistent/claude)"},
      {{"--workspace", "/nonexistent/ws"}, "error: workspace not a directory: /nonexistent/ws"}};
  Args tail;
  for (std::size_t i = in_order.size(); i-- > 0;) {
    tail.insert(tail.begin(), in_order[i].first.begin(), in_order[i].first.end());
    cases.push_back({tail, in_order[i].second, i < 4 ? 2 : 1});  // usage errors first
  }
  for (const auto& [args, message, status] : cases) expect_exit(args, message, status);

  // Nothing is stored when a validation fails.
  serve({"--permission-policy", "trust", "--port", "1111", "--state-file", "/s1"});
  expect_exit({"--permission-policy", "ask", "--state-file", "/s2", "--workspace", "/nonexistent"},
              "error: workspace not a directory: /nonexistent", 1);
  EXPECT_EQ(current_policy(), "trust");
  EXPECT_EQ(state_file_path(), "/s1");
  EXPECT_EQ(config().port, 1111);
}

TEST_F(Parse, EveryAcceptedValueIsStoredAsGiven) {
  const std::vector<std::tuple<Args, const char*, std::string>> cases = {
      {{"--port", "+80"}, "port", "80"},
      {{}, "port", "8787"},
      {{"--permission-timeout", "1e3"}, "timeout", "1000"},
      {{}, "timeout", "240"},
      // Every mode is checked and dropped; the policy decides.
      {{"--permission-mode", "dontAsk", "--permission-policy", "ask"}, "policy", "ask"},
      {{"--permission-mode", "bypassPermissions"}, "policy", "auto"},
      // Agents start in their workspace, where a relative path would name another file.
      {{"--claude", "bin/claude"}, "claude", tmp_ / "bin/claude"},
      {{}, "claude", claude()},  // the non-executable one earlier on PATH is skipped
      {{"--workspace", "~/game"}, "workspace", home() + "/game"},
      {{}, "workspace", tmp_.path()},
      {{"--state-file", "~/s.json"}, "state_file", home() + "/s.json"},
      {{"--state-file", "rel/../s.json"}, "state_file", "rel/../s.json"},
      {{}, "state_file", home() + "/.cache/quillhaven/bridge_state.json"},
      {{"--models", " sonnet ,, opus[1m]\t,\xE2\x80\x83haiku\xC2\xA0, ,"},
       "models",
       "sonnet;opus[1m];haiku;"},
      {{"--models", "a b"}, "models", "a b;"},
      {{"--ask-tools", "Bash|Write("}, "ask_tools", "Bash|Write("},  // stored unchecked
  };
  for (const auto& [args, what, expected] : cases) {
    serve(args);
    EXPECT_EQ(stored(what), expected) << what << " from " << ::testing::PrintToString(args);
  }
}

TEST_F(Parse, SettingsThatDependOnTheEnvironmentOrTheWorkingFolder) {
  // (Either switch left out: the end-to-end CommandLine and GameRestarts.)
  Invocation out =
      serve({"--reset-workspaces", "--exit-with-stdin=no", "--bridge", "x", "--npc", "y"});
  EXPECT_TRUE(out.exit_with_stdin);  // an inline value on a switch is ignored

  // A later, executable claude on PATH; an empty --claude searches PATH too.
  write_script(tmp_ / "a/claude", 0700);
  env_.set("PATH", "/nonexistent:" + tmp_ / "a" + ":" + tmp_ / "bin");
  serve({"--claude", ""});
  EXPECT_EQ(config().claude, tmp_ / "a/claude");
  env_.set("PATH", "bin");  // a relative PATH entry is anchored to the start folder
  serve({});
  EXPECT_EQ(config().claude, tmp_ / "bin/claude");
  for (const char* path : {"", "plain"}) {
    env_.set("PATH", *path ? tmp_ / path : "");
    expect_exit({"--claude="}, "error: `claude` CLI not found (not on PATH)", 1);
  }
  env_.unset("PATH");
  expect_exit({}, "error: `claude` CLI not found (not on PATH)", 1);
  serve({"--claude", claude()});  // a given path is not looked up

  ScopedCwd inner(tmp_ / "a/b");
  serve({"--claude", claude(), "--workspace", "../x"});
  EXPECT_EQ(config().workspace, tmp_ / "a/x");
  for (const char* dot : {"--workspace=./", "--workspace="}) {
    serve({"--claude", claude(), dot});
    EXPECT_EQ(config().workspace, tmp_ / "a/b");
  }

  // AGENT_MODEL is the default model unless it is empty or not UTF-8; a given model wins.
  env_.set("AGENT_MODEL", "haiku");
  serve({"--claude", claude()});
  EXPECT_EQ(config().model, "haiku");
  serve({"--claude", claude(), "--model", ""});
  EXPECT_EQ(config().model, "");
  env_.set("AGENT_MODEL", "bad\xFF");
  serve({"--claude", claude()});
  EXPECT_EQ(config().model, "");

  // Without a home the state file stays relative.
  env_.unset("HOME");
  env_.unset("USERPROFILE");
  serve({"--claude", claude(), "--workspace", tmp_.path()});
  EXPECT_EQ(state_file_path(), ".cache/quillhaven/bridge_state.json");
}

TEST_F(Parse, HookValuesInlineOrFromTheNextArgumentAndNoOtherOptionExamined) {
  env_.unset("PATH");  // serving would fail: no claude
  const std::vector<std::tuple<Args, std::string, std::string>> cases = {
      {{"--port", "99999", "--permission-policy", "nope", "--workspace", "/no/such/dir", "--hook",
        "--bridge", "B", "--npc", "smith \xC3\xA9"},
       "B",
       "smith \xC3\xA9"},
      {{"--hook", "--bridge=http://h:1/x=y", "--npc", "--port"}, "http://h:1/x=y", "--port"},
      {{"--hook=x", "--npc=", "--bridge", "-h"}, "-h", ""},  // an empty inline value is a value
      // A later occurrence replaces the earlier value; a repeated switch is harmless.
      {{"--hook", "--npc", "a", "--bridge", "u", "--npc", "b", "--hook"}, "u", "b"}};
  for (const auto& [args, bridge, npc] : cases) {
    Invocation out = parse(args);
    ASSERT_EQ(out.kind, Kind::Hook) << out.message;
    EXPECT_EQ(out.bridge_url, bridge);
    EXPECT_EQ(out.npc_id, npc);
  }
}

TEST(ParseNumbers, PortsAndSecondsFollowTheirSyntax) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<const char*, std::optional<std::uint16_t>>> ports = {
      {"65535", 65535},    {"65536", std::nullopt},      {"000000000000000080", 80},
      {"+0", 0},           {"4294967376", std::nullopt},  // 2^32 + 80 must not wrap to 80
      {"-0", std::nullopt}};
  for (const auto& [text, port] : ports) EXPECT_EQ(parse_port(text), port) << text;

  const std::vector<std::pair<const char*, double>> seconds = {
      {"1.", 1}, {".5", 0.5}, {"-2.5E+1", -25}, {"-inf", -inf}, {"1e400", inf}, {"1e-400", 0}};
  for (const auto& [text, value] : seconds) EXPECT_EQ(parse_seconds(text), value) << text;
  for (const char* nan : {"NaN", "-nan"})
    EXPECT_TRUE(std::isnan(parse_seconds(nan).value_or(0))) << nan;
  for (const char* bad : {"", ".", "e5", "1e+", " 1", "1 ", "0x10", "1.5.2", "+-1", "infinit",
                          "nan(1)", "1,5", "inf1", "\xEF\xBC\x91"}) {
    EXPECT_FALSE(parse_seconds(bad)) << bad;
  }
}

TEST(UsageText, ExactBytes) {
  std::string_view text = usage_text();
  EXPECT_EQ(text.size(), 1626u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 27);
  EXPECT_TRUE(text.starts_with(
      "quillhaven-bridge: the bridge between the Quillhaven game and Claude Code.\n"));
  EXPECT_NE(text.find("\nusage:\n    quillhaven-bridge [options]                     run the "
                      "bridge\n"),
            std::string_view::npos);
  EXPECT_NE(text.find("\n    --model MODEL            model new NPCs start on; empty means "
                      "whatever the\n                             claude CLI is configured to use "
                      "(default: $AGENT_MODEL)\n"),
            std::string_view::npos);
  EXPECT_TRUE(text.ends_with(
      "\n    --exit-with-stdin        shut down when stdin closes (how the game runs it)\n"));
}

}  // namespace
