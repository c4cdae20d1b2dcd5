// The bridge state file: per NPC, the folder, session, persona and model to come back to.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "util/json.h"

struct Npc;
struct NpcState;

/// Held by every read-modify-write of the state file, from its read to the end of its write.
/// Taken only with no NPC lock held.
extern std::mutex STORE_LOCK;

/// The file's top-level object; an empty object when it is missing or cannot be read as one.
Json load_state();

/// Writes `object` as the whole file (indented form): folders created, a temporary file in the
/// same folder flushed to disk, then renamed over the file. Returns the error text on failure
/// (the temporary file is removed).
std::optional<std::string> write_state(const Json& object);

/// Stores the NPC's workspace, workspace_source, session_id, persona and model. Takes the NPC
/// lock, then STORE_LOCK (never together). A failure is logged ("cannot save ...").
/// A file that cannot be read as an object is first renamed to "<path>.unreadable-<unix time>"
/// (logged), so the rewrite loses nothing; when it cannot be moved, nothing is written.
void remember_npc(Npc& npc);

/// Applies what the file remembers of `id` to a new record that no other thread sees yet.
/// Reads without STORE_LOCK (writes replace the file whole); an unreadable file recalls nothing.
void recall_npc(const std::string& id, NpcState& state);

/// The --reset-workspaces pass: forgets every remembered folder and session, keeps personas and
/// models, rewrites the file and logs "forgot N remembered folder(s)". An unreadable file is
/// kept aside as remember_npc does.
void forget_workspaces();
