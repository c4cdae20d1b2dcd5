#include "agent/usage_ticker.h"

#include <chrono>
#include <thread>

#include "agent/registry.h"

void emit_usage_events() {
  for (const NpcHandle& npc : snapshot_npcs()) {
    std::chrono::steady_clock::duration elapsed{};
    std::uint64_t tools = 0;
    bool working = npc->locked([&](NpcState& s) {
      if (s.activity != Activity::Working || !s.turn_started) return false;
      elapsed = std::chrono::steady_clock::now() - *s.turn_started;
      tools = s.tool_count;
      return true;
    });
    if (!working) continue;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    push_event(*npc, "usage", Json{{"elapsed_ms", static_cast<std::uint64_t>(ms)}, {"tools", tools}});
  }
}

void usage_ticker() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    emit_usage_events();
  }
}
