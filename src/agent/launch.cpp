#include "agent/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "agent/translate.h"
#include "config/config.h"
#include "config/policy.h"
#include "store/transcripts.h"
#include "util/log.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/request_id.h"
#include "util/text.h"

extern char** environ;

namespace {

constexpr std::size_t STDERR_TAIL_LINES = 20;
constexpr std::size_t READ_BUFFER = 8192;
// A standard-error line longer than this is kept only up to here: the tail is for the
// player to read, and a runaway line must not grow without bound.
constexpr std::size_t MAX_STDERR_LINE = 16 * 1024;

// File names hold at most 255 bytes: "npc-" + id + "-" + 12-char token + ".settings.json"
// leaves this much for the encoded id.
constexpr std::size_t MAX_ENCODED_ID = 255 - 4 - 1 - 12 - 14;

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool write_file(const std::string& path, const std::string& text, int& err) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    err = errno;
    return false;
  }
  UniqueFd file(fd);
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      return false;
    }
    off += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::string> agent_environment(bool keep_api_key) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!keep_api_key && std::strncmp(*e, "ANTHROPIC_API_KEY=", 18) == 0) continue;
    env.emplace_back(*e);
  }
  return env;
}

void add_stderr_line(Npc& npc, std::string_view raw) {
  std::string line = trim(to_valid_utf8(raw));
  if (line.empty()) return;
  std::lock_guard<std::mutex> guard(npc.lock);
  auto& tail = npc.state.stderr_tail;
  tail.push_back(std::move(line));
  if (tail.size() > STDERR_TAIL_LINES) tail.pop_front();
}

// Keeps the newest standard-error lines of the NPC's agents. Bytes that are not UTF-8 are
// replaced rather than ending the reader: a closed pipe would kill the agent at its next
// write to standard error.
void stderr_reader(NpcHandle npc, UniqueFd err, std::shared_ptr<ReaderDone> done) {
  std::string line;
  char buffer[READ_BUFFER];
  for (;;) {
    ssize_t n = ::read(err.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      char c = buffer[i];
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        add_stderr_line(*npc, line);
        line.clear();
      } else if (line.size() < MAX_STDERR_LINE) {
        line += c;
      }
    }
  }
  if (!line.empty()) add_stderr_line(*npc, line);
  done->finish();
}

}  // namespace

std::string shell_quote(std::string_view text) {
  static constexpr std::string_view safe = "@%+=:,./-_";
  bool plain = !text.empty();
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              safe.find(c) != std::string_view::npos;
    if (!ok) {
      plain = false;
      break;
    }
  }
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\"'\"'";
    } else {
      out += c;
    }
  }
  out += "'";
  return out;
}

std::string encode_npc_id_for_file(std::string_view id) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : id) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  if (out.size() > MAX_ENCODED_ID) {
    // Cut, and end with a hash of the whole id so that two long ids never share a file name.
    char tail[18];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(fnv1a(id)));
    out.resize(MAX_ENCODED_ID - 17);
    // Do not leave half of a %XX escape at the cut.
    if (out.size() >= 1 && out[out.size() - 1] == '%') out.pop_back();
    else if (out.size() >= 2 && out[out.size() - 2] == '%') out.resize(out.size() - 2);
    out += tail;
  }
  return out;
}

Json hook_settings(const std::string& command, const std::string& ask_tools) {
  Json hook = {{"type", "command"}, {"command", command}, {"timeout", 300}};
  Json matcher = {{"matcher", ask_tools}, {"hooks", Json::array({hook})}};
  return {{"hooks", {{"PreToolUse", Json::array({matcher})}}}};
}

