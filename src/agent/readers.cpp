#include "agent/readers.h"

#include <system_error>
#include <thread>

#include "agent/life.h"
#include "agent/translate.h"
#include "util/fd_io.h"
#include "util/log.h"
#include "util/text.h"

namespace {

constexpr std::size_t STDERR_TAIL_LINES = 20;
// A standard-error line longer than this is kept only up to here: the tail is for the player
// to read.
constexpr std::size_t MAX_STDERR_LINE = 16 * 1024;
constexpr std::size_t READ_BUFFER = 64 * 1024;

}  // namespace

void read_agent_output(NpcHandle npc, std::uint64_t generation, UniqueFd out,
                       std::shared_ptr<ReaderDone> stderr_done) {
  LineReader reader(out.get(), MAX_AGENT_LINE, READ_BUFFER);
  std::string_view line;
  bool ended = false;
  while (!ended) {
    // The lines of one read wake the streams once: a burst of deltas costs one wake-up of each
    // stream instead of one per event; nothing waits for more output to arrive.
    DeferredWakeups batch;
    do {
      switch (reader.next(line)) {
        case LineReader::Got::Line:
          translate_line(*npc, generation, line);
          break;
        case LineReader::Got::TooLong:
          bridge_log("npc=" + npc->id() + " dropped an agent output line longer than " +
                     std::to_string(MAX_AGENT_LINE) + " bytes");
          push_event(*npc, "error",
                     Json{{"message", "The agent wrote a line longer than " +
                                          std::to_string(MAX_AGENT_LINE) + " bytes; it was dropped."}});
          flush_deferred_wakeups();
          break;
        case LineReader::Got::End:
        case LineReader::Got::Error:  // a read error ends the output just the same
          ended = true;
          break;
      }
    } while (!ended && reader.buffered());
  }
  // Our end of the pipe goes first: an agent still writing to it then fails instead of
  // blocking forever while we wait for it to exit.
  out.reset();
  report_agent_end(*npc, generation, std::move(stderr_done));
}

namespace {

void add_stderr_line(Npc& npc, std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  std::string line = trim(to_valid_utf8(raw));
  if (line.empty()) return;
  npc.locked([&](NpcState& s) {
    s.stderr_tail.push_back(std::move(line));
    if (s.stderr_tail.size() > STDERR_TAIL_LINES) s.stderr_tail.pop_front();
  });
}

// Keeps the newest standard-error lines of the NPC's agent. Bytes that are not UTF-8 are
// replaced rather than ending the reader: a closed pipe would kill the agent at its next write
// to standard error.
void stderr_reader(NpcHandle npc, UniqueFd err, std::shared_ptr<ReaderDone> done) {
  LineReader reader(err.get(), MAX_STDERR_LINE, READ_BUFFER);
  std::string_view line;
  for (;;) {
    LineReader::Got got = reader.next(line);
    if (got == LineReader::Got::End || got == LineReader::Got::Error) break;
    add_stderr_line(*npc, line);  // a line too long keeps its beginning
  }
  done->finish();
}

}  // namespace

std::optional<std::string> start_readers(NpcHandle npc, std::uint64_t generation, UniqueFd out,
                                         UniqueFd err, std::shared_ptr<ReaderDone> stderr_done) {
  try {
    std::thread(read_agent_output, npc, generation, std::move(out), stderr_done).detach();
  } catch (const std::system_error& e) {
    return std::string(e.what());
  }
  try {
    std::thread(stderr_reader, npc, std::move(err), stderr_done).detach();
  } catch (const std::system_error& e) {
    stderr_done->finish();
    bridge_log("npc=" + npc->id() + " cannot read the agent's standard error: " + e.what());
  }
  return std::nullopt;
}
