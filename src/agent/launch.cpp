#include "agent/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/fd_io.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/request_id.h"
#include "util/unique_fd.h"

extern char** environ;

namespace {

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

std::vector<std::string> agent_environment(bool keep_api_key) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!keep_api_key && std::strncmp(*e, "ANTHROPIC_API_KEY=", 18) == 0) continue;
    env.emplace_back(*e);
  }
  return env;
}

int write_private_file(const std::string& path, const std::string& text) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.valid()) return errno;
  return write_fully(file.get(), text);
}

std::string hook_command(const std::string& self_exe, const std::string& host, unsigned port,
                         const std::string& npc_id) {
  std::string bracketed = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shell_quote(self_exe) + " --hook --bridge http://" + bracketed + ":" +
         std::to_string(port) + " --npc " + shell_quote(npc_id);
}

std::string settings_file_path(const std::string& npc_id) {
  return join_path(temp_dir(),
                   "npc-" + encode_npc_id_for_file(npc_id) + "-" + new_request_id() + ".settings.json");
}

std::vector<std::string> agent_arguments(const LaunchInputs& in) {
  std::vector<std::string> args = {"--print",         "--input-format", "stream-json",
                                   "--output-format", "stream-json",    "--include-partial-messages",
                                   "--verbose",       "--permission-mode", in.permission_mode};
  if (!in.model.empty()) {
    args.push_back("--model");
    args.push_back(in.model);
  }
  if (!in.settings_path.empty()) {
    args.push_back("--settings");
    args.push_back(in.settings_path);
  }
  if (!in.session_id.empty()) {
    args.push_back("--resume");
    args.push_back(in.session_id);
  } else if (!in.persona.empty()) {
    args.push_back("--append-system-prompt");
    args.push_back(in.persona);
  }
  args.push_back("--name");
  args.push_back("npc:" + in.npc_id);
  return args;
}