void ensure_agent(const NpcHandle& handle) {
  Npc& npc = *handle;
  std::lock_guard<std::mutex> guard(npc.lock);
  NpcState& s = npc.state;

  if (s.agent) {
    if (!child_exited(s.agent->pid)) return;
    // Found ended before its reader reported it: collect it here and start afresh. Its
    // reader will find a newer generation and end without a word.
    AgentProcess old = std::move(*s.agent);
    s.agent.reset();
    wait_child(old.pid);
    if (!s.settings_path.empty()) ::unlink(s.settings_path.c_str());
    s.settings_path.clear();
    s.unanswered = 0;
  }

  if (!is_directory(s.workspace)) {
    push_event(npc, "error", {{"message", "Workspace no longer exists: " + s.workspace}});
    return;
  }

  const Config& cfg = config();
  PermissionMode mode = permission_mode_for(current_policy());
  std::vector<std::string> args = {"--print",         "--input-format", "stream-json",
                                   "--output-format", "stream-json",    "--include-partial-messages",
                                   "--verbose",       "--permission-mode", mode.mode};
  if (!s.model.empty()) {
    args.push_back("--model");
    args.push_back(s.model);
  }
  if (mode.hook && !s.ask_tools.empty()) {
    std::string command = shell_quote(cfg.self_exe) + " --hook --bridge http://" +
                          (cfg.host.find(':') != std::string::npos ? "[" + cfg.host + "]" : cfg.host) +
                          ":" + std::to_string(cfg.port) + " --npc " + shell_quote(npc.id);
    std::string path = join_path(temp_dir(), "npc-" + encode_npc_id_for_file(npc.id) + "-" +
                                                 new_request_id() + ".settings.json");
    // A settings file left by a launch that failed to start is not needed any more.
    if (!s.settings_path.empty()) ::unlink(s.settings_path.c_str());
    int err = 0;
    if (write_file(path, dump_json(hook_settings(command, s.ask_tools)), err)) {
      s.settings_path = path;
      args.push_back("--settings");
      args.push_back(path);
    } else {
      s.settings_path.clear();
      bridge_log("npc=" + npc.id + " cannot write hook settings: " + os_error_text(err));
    }
  }
  if (!s.session_id.empty() && !find_transcript(s.session_id)) {
    // The CLI cannot resume a conversation it keeps no transcript of: every say would fail
    // the same way. Start a new one instead.
    bridge_log("npc=" + npc.id + " session " + s.session_id +
               " has no transcript; starting a new conversation");
    s.session_id.clear();
    s.resumed = false;
  }
  if (!s.session_id.empty()) {
    args.push_back("--resume");
    args.push_back(s.session_id);
  } else if (!s.persona.empty()) {
    args.push_back("--append-system-prompt");
    args.push_back(s.persona);
  }
  args.push_back("--name");
  args.push_back("npc:" + npc.id);

  bridge_log("npc=" + npc.id + " spawn resume=" + (s.session_id.empty() ? "-" : s.session_id) +
             " cwd=" + s.workspace);

  SpawnResult spawned = spawn_child({cfg.claude, args, agent_environment(cfg.keep_api_key), s.workspace});
  if (!spawned.child) {
    push_event(npc, "error", {{"message", "Cannot launch claude: " + os_error_text(spawned.error)}});
    return;
  }
  SpawnedChild& child = *spawned.child;
  // The player's words are written with a time limit, so the pipe must not block.
  int flags = ::fcntl(child.stdin_fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(child.stdin_fd.get(), F_SETFL, flags | O_NONBLOCK);

  std::uint64_t generation = ++s.launch_count;
  // The tail explains how this process ends: an earlier process's last words would blame it
  // for something it never said.
  s.stderr_tail.clear();
  auto stderr_done = std::make_shared<ReaderDone>();
  s.agent = AgentProcess{child.pid, generation, std::move(child.stdin_fd), stderr_done};
  try {
    std::thread(stdout_reader, handle, generation, std::move(child.stdout_fd)).detach();
  } catch (const std::system_error& e) {
    // Without its reader nobody would notice the process end: give it up at once.
    ::kill(child.pid, SIGKILL);
    wait_child(child.pid);
    s.agent.reset();
    push_event(npc, "error", {{"message", std::string("Cannot launch claude: ") + e.what()}});
    return;
  }
  try {
    std::thread(stderr_reader, handle, std::move(child.stderr_fd), stderr_done).detach();
  } catch (const std::system_error& e) {
    stderr_done->finish();
    bridge_log("npc=" + npc.id + " cannot read the agent's standard error: " + e.what());
  }
  set_state(npc, "idle");
}
