#include "config/parse.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

#include "config/config.h"
#include "config/policy.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/text.h"

namespace {

constexpr std::string_view USAGE =
    R"usage(quillhaven-bridge: the bridge between the Quillhaven game and Claude Code.

One NPC == one long-lived `claude` process == one session == one workspace
folder. The CLI's NDJSON is turned into a small event vocabulary and served
per NPC as Server-Sent Events. The game normally starts this itself.

usage:
    quillhaven-bridge [options]                     run the bridge
    quillhaven-bridge --hook --bridge URL --npc ID  the PreToolUse hook (run by the CLI)

options:
    --workspace DIR          default folder new NPCs work in (default: cwd)
    --host HOST              default 127.0.0.1
    --port PORT              default 8787
    --model MODEL            model new NPCs start on; empty means whatever the
                             claude CLI is configured to use (default: $AGENT_MODEL)
    --models LIST            comma-separated menu offered in game
                             (default: opus[1m],opus,sonnet,haiku,fable)
    --permission-policy P    ask | auto | trust (default: auto)
    --permission-mode M      accepted for compatibility; the policy decides
    --ask-tools REGEX        tools the player must approve under 'ask' (default: Bash)
    --permission-timeout S   seconds to wait for the player (default: 240)
    --keep-api-key           do not strip ANTHROPIC_API_KEY from the agent's environment
    --reset-workspaces       forget every folder chosen in game
    --state-file PATH        default ~/.cache/quillhaven/bridge_state.json
    --claude PATH            the claude CLI; default is to look it up on PATH
    --exit-with-stdin        shut down when stdin closes (how the game runs it)
)usage";

// Options that take no value; an inline value ("--hook=x") is ignored.
constexpr std::array<std::string_view, 4> SWITCHES = {"keep-api-key", "reset-workspaces",
                                                      "exit-with-stdin", "hook"};

// Options that take exactly one value, inline ("--port=9000") or as the next argument.
// clang-format off
constexpr std::array<std::string_view, 13> VALUED = {
    "workspace",          "host",       "port",   "model",  "models",
    "permission-mode",    "permission-policy",    "ask-tools",
    "permission-timeout", "state-file", "claude", "bridge", "npc"};
// clang-format on

// The agent CLI's own permission modes; the bridge checks the option and then drops it.
constexpr std::array<std::string_view, 5> PERMISSION_MODES = {"default", "acceptEdits", "dontAsk",
                                                              "plan", "bypassPermissions"};

constexpr std::string_view DEFAULT_MODELS = "opus[1m],opus,sonnet,haiku,fable";

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& table, std::string_view name) {
  return std::find(table.begin(), table.end(), name) != table.end();
}

Invocation exit_with(std::string message, int status) {
  Invocation out;
  out.kind = Invocation::Kind::Exit;
  out.message = std::move(message);
  out.status = status;
  return out;
}

Invocation usage_error(std::string head) {
  head += "\n\n";
  head += USAGE;
  return exit_with(std::move(head), 2);
}

// What the argument scan collected: the switches seen and the last value of each valued option.
struct Options {
  std::vector<std::string> switches;
  std::map<std::string, std::string, std::less<>> values;

