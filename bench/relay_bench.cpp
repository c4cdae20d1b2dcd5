// How fast the bridge relays an agent's output to the game: agent stdout line -> SSE frame.
//
// 1. Throughput: one NPC whose agent writes reply deltas as fast as it can, followed by one
//    stream, then by 100 streams (a tenth of the deltas); every delta must reach every stream
//    exactly once, in order. Reports events per second and the bridge's CPU time per relayed
//    event.
// 2. Latency: 2,000 deltas per second in all, spread over 1, 10 and 100 NPCs; each delta
//    carries the monotonic time it was written, and the time its frame is read gives p50/p99.
//
// Run: build/relay_bench [events [runs]]   (default 300000 events, 1 throughput run; more runs
// show the spread on a busy machine)
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/platform.h"

namespace {

using namespace std::chrono_literals;

long long now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string sibling(const std::string& name) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.substr(0, path.rfind('/') + 1) + name;
}

// utime + stime of a process, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Reads the frames of one open stream without parsing their JSON: the benchmark's own
// reading must not be what it measures.
struct FrameReader {
  harness::HttpConnection* conn;
  std::string buffer;
  std::size_t at = 0;

  // Calls `on_delta(index, sent_ns)` for each delta frame; returns false at a "result" frame.
  template <typename F>
  bool drain(F on_delta) {
    char chunk[1 << 16];
    ssize_t n = ::read(conn->fd(), chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    bool more = true;
    for (;;) {
      std::size_t end = buffer.find("\n\n", at);
      if (end == std::string::npos) break;
      std::string_view frame(buffer.data() + at, end - at);
      at = end + 2;
      // Keys are in byte order, so "type" closes a delta's object: no search for it.
      if (frame.ends_with("\"type\":\"delta\"}")) {
        std::size_t text = frame.find("\"text\":\"");
        if (text == std::string_view::npos) continue;
        const char* p = frame.data() + text + 8;
        const char* stop = frame.data() + frame.size();
        long long index = 0, sent = 0;
        p = std::from_chars(p, stop, index).ptr;
        if (p < stop && *p == ':') std::from_chars(p + 1, stop, sent);
        on_delta(index, sent);
      } else if (frame.find("\"type\":\"result\"") != std::string_view::npos) {
        more = false;
      }
    }
    if (at > (1 << 20)) {
      buffer.erase(0, at);
      at = 0;
    }
    return more;
  }
};

bool say(std::uint16_t port, const std::string& npc, const std::string& words) {
  auto r = harness::http_request(port, "POST", "/npc/" + npc + "/say", Json{{"text", words}});
  return r && r->status == 200;
}

// What one stream received of a flood: every index once, in order, is what it should get.
struct Delivery {
  long long expected = 0, received = 0, skipped = 0, repeated = 0;

