#include "turn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "chunks.h"
#include "ids.h"
#include "input.h"
#include "records.h"
#include "repertoire.h"
#include "report.h"
#include "script.h"
#include "tools.h"
#include "util/process_exit.h"
#include "util/text.h"

namespace {

// Where each ignored SIGTERM is noted, for tests that must know a stop has begun.
char sigterm_note_path[4096];

void note_ignored_sigterm(int) {
  int fd = ::open(sigterm_note_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t ignored = ::write(fd, "SIGTERM\n", 8);
  ::close(fd);
}

// SIGTERM is ignored from now on; with a path, each one is noted there.
void ignore_sigterm(const std::string& path) {
  if (path.empty() || path.size() >= sizeof sigterm_note_path) {
    ::signal(SIGTERM, SIG_IGN);
    return;
  }
  path.copy(sigterm_note_path, path.size());
  sigterm_note_path[path.size()] = '\0';
  struct sigaction action {};
  action.sa_handler = note_ignored_sigterm;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  // Tells the test that SIGTERM is now ignored.
  int fd = ::open((path + ".hanging").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

using Clock = std::chrono::steady_clock;
using Kind = Directive::Kind;

// Made-up price list (USD per token) so that costs grow like a real session's.
constexpr double INPUT_PRICE = 3e-6, OUTPUT_PRICE = 15e-6;
constexpr double CACHE_WRITE_PRICE = 3.75e-6, CACHE_READ_PRICE = 0.3e-6;
// The size of the cached system prompt, written on a process's first turn and read after.
constexpr std::uint64_t SYSTEM_PROMPT_TOKENS = 1500;
constexpr auto WAIT_FILE_LIMIT = std::chrono::seconds(60);
const Json SUBAGENT_PARENT = "toolu_parent";

std::uint64_t tokens_of(const std::string& text) {
  return 1 + count_chars(to_valid_utf8(text)) / 4;
}

void stderr_line(const std::string& text) {
  std::string line = text + "\n";
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

std::mt19937& random_engine() {
  static std::mt19937 engine{std::random_device{}()};
  return engine;
}

/// Runs one turn and writes its records; see run_turn. Lives for one turn on the turn loop's
/// thread.
class Turn {
 public:
  Turn(Session& session, const UserMessage& message) : s_(session), message_(message) {
    usage_.input_tokens = tokens_of(message.text) + tokens_of(session.persona);
    if (session.turns == 0) {
      usage_.cache_creation_input_tokens = SYSTEM_PROMPT_TOKENS;
    } else {
      usage_.cache_read_input_tokens = SYSTEM_PROMPT_TOKENS;
    }
  }

  void run() {
    std::optional<Script> script;
    if (s_.scripted) script = parse_script(message_.text);
    mode_ = s_.permission_mode;
    if (script) {
      for (const Directive& d : script->directives) {
        if (d.kind == Kind::Mode) mode_ = d.text;
      }
    }
    emit_record(init_record(s_.id, s_.model, mode_, s_.cwd));
    if (s_.transcript) s_.transcript->append("user", message_.message);

    if (!s_.scripted) {
      run_demo();
    } else if (!script) {
      say("You said: " + message_.text);
    } else if (!script->error.empty()) {
      fail("demo script error: " + script->error);
      return;
    } else if (!run_script(script->directives)) {
      return;  // the script ended the turn itself
    }
    finish();
  }

 private:
  // ---- messages ----

  // Streams text as one assistant message: deltas, then the assistant record.
  void say(const std::string& text) {
    std::vector<std::string> pieces;
    if (s_.scripted) {
      pieces = split_chars(text, 4);
    } else {
      std::uniform_int_distribution<std::size_t> words(2, 4);
      pieces = split_words(text, [&] { return words(random_engine()); });
    }
    open_message(pieces);
    complete_message(text);
  }

  // message_start and the text deltas of a new message, which stays open for its record.
  void open_message(const std::vector<std::string>& pieces) {
    if (open_message_id_) close_open_message();
    open_message_id_ = new_message_id();
    emit_event(message_start_event(*open_message_id_, s_.model));
    emit_event(text_block_start_event(0));
    bool first = true;
    for (const std::string& piece : pieces) {
      if (!s_.scripted && !first) pause_between_deltas();
      emit_event(text_delta_event(0, piece));
      first = false;
    }
  }

  // The assistant record with `text`: closes the open message, or stands alone.
  void complete_message(const std::string& text) {
    bool streamed = open_message_id_.has_value();
    std::string id = streamed ? *open_message_id_ : new_message_id();
    if (streamed) emit_event(block_stop_event(0));
    Json message = assistant_message(id, s_.model, Json::array({text_block(text)}), "end_turn");
    usage_.output_tokens += tokens_of(text);
    emit_assistant(message);
    if (streamed) {
      emit_event(message_delta_event("end_turn", tokens_of(text)));
      emit_event(message_stop_event());
    }
    open_message_id_.reset();
    last_text_ = text;
    replied_ = true;
  }

  // Deltas that never got their assistant record (@deltas without @full): the message ends.
  void close_open_message() {
    emit_event(block_stop_event(0));
    emit_event(message_stop_event());
    open_message_id_.reset();
  }

  void emit_event(Json event) {
    emit_record(stream_event_record(std::move(event), s_.id, nullptr));
  }

  void emit_assistant(const Json& message, const Json& extra = Json::object()) {
    Json record = assistant_record(message, s_.id, nullptr);
    for (auto it = extra.begin(); it != extra.end(); ++it) record[it.key()] = it.value();
    emit_record(record);
    Json transcript_extra = extra;
    transcript_extra["totalCostUsd"] = s_.total_cost_usd + turn_cost();
    if (s_.transcript) s_.transcript->append("assistant", message, transcript_extra);
  }

  void pause_between_deltas() {
    std::uniform_int_distribution<int> millis(30, 60);
    std::this_thread::sleep_for(std::chrono::milliseconds(millis(random_engine())));
  }

  // ---- tools ----

  // The tool use record, the hooks' verdict, the tool itself and the tool_result record.
  ToolOutcome use_tool(const std::string& name, const Json& input) {
    if (open_message_id_) close_open_message();
    std::string id = new_tool_use_id();
    std::string message_id = new_message_id();
    emit_event(message_start_event(message_id, s_.model));
    usage_.output_tokens += tokens_of(dump_json(input));
    emit_assistant(assistant_message(message_id, s_.model,
                                     Json::array({tool_use_block(id, name, input)}), "tool_use"));
    emit_event(message_delta_event("tool_use", tokens_of(dump_json(input))));
    emit_event(message_stop_event());

    Json hook_input{{"session_id", s_.id},
                    {"transcript_path", s_.transcript ? s_.transcript->path() : ""},
                    {"cwd", s_.cwd},
                    {"permission_mode", mode_},
                    {"hook_event_name", "PreToolUse"},
                    {"tool_name", name},
                    {"tool_input", input},
                    {"tool_use_id", id}};
    HookVerdict verdict = consult_pre_tool_use(s_.hooks, hook_input, name, s_.cwd);
    ToolOutcome outcome =
        verdict.allow ? run_tool(name, input, s_.cwd)
                      : ToolOutcome{"PreToolUse:" + name + " hook error: " + verdict.reason, true};

    Json result = tool_result_message(id, outcome.content, outcome.is_error);
    emit_record(user_record(result, s_.id, nullptr));
    if (s_.transcript) s_.transcript->append("user", result);
    usage_.input_tokens += tokens_of(outcome.content);
    ++api_rounds_;
    return outcome;
  }

  // ---- the two modes ----

  void run_demo() {
    DemoPlan plan = plan_demo_turn(message_.text, s_.persona, s_.turns, s_.cwd);
    say(plan.reply);
    if (plan.tool) {
      ToolOutcome outcome = use_tool(plan.tool->name, plan.tool->input);
      say(demo_tool_comment(plan.tool->name, outcome));
    }
  }

  // Runs the directives in order; false when one of them ended the turn.
  bool run_script(const std::vector<Directive>& directives) {
    for (const Directive& d : directives) {
      switch (d.kind) {
        case Kind::Reply:
          say(d.text);
          break;
        case Kind::Deltas: {
          open_message(d.pieces);
          std::string joined;
          for (const std::string& piece : d.pieces) joined += piece;
          last_text_ = joined;
          replied_ = true;
          break;
        }
        case Kind::Full:
          complete_message(d.text);
          break;
        case Kind::Tool: {
          ToolOutcome outcome = use_tool(d.text, d.input);
          say(d.text + (outcome.is_error ? " failed: " : " said: ") +
              truncate_chars(to_valid_utf8(outcome.content), 200));
          break;
        }
        case Kind::Fail:
          fail(d.text);
          return false;
        case Kind::FailErrors: {
          TurnSummary summary = summary_now();
          summary.is_error = true;
          summary.subtype = "error_during_execution";
          summary.has_result_text = false;
          summary.errors = d.pieces;
          end_with(summary);
          return false;
        }
        case Kind::ApiError:
          api_error(d.text);
          return false;
        case Kind::Stderr:
          stderr_line(d.text);
          break;
        case Kind::Exit:
          exit_process(static_cast<int>(d.number));
        case Kind::Hang:
          ignore_sigterm(d.text);
          for (;;) ::pause();
        case Kind::HoldStderr:
          hold_stderr(d.number);
          break;
        case Kind::DeafFlood:
          deaf_flood(d.number);
          break;
        case Kind::Flood:
          flood(d.number);
          break;
        case Kind::LongLine:
          emit_raw_line(std::string(static_cast<std::size_t>(d.number), 'x'));
          break;
        case Kind::Busy:
          std::this_thread::sleep_for(std::chrono::milliseconds(d.number));
          break;
        case Kind::WaitFile:
          wait_for_file(d.text);
          break;
        case Kind::Subagent:
          emit_subagent();
          break;
        case Kind::Mode:
          break;  // read before the init record
        case Kind::Raw:
          emit_raw_line(d.text);
          break;
        case Kind::Report:
          say(dump_json(launch_report(s_.args)));
          break;
        case Kind::Session:
          say(s_.id);
          break;
      }
    }
    if (!replied_) say("Done.");
    return true;
  }

  // A child that keeps our standard error open (and nothing else of ours) for `ms`.
  static void hold_stderr(long long ms) {
    pid_t child = ::fork();
    if (child != 0) return;  // the child is left to init once we are gone
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
    while (::nanosleep(&pause, &pause) != 0) {
    }
    ::_exit(0);
  }

  // Stops taking in input until the bridge's writes fill the pipe, then floods the output: a
  // bridge that holds its NPC while it writes to us can then neither write nor read.
  void deaf_flood(long long count) {
    set_input_paused(true);
    Clock::time_point deadline = Clock::now() + WAIT_FILE_LIMIT;
    int waiting = 0;
    while (Clock::now() < deadline &&
           (::ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting < 60000)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    flood(count);
    set_input_paused(false);
  }

  void flood(long long count) {
    std::vector<std::string> pieces(static_cast<std::size_t>(count), std::string(100, 'f'));
    open_message(pieces);
  }

  void wait_for_file(const std::string& path) {
    Clock::time_point deadline = Clock::now() + WAIT_FILE_LIMIT;
    struct stat info {};
    while (::stat(path.c_str(), &info) != 0) {
      if (Clock::now() >= deadline) {
        stderr_line("@wait-file: " + path + " did not appear within 60 s");
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // A sub-agent's delta, message and tool result: the bridge must let them pass unseen.
  void emit_subagent() {
    std::string message_id = new_message_id();
    std::string text = "Sub-agent looking around.";
    emit_record(stream_event_record(text_delta_event(0, text), s_.id, SUBAGENT_PARENT));
    emit_record(assistant_record(
        assistant_message(message_id, s_.model, Json::array({text_block(text)}), "end_turn"), s_.id,
        SUBAGENT_PARENT));
    emit_record(user_record(tool_result_message(new_tool_use_id(), "sub-agent output", false),
                            s_.id, SUBAGENT_PARENT));
  }

  // ---- endings ----

  double turn_cost() const {
    return usage_.input_tokens * INPUT_PRICE + usage_.output_tokens * OUTPUT_PRICE +
           usage_.cache_creation_input_tokens * CACHE_WRITE_PRICE +
           usage_.cache_read_input_tokens * CACHE_READ_PRICE;
  }

  TurnSummary summary_now() const {
    TurnSummary summary;
    summary.num_turns = api_rounds_;
    summary.duration_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count());
    summary.usage = usage_;
    return summary;
  }

  void end_with(TurnSummary summary) {
    if (open_message_id_) close_open_message();
    s_.total_cost_usd += turn_cost();
    summary.total_cost_usd = s_.total_cost_usd;
    emit_record(result_record(summary, s_.id));
  }

  void finish() {
    TurnSummary summary = summary_now();
    summary.result_text = last_text_;
    end_with(summary);
  }

  void fail(const std::string& text) {
    TurnSummary summary = summary_now();
    summary.is_error = true;
    summary.subtype = "error_during_execution";
    summary.result_text = text;
    end_with(summary);
  }

  // What the CLI writes when the model API fails: a synthetic assistant message holding the
  // error, then a failed result with the same text.
  void api_error(const std::string& text) {
    if (open_message_id_) close_open_message();
    Json message = assistant_message(new_message_id(), "<synthetic>",
                                     Json::array({text_block(text)}), "stop_sequence");
    Json record = assistant_record(message, s_.id, nullptr);
    record["is_api_error_message"] = true;
    emit_record(record);
    if (s_.transcript)
      s_.transcript->append("assistant", message, Json{{"isApiErrorMessage", true}});
    TurnSummary summary = summary_now();
    summary.is_error = true;
    summary.result_text = text;
    end_with(summary);
  }

  Session& s_;
  const UserMessage& message_;
  Clock::time_point started_ = Clock::now();
  std::string mode_;
  TokenUsage usage_;
  std::uint64_t api_rounds_ = 1;
  std::optional<std::string> open_message_id_;
  std::string last_text_;
  bool replied_ = false;
};

}  // namespace

void run_turn(Session& session, const UserMessage& message) {
  Turn(session, message).run();
  ++session.turns;
}
