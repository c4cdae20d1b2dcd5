// The bridge's own work for one reply delta of an agent, without pipes or sockets: the line as
// the CLI writes it, relayed into an NPC's event log the fast way and the ordinary way (clean-up,
// parse_json, translate_record). Reports the time per line of each; under
// `valgrind --tool=callgrind` the instruction counts of the two ways can be read off too. Times
// are the thread's processor time, so that a busy machine disturbs them less.
//
// Run: build/line_bench [lines]   (default 1000000)
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/npc.h"
#include "agent/translate.h"
#include "util/text.h"

namespace {

long long cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

const std::string LINE =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,"delta":)"
    R"({"type":"text_delta","text":"The smith looks up from the anvil and n"}},)"
    R"("session_id":"5f0c2b8e-4d1a-4c3e-9a7b-2e1d0c9b8a7f","parent_tool_use_id":null,)"
    R"("uuid":"0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0"})";

void relay_fast(Npc& npc) {
  if (!relay_fast_delta(npc, LINE)) std::abort();
}

void relay_ordinary(Npc& npc) {
  std::optional<Json> record = parse_json(trim(to_valid_utf8(LINE)));
  if (!record) std::abort();
  translate_record(npc, *record);
}

template <typename Relay>
void measure(const char* way, long long lines, Relay relay) {
  Npc npc("smith");
  long long start = cpu_ns();
  for (long long i = 0; i < lines; ++i) {
    relay(npc);
    // The streamed text is cleared at every message; keep it as short as a reply's.
    if (i % 64 == 0) npc.locked([](NpcState& s) { s.streamed_text.clear(); });
  }
  double ns = static_cast<double>(cpu_ns() - start) / static_cast<double>(lines);
  std::printf("%-9s way: %lld lines, %.0f ns per line\n", way, lines, ns);
}

}  // namespace

int main(int argc, char** argv) {
  long long lines = argc > 1 ? std::atoll(argv[1]) : 1000000;
  measure("fast", lines, relay_fast);
  measure("ordinary", lines, relay_ordinary);
  return 0;
}
