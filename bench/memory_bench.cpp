// Resident memory of the bridge's event logs and of idle event streams.
//
// 1. In this process: 100 NPCs, each with a full log of 2,000 "delta" events of about 40
//    characters, pushed as the agent's reader relays them and then through the general writer.
//    Reports the growth of resident memory per NPC and per event.
// 2. A real bridge with 1,000 idle event streams open. Reports its resident memory.
//
// Run: build/memory_bench
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent/npc.h"
#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/platform.h"

namespace {

// VmRSS of a process, in KiB.
long resident_kib(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Returns the NPCs, so that their memory is not reused by the next measurement.
template <typename Push>
std::vector<std::unique_ptr<Npc>> event_logs(const char* how, Push push) {
  long before = resident_kib("self");
  std::vector<std::unique_ptr<Npc>> npcs;
  const std::string text = "The smith looks up from the anvil and n";  // 39 characters
  for (int i = 0; i < 100; ++i) {
    npcs.push_back(std::make_unique<Npc>("npc-" + std::to_string(i)));
    for (int e = 0; e < 2000; ++e) push(*npcs.back(), text + std::to_string(e % 10));
  }
  long after = resident_kib("self");
  std::printf(
      "event logs, %s: 100 NPCs x 2000 deltas: %.1f MiB in all, %.0f KiB per NPC, %.0f bytes per "
      "event\n",
      how, (after - before) / 1024.0, (after - before) / 100.0, (after - before) * 1024.0 / 200000);
  return npcs;
}

void idle_streams(int count) {
  harness::BridgeProcess bridge;
  if (!bridge.start()) {
    std::printf("the bridge did not start\n");
    return;
  }
  long before = resident_kib(std::to_string(bridge.pid()));
  std::vector<std::unique_ptr<harness::SseStream>> streams;
  for (int i = 0; i < count; ++i) {
    auto stream = std::make_unique<harness::SseStream>();
    if (!stream->open(bridge.port(), "idle-" + std::to_string(i % 50))) {
      std::printf("stream %d did not open\n", i);
      break;
    }
    streams.push_back(std::move(stream));
  }
  long after = resident_kib(std::to_string(bridge.pid()));
  std::printf("idle streams: %zu open: bridge resident %.1f MiB (%.1f MiB before them)\n",
              streams.size(), after / 1024.0, before / 1024.0);
}

}  // namespace

int main() {
  raise_descriptor_limit();
  auto relayed = event_logs("relayed deltas",
                            [](Npc& npc, const std::string& text) { push_delta_event(npc, text); });
  auto general = event_logs("general writer", [](Npc& npc, const std::string& text) {
    push_event(npc, "delta", {{"text", text}});
  });
  idle_streams(1000);
  return 0;
}