  void take(long long index) {
    ++received;
    if (index > expected) skipped += index - expected;
    if (index < expected) ++repeated;
    expected = index + 1;
  }
  bool complete(long long events) const {
    return received == events && expected == events && skipped == 0 && repeated == 0;
  }
};

// Reads every open stream until each has seen its "result" frame (or 30 s pass without data);
// calls on_delta(stream, index, sent_ns, read_ns) for each delta frame.
template <typename F>
void drain_all(std::vector<FrameReader>& readers, F on_delta) {
  std::vector<pollfd> fds;
  for (FrameReader& r : readers) fds.push_back({r.conn->fd(), POLLIN, 0});
  std::size_t open = readers.size();
  while (open > 0) {
    if (::poll(fds.data(), fds.size(), 30000) <= 0) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      long long received = now_ns();
      if (!readers[i].drain(
              [&](long long index, long long sent) { on_delta(i, index, sent, received); })) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

void throughput(harness::BridgeProcess& bridge, long long events, int stream_count) {
  const std::string npc = "flood" + std::to_string(stream_count);
  std::vector<harness::SseStream> streams(static_cast<std::size_t>(stream_count));
  for (harness::SseStream& stream : streams) {
    if (!stream.open(bridge.port(), npc)) {
      std::printf("cannot open the streams\n");
      return;
    }
  }
  // A first short turn launches the agent, so that the run below measures relaying only.
  say(bridge.port(), npc, "flood 1");
  for (harness::SseStream& stream : streams) stream.wait_for_type("result", 30s);

  std::vector<FrameReader> readers;
  for (harness::SseStream& s : streams)
    readers.push_back({&s.connection(), s.connection().pending(), 0});
  std::vector<Delivery> deliveries(streams.size());
  double cpu_before = cpu_seconds(bridge.pid());
  long long start = now_ns();
  say(bridge.port(), npc, "flood " + std::to_string(events));
  drain_all(readers, [&](std::size_t i, long long index, long long, long long) {
    deliveries[i].take(index);
  });
  long long elapsed = now_ns() - start;
  double cpu = cpu_seconds(bridge.pid()) - cpu_before;

  bool once = true;
  for (const Delivery& d : deliveries) once = once && d.complete(events);
  std::printf(
      "throughput, %d stream(s): %lld deltas in %.3f s = %.0f events/s; every delta to "
      "every stream once, in order: %s\n",
      stream_count, events, elapsed / 1e9, events / (elapsed / 1e9), once ? "yes" : "NO");
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    const Delivery& d = deliveries[i];
    if (d.complete(events)) continue;
    std::printf("  stream %zu: received %lld, skipped %lld, out of order %lld, last index %lld\n",
                i, d.received, d.skipped, d.repeated, d.expected - 1);
  }
  std::printf("  bridge CPU: %.3f s = %.2f us per relayed event\n", cpu, cpu * 1e6 / events);
}

void latency(harness::BridgeProcess& bridge, int npcs, int total_rate, int seconds) {
  std::vector<harness::SseStream> streams(static_cast<std::size_t>(npcs));
  std::vector<FrameReader> readers;
  int per_npc_rate = total_rate / npcs;
  int per_npc = per_npc_rate * seconds;
  for (int i = 0; i < npcs; ++i) {
    std::string id = "lat" + std::to_string(npcs) + "-" + std::to_string(i);
    if (!streams[i].open(bridge.port(), id)) return;
    say(bridge.port(), id, "flood 1");
    streams[i].wait_for_type("result", 30s);
  }
  for (auto& s : streams) readers.push_back({&s.connection(), s.connection().pending(), 0});
  for (int i = 0; i < npcs; ++i) {
    say(bridge.port(), "lat" + std::to_string(npcs) + "-" + std::to_string(i),
        "rate " + std::to_string(per_npc_rate) + " " + std::to_string(per_npc));
  }
  std::vector<long long> samples;
  samples.reserve(static_cast<std::size_t>(per_npc) * npcs);
  drain_all(readers, [&](std::size_t, long long, long long sent, long long received) {
    samples.push_back(received - sent);
  });
  std::sort(samples.begin(), samples.end());
  auto pct = [&](double p) {
    return samples.empty() ? 0.0
                           : samples[static_cast<std::size_t>(p * (samples.size() - 1))] / 1e3;
  };
  std::printf(
      "latency over %3d NPC(s) at %d events/s: %zu samples, p50 %.0f us, p99 %.0f us, max %.0f "
      "us\n",
      npcs, total_rate, samples.size(), pct(0.5), pct(0.99), pct(1.0));
}

}  // namespace

int main(int argc, char** argv) {
  raise_descriptor_limit();
  long long events = argc > 1 ? std::atoll(argv[1]) : 300000;
  int runs = argc > 2 ? std::atoi(argv[2]) : 1;
  harness::BridgeOptions options;
  options.claude = sibling("flood_agent");
  harness::BridgeProcess bridge(options);
  if (!bridge.start()) {
    std::printf("the bridge did not start\n");
    return 1;
  }
  for (int run = 0; run < runs; ++run) throughput(bridge, events, 1);
  throughput(bridge, events / 10, 100);
  for (int npcs : {1, 10, 100}) latency(bridge, npcs, 2000, 5);
  return 0;
}
