// The permission hook client (--hook): the agent CLI runs it before a tool use; it forwards the
// tool request with the NPC id to the running bridge and prints the bridge's decision.
#pragma once

#include <functional>
#include <string>
#include <string_view>

/// What a step of the hook gives: the text it produced, or the error text that becomes the
/// refusal's reason.
struct HookStep {
  bool ok = false;
  std::string text;
};

/// Sends one request body to the bridge at "host:port" and returns its raw reply bytes.
using BridgeExchange = std::function<HookStep(const std::string& host_port, const std::string& body)>;

/// The decision line to print for the tool request `input` (the hook's standard input): the
/// body of a 200 reply from the bridge at `url`, else a refusal whose reason says what failed.
/// Never fails; `exchange` talks to the bridge.
std::string hook_answer(std::string_view input, const std::string& url, const std::string& npc_id,
                        const BridgeExchange& exchange);

/// One POST of `body` to the bridge over TCP, with the hook's connect and receive time-outs.
HookStep exchange_with_bridge(const std::string& host_port, const std::string& body);

/// Reads standard input, asks the bridge, prints the decision line and exits with status 0,
/// whatever happens.
[[noreturn]] void run_hook(const std::string& url, const std::string& npc_id);