  bool has_switch(std::string_view name) const {
    return std::find(switches.begin(), switches.end(), name) != switches.end();
  }
  const std::string* value(std::string_view name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

// Visits the arguments left to right. Returns the Exit that ends the scan, if one does.
std::optional<Invocation> scan(const std::vector<std::string>& args, Options& options) {
  // Arguments are text: bytes that are not UTF-8 cannot name an option or carry a value, so
  // they are reported like any other argument that makes no sense here.
  auto unreadable = [](const std::string& arg) -> std::optional<Invocation> {
    if (is_valid_utf8(arg)) return std::nullopt;
    return usage_error("error: unexpected argument " + to_valid_utf8(arg));
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (auto bad = unreadable(arg)) return bad;
    if (arg == "-h" || arg == "--help") return exit_with(std::string(USAGE), 0);
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      return usage_error("error: unexpected argument " + arg);
    }
    std::string_view rest = std::string_view(arg).substr(2);
    std::size_t equals = rest.find('=');
    std::string name(rest.substr(0, equals));
    if (contains(SWITCHES, name)) {
      options.switches.push_back(std::move(name));
      continue;
    }
    if (!contains(VALUED, name)) return usage_error("error: unknown option --" + name);
    if (equals != std::string_view::npos) {
      options.values[name] = std::string(rest.substr(equals + 1));
      continue;
    }
    if (i + 1 >= args.size()) return exit_with("error: --" + name + " needs a value", 2);
    ++i;
    if (auto bad = unreadable(args[i])) return bad;
    options.values[name] = args[i];
  }
  return std::nullopt;
}

// Agents (and the hook they run) start in their NPC's workspace, not in the folder the bridge
// started in, so a relative program path is joined to the start folder to keep naming the file
// that was checked. Not folded: ".." after a symbolic link must keep its file-system meaning.
std::string anchored(std::string path) {
  if (path.empty() || path.front() == '/') return path;
  std::string cwd = current_dir();
  return cwd.empty() ? path : join_path(cwd, path);
}

// The first "claude" on PATH that is an executable file; nullopt when PATH is unset or has none.
std::optional<std::string> find_on_path() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  for (;;) {
    std::size_t colon = rest.find(':');
    std::string candidate = join_path(rest.substr(0, colon), "claude");
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

std::vector<std::string> split_models(std::string_view list) {
  std::vector<std::string> models;
  for (;;) {
    std::size_t comma = list.find(',');
    std::string piece = trim(list.substr(0, comma));
    if (!piece.empty()) models.push_back(std::move(piece));
    if (comma == std::string_view::npos) return models;
    list.remove_prefix(comma + 1);
  }
}

std::string default_model() {
  const char* model = std::getenv("AGENT_MODEL");
  return model != nullptr && is_valid_utf8(model) ? model : "";
}

std::string self_exe() {
  std::optional<std::string> path = executable_path();
  if (!path || path->empty()) return "quillhaven-bridge";
  return anchored(to_valid_utf8(*path));
}

Invocation hook(const Options& options) {
  const std::string* bridge = options.value("bridge");
  if (bridge == nullptr) return exit_with("error: --hook needs --bridge", 2);
  const std::string* npc = options.value("npc");
  if (npc == nullptr) return exit_with("error: --hook needs --npc", 2);
  Invocation out;
  out.kind = Invocation::Kind::Hook;
  out.bridge_url = *bridge;
  out.npc_id = *npc;
  return out;
}

Invocation serve(const Options& options) {
  const std::string* given = options.value("permission-policy");
  std::string policy = given ? *given : "auto";
  if (!is_policy(policy)) {
    std::string names;
    for (std::string_view name : POLICIES) {
      if (!names.empty()) names += ", ";
      names += name;
    }
    return exit_with("error: --permission-policy must be one of " + names + " (got " + policy + ")",
                     2);
  }

  if (const std::string* mode = options.value("permission-mode")) {
    if (!contains(PERMISSION_MODES, *mode)) {
      return exit_with("error: invalid --permission-mode " + *mode, 2);
    }
  }

  Config config;
  if (const std::string* port_text = options.value("port")) {
    std::optional<std::uint16_t> port = parse_port(*port_text);
    if (!port) return exit_with("error: invalid --port " + *port_text, 2);
    config.port = *port;
  }

  if (const std::string* timeout_text = options.value("permission-timeout")) {
    std::optional<double> seconds = parse_seconds(*timeout_text);
    if (!seconds) return exit_with("error: invalid --permission-timeout " + *timeout_text, 2);
    config.permission_timeout = *seconds;
  }

  const std::string* claude = options.value("claude");
  std::string claude_path;
  if (claude != nullptr && !claude->empty()) {
    if (!is_executable_file(*claude)) {
      return exit_with("error: `claude` CLI not found (" + *claude + ")", 1);
    }
    claude_path = *claude;
  } else {
    std::optional<std::string> found = find_on_path();
    if (!found) return exit_with("error: `claude` CLI not found (not on PATH)", 1);
    claude_path = std::move(*found);
  }
  config.claude = to_valid_utf8(anchored(std::move(claude_path)));

  const std::string* workspace = options.value("workspace");
  std::string workspace_path = workspace ? absolute_path(expand_home(*workspace)) : current_dir();
  if (!is_directory(workspace_path)) {
    return exit_with("error: workspace not a directory: " + to_valid_utf8(workspace_path), 1);
  }
  config.workspace = to_valid_utf8(workspace_path);

  // Everything is valid: only now touch the process-wide holders.
  const std::string* state_file = options.value("state-file");
  store_state_file_path(state_file ? expand_home(*state_file)
                                   : join_path(home_dir(), ".cache/quillhaven/bridge_state.json"));
  config.self_exe = self_exe();
  set_policy(policy);
  const std::string* model = options.value("model");
  config.model = model ? *model : default_model();
  const std::string* models = options.value("models");
  config.models = split_models(models ? std::string_view(*models) : DEFAULT_MODELS);
  if (const std::string* ask_tools = options.value("ask-tools")) config.ask_tools = *ask_tools;
  config.keep_api_key = options.has_switch("keep-api-key");
  if (const std::string* host = options.value("host")) config.host = *host;
  store_config(std::move(config));

  Invocation out;
  out.kind = Invocation::Kind::Serve;
  out.reset_workspaces = options.has_switch("reset-workspaces");
  out.exit_with_stdin = options.has_switch("exit-with-stdin");
  return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the run of ASCII digits at the start of `text`.
std::size_t digit_run(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && is_digit(text[n])) ++n;
  return n;
}

}  // namespace

std::string_view usage_text() { return USAGE; }

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<double> parse_seconds(std::string_view text) {
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  std::string word = ascii_lower(body);
  bool named = word == "inf" || word == "infinity" || word == "nan";
  if (!named) {
    std::size_t whole = digit_run(body);
    body.remove_prefix(whole);
    std::size_t fraction = 0;
    if (!body.empty() && body.front() == '.') {
      body.remove_prefix(1);
      fraction = digit_run(body);
      body.remove_prefix(fraction);
    }
    if (whole == 0 && fraction == 0) return std::nullopt;
    if (!body.empty() && (body.front() == 'e' || body.front() == 'E')) {
      body.remove_prefix(1);
      if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
      std::size_t exponent = digit_run(body);
      if (exponent == 0) return std::nullopt;
      body.remove_prefix(exponent);
    }
    if (!body.empty()) return std::nullopt;
  }
  // The syntax is checked; strtod only converts (an overflow saturates to infinity, an
  // underflow goes to zero, as a decimal reading should).
  std::string copy(text);
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

Invocation parse(const std::vector<std::string>& args) {
  Options options;
  if (std::optional<Invocation> done = scan(args, options)) return std::move(*done);
  if (options.has_switch("hook")) return hook(options);
  return serve(options);
}
