// The bridge state file: per NPC, the folder, session, persona and model to come back to.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "util/json.h"

/// What the state file keeps of one NPC.
struct Remembered {
  std::string workspace;
  bool workspace_is_default = true;
  std::string session_id;
  std::string persona;
  std::string model;
};

/// What the state file gives back of one NPC: only what it holds and still applies.
struct Recalled {
  std::optional<std::string> workspace;  // an explicit folder that still exists
  std::optional<std::string> session_id;
  std::optional<std::string> persona;
  std::optional<std::string> model;  // "" is a choice too: the CLI's own default
};

/// Held by every read-modify-write of the state file, from its read to the end of its write.
/// Taken only with no NPC lock held.
extern std::mutex STORE_LOCK;

/// The file's top-level object; an empty object when it is missing or cannot be read as one.
Json load_state();

/// Writes `object` as the whole file (indented form): folders created, a temporary file in the
/// same folder flushed to disk, then renamed over the file. Returns the error text on failure
/// (the temporary file is removed).
std::optional<std::string> write_state(const Json& object);

/// Stores the NPC's workspace, workspace_source, session_id, persona and model. `current` is
/// asked for them with STORE_LOCK held, so that of two saves racing the newer values are the
/// ones written last; it must not take STORE_LOCK. A failure is logged ("cannot save ...").
/// A file that cannot be read as an object is first renamed to "<path>.unreadable-<unix time>"
/// (logged), so the rewrite loses nothing; when it cannot be moved, nothing is written.
void remember_npc(const std::string& id, const std::function<Remembered()>& current);

/// What the file remembers of `id`. A remembered folder that is gone is logged and left out
/// (`default_workspace` is named as the one used instead). Reads without STORE_LOCK (writes
/// replace the file whole); an unreadable file recalls nothing.
Recalled recall_npc(const std::string& id, const std::string& default_workspace);

/// The --reset-workspaces pass: forgets every remembered folder and session, keeps personas and
/// models, rewrites the file and logs "forgot N remembered folder(s)". An unreadable file is
/// kept aside as remember_npc does.
void forget_workspaces();
