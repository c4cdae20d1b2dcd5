// The state file as another program (or a crash, or a full disk) may have left it: reading it
// gives the object it holds or an empty one, and recalling an NPC from it gives readable text.
//
// Input: the whole file.

#include "config/config.h"
#include "fuzz_support.h"
#include "store/state_file.h"

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
  for (const std::string& id : ids) {
    Recalled memory = recall_npc(id, scratch_dir());
    for (const std::optional<std::string>* text :
         {&memory.workspace, &memory.session_id, &memory.persona, &memory.model})
      if (*text) FUZZ_CHECK(is_valid_utf8(**text));
  }
}
