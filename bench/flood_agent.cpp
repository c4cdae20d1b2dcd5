// A stand-in agent for the relay benchmarks: it answers each line of the player with a burst
// of reply deltas, written as fast as it can or at a fixed rate, each carrying the monotonic
// time it was written so the reader can measure the time to its SSE frame.
//
//   "flood N"      N deltas as fast as possible, then a result
//   "rate R N"     N deltas at R per second, then a result
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void delta(long long i) {
  std::printf(
      "{\"type\":\"stream_event\",\"event\":{\"type\":\"content_block_delta\",\"index\":0,"
      "\"delta\":{\"type\":\"text_delta\",\"text\":\"%lld:%lld \"}},\"parent_tool_use_id\":null,"
      "\"session_id\":\"bench-session\"}\n",
      i, now_ns());
}

void result() {
  std::printf(
      "{\"type\":\"result\",\"subtype\":\"success\",\"is_error\":false,\"result\":\"done\","
      "\"num_turns\":1,\"duration_ms\":1,\"total_cost_usd\":0.0,\"usage\":{}}\n");
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::size_t at = line.find("\"text\":\"");
    if (at == std::string::npos) continue;
    std::string words = line.substr(at + 8, line.find('"', at + 8) - at - 8);
    long long rate = 0, count = 0;
    if (std::sscanf(words.c_str(), "flood %lld", &count) == 1) {
      for (long long i = 0; i < count; ++i) delta(i);
    } else if (std::sscanf(words.c_str(), "rate %lld %lld", &rate, &count) == 2 && rate > 0) {
      long long start = now_ns(), step = 1000000000LL / rate;
      for (long long i = 0; i < count; ++i) {
        long long due = start + i * step;
        while (now_ns() < due) {
          long long wait = due - now_ns();
          if (wait > 200000) usleep(static_cast<useconds_t>((wait - 100000) / 1000));
        }
        delta(i);
        std::fflush(stdout);
      }
    }
    result();
  }
  return 0;
}
