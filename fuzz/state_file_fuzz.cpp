// The state file as another program (or a crash, or a full disk) may have left it: reading it
// gives an object or nothing, and recalling an NPC from it takes only what is there.
//
// Input: the whole file.

#include "config/config.h"
#include "fuzz_support.h"
#include "store/state_file.h"

namespace {

// Recalls `id` and checks that only what the file says was taken.
void recall(const std::string& id, const Json& file) {
  Recalled memory = recall_npc(id, scratch_dir());
  const Json* entry = field(file, id);
  if (entry == nullptr || !entry->is_object()) {
    FUZZ_CHECK(!memory.workspace && !memory.session_id && !memory.persona && !memory.model);
    return;
  }
  if (memory.workspace) {
    FUZZ_CHECK(*memory.workspace == as_text(*entry, "workspace"));
    FUZZ_CHECK(as_text(*entry, "workspace_source") == "explicit");
  }
  // A recalled conversation is always one to resume: never an empty id.
  if (memory.session_id) {
    FUZZ_CHECK(!memory.session_id->empty() && *memory.session_id == as_text(*entry, "session_id"));
  }
  for (const std::optional<std::string>* text :
       {&memory.workspace, &memory.session_id, &memory.persona, &memory.model}) {
    if (*text) FUZZ_CHECK(is_valid_utf8(**text));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  store_state_file_path(scratch_dir() + "/bridge_state.json");
  return 0;
}

FUZZ_TARGET(bytes) {
  write_file(state_file_path(), bytes);

  Json file = load_state();
  FUZZ_CHECK(file.is_object());
  std::optional<Json> parsed = is_valid_utf8(bytes) ? parse_json(bytes) : std::nullopt;
  FUZZ_CHECK(parsed && parsed->is_object() ? file == *parsed : file.empty());

  // The NPCs the file names (a few), and ones it may not.
  std::vector<std::string> ids = {"guard", "", "smith"};
  for (auto it = file.begin(); it != file.end() && ids.size() < 8; ++it) ids.push_back(it.key());
  for (const std::string& id : ids) recall(id, file);
}
