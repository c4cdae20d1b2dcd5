// Demo mode: a village NPC of Quillhaven (innkeeper of the Quill & Anchor, or the smith when
// the persona says so) who answers in character, picking lines by the player's words.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tools.h"
#include "util/json.h"

/// A tool the NPC reaches for, with its input.
struct DemoTool {
  std::string name;
  Json input;
};

/// What the NPC does with one message: a line said in character, then possibly a tool use
/// (followed by demo_tool_comment on its outcome).
struct DemoPlan {
  std::string reply;
  std::optional<DemoTool> tool;
};

/// A short name for the persona: the words after "You are " up to the first punctuation, or
/// else its first sentence; at most 60 characters. "" for an empty persona.
std::string persona_label(std::string_view persona);

/// True when the player asks to run, list, look at or read something.
bool asks_for_files(std::string_view words);

/// The NPC's answer to `words`. `turn` counts the turns of this process from 0; the first
/// one introduces the persona. A request to read names a file in `cwd` when one of the words
/// is the name of an existing file there; otherwise the NPC lists the folder with Bash.
DemoPlan plan_demo_turn(std::string_view words, std::string_view persona, std::size_t turn,
                        const std::string& cwd);

/// What the NPC says about what the tool gave back.
std::string demo_tool_comment(const std::string& tool, const ToolOutcome& outcome);
