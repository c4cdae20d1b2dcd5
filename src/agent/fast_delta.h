// The reply text of an agent, read straight from its output lines.
//
// Nearly every line an agent writes while it answers is a "stream_event" record carrying one
// piece of the reply. Reading those without building a document tree is the fast way; every
// other line, and any line this reader is not sure of, is translated the ordinary way.
#pragma once

#include <string_view>

enum class FastLine {
  unsure,   // anything else: translate the line the ordinary way
  ignored,  // a stream record of a sub-agent: nothing to do
  delta,    // a piece of the NPC's own reply, not empty
};

/// Reads one output line of an agent, as read (before any clean-up). For `delta`, `text` is the
/// piece of reply, valid until this thread's next call. Each thread has its own scanner.
FastLine read_fast_line(std::string_view line, std::string_view& text);
