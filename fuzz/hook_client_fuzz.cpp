// The hook, whatever the CLI writes to its standard input and whatever comes back in the
// bridge's place: it asks the bridge only about a JSON object, passes that object on with the
// NPC named, and prints either the body of a 200 reply or a well-formed refusal.
//
// Input: the hook's standard input, then a line "--reply--", then the bytes the bridge answers
// (no such line: the bridge cannot be reached).

#include "fuzz_support.h"
#include "hook/hook_client.h"

namespace {

const std::string NPC_ID = "smith";
constexpr std::string_view REPLY_MARK = "\n--reply--\n";

// The reply's body after "\r\n\r\n" when its status token is exactly 200.
std::optional<std::string> body_of_200(const std::string& reply) {
  std::size_t blank = reply.find("\r\n\r\n");
  if (blank == std::string::npos) return std::nullopt;
  auto head = split_whitespace(std::string_view(reply).substr(0, blank));
  if (head.size() < 2 || head[1] != "200") return std::nullopt;
  return trim(std::string_view(reply).substr(blank + 4));
}

bool is_refusal(const std::string& line) {
  std::optional<Json> decision = parse_json(line);
  if (!decision || !decision->is_object() || decision->size() != 1) return false;
  const Json* inner = field(*decision, "hookSpecificOutput");
  return inner != nullptr && as_text(*inner, "hookEventName") == "PreToolUse" &&
         as_text(*inner, "permissionDecision") == "deny" &&
         !as_text(*inner, "permissionDecisionReason").empty();
}

}  // namespace

FUZZ_TARGET(bytes) {
  std::size_t mark = bytes.find(REPLY_MARK);
  std::string_view input = bytes.substr(0, mark);
  bool reachable = mark != std::string_view::npos;
  std::string reply(reachable ? bytes.substr(mark + REPLY_MARK.size()) : std::string_view());

  std::optional<Json> request = is_valid_utf8(input) ? parse_json(input) : std::nullopt;
  bool asks = request && request->is_object();
  bool asked = false;
  auto exchange = [&](const std::string& host_port, const std::string& body) {
    FUZZ_CHECK(!asked && asks);
    asked = true;
    FUZZ_CHECK(host_port == "127.0.0.1:8787");
    // The request goes on whole, with the NPC named (over any "npc" it carried).
    Json expected = *request;
    expected["npc"] = NPC_ID;
    std::optional<Json> sent = parse_json(body);
    FUZZ_CHECK(sent && *sent == expected);
    return HookStep{reachable, reachable ? reply : "Connection refused (os error 111)"};
  };

  std::string line = hook_answer(input, "http://127.0.0.1:8787/", NPC_ID, exchange);
  FUZZ_CHECK(asked == asks);
  FUZZ_CHECK(is_valid_utf8(line));
  std::optional<std::string> body = reachable ? body_of_200(to_valid_utf8(reply)) : std::nullopt;
  // The bridge's decision as it gave it, or else a refusal.
  FUZZ_CHECK(asks && body ? line == *body : is_refusal(line));
}
