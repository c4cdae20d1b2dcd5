// quillhaven-demo-agent: a stand-in for the `claude` CLI that the bridge can run in its
// place, for demonstrations (an in-character village NPC) and for tests (scripted mode, see
// script.h). It takes the same arguments, reads the same input lines, writes the same records
// and transcripts, and runs the same PreToolUse hooks.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "args.h"
#include "command.h"
#include "files.h"
#include "hook.h"
#include "ids.h"
#include "input.h"
#include "records.h"
#include "report.h"
#include "transcript.h"
#include "turn.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/process_exit.h"

namespace {

constexpr std::size_t SETTINGS_LIMIT = 16u << 20;

bool env_is(const char* name, std::string_view value) {
  const char* set = std::getenv(name);
  return set != nullptr && value == set;
}

void stderr_line(const std::string& text) {
  std::string line = text + "\n";
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

// Like the CLI: SIGTERM ends the process at once with status 143, taking a running hook or
// tool command along.
void on_sigterm(int) {
  pid_t child = running_child();
  if (child > 0) ::kill(child, SIGTERM);
  ::_exit(143);
}

// The settings file as JSON, or an error text.
struct SettingsRead {
  Json settings;  // null when no file was named
  std::string error;
};

SettingsRead read_settings(const std::string& path) {
  if (path.empty()) return {};
  FileRead file = read_file(path, SETTINGS_LIMIT);
  if (!file.ok) return {nullptr, "Settings file not found: " + path + " (" + os_error_text(file.error) + ")"};
  std::optional<Json> settings = parse_json(file.bytes);
  if (!settings || !settings->is_object()) return {nullptr, "Invalid settings file: " + path};
  return {std::move(*settings), ""};
}

// The working folder with symbolic links resolved, as transcripts and init records name it.
std::string resolved_cwd() {
  std::string cwd = current_dir();
  char resolved[PATH_MAX];
  if (!cwd.empty() && ::realpath(cwd.c_str(), resolved) != nullptr) return resolved;
  return cwd;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a hook or tool that goes away must not take the agent along
  struct sigaction term {};
  term.sa_handler = on_sigterm;
  sigemptyset(&term.sa_mask);
  ::sigaction(SIGTERM, &term, nullptr);

  std::vector<std::string> raw(argv + 1, argv + argc);
  ArgsResult parsed = parse_args(raw);
  SettingsRead settings = parsed.args ? read_settings(parsed.args->settings_path) : SettingsRead{};
  if (const char* log = std::getenv("QUILLHAVEN_DEMO_LOG"); log != nullptr && *log != '\0') {
    append_launch_log(log, launch_report(raw), settings.settings);
  }
  if (!parsed.args) {
    stderr_line(parsed.error);
    exit_process(2);
  }
  const AgentArgs& args = *parsed.args;
  if (!settings.error.empty()) {
    stderr_line(settings.error);
    exit_process(1);
  }
  if (args.permission_mode == "bypassPermissions" && ::geteuid() == 0 &&
      env_is("QUILLHAVEN_DEMO_REFUSE_ROOT", "1")) {
    stderr_line("--dangerously-skip-permissions cannot be used with root/sudo privileges for "
                "security reasons");
    exit_process(1);
  }

  Session session;
  session.model = args.model.empty() ? "demo-sonnet" : args.model;
  session.permission_mode = args.permission_mode;
  session.cwd = resolved_cwd();
  session.persona = args.system_prompt;
  session.scripted = env_is("QUILLHAVEN_DEMO_SCRIPTED", "1");
  session.hooks = pre_tool_use_hooks(settings.settings);
  session.args = raw;

  std::string home = home_dir();
  if (!args.resume.empty()) {
    std::optional<std::string> found = find_session_file(home, args.resume);
    if (!found) {
      std::string text = "No conversation found with session ID: " + args.resume;
      TurnSummary summary;
      summary.is_error = true;
      summary.subtype = "error_during_execution";
      summary.has_result_text = false;
      summary.errors = {text};
      summary.num_turns = 0;
      summary.usage = {};
      emit_record(result_record(summary, new_uuid()));
      stderr_line(text);
      exit_process(1);
    }
    session.id = args.resume;
    session.total_cost_usd = recorded_session_cost(*found);
    // Like the CLI, a resumed session goes on with the prompt it was given when it began.
    if (session.persona.empty()) session.persona = recorded_appended_prompt(*found);
    session.transcript.emplace(*found, session.cwd, session.id);
  } else {
    session.id = new_uuid();
    if (!home.empty()) {
      std::string folder = join_path(projects_root(home), encode_project_folder(session.cwd));
      session.transcript.emplace(join_path(folder, session.id + ".jsonl"), session.cwd, session.id);
    }
  }

  if (!args.system_prompt.empty() && session.transcript) {
    session.transcript->keep_appended_prompt(args.system_prompt);
  }

  static InputQueue input;  // never destroyed: the process leaves through exit_process
  if (!input.start()) {
    stderr_line("cannot start reading standard input");
    exit_process(1);
  }
  while (std::optional<UserMessage> message = input.next()) run_turn(session, *message);
  exit_process(0);
}
