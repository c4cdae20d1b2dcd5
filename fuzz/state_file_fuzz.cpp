// The state file as another program (or a crash, or a full disk) may have left it: reading it
// gives an object or nothing, and recalling an NPC from it takes only what is there.
//
// Input: the whole file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/npc.h"
#include "config/config.h"
#include "fuzz_support.h"
#include "store/state_file.h"
#include "util/json.h"
#include "util/text.h"

namespace {

const std::string& default_workspace() {
  static const std::string* folder = new std::string(scratch_dir());
  return *folder;
}

// Recalls `id` into a fresh record and checks that only what the file says was taken.
void recall(const std::string& id, const Json& file) {
  NpcState state;
  state.workspace = default_workspace();
  recall_npc(id, state);

  const Json* entry = field(file, id);
  if (entry == nullptr || !entry->is_object()) {
    FUZZ_CHECK(state.workspace == default_workspace() && state.workspace_source == "default");
    FUZZ_CHECK(state.session_id.empty() && state.persona.empty() && state.model.empty());
    FUZZ_CHECK(!state.resumed);
    return;
  }
  FUZZ_CHECK(state.workspace_source == "default" || state.workspace_source == "explicit");
  FUZZ_CHECK(state.workspace_source == "default" ||
             state.workspace == as_text(*entry, "workspace"));
  FUZZ_CHECK(state.resumed == !state.session_id.empty());
  if (state.resumed) FUZZ_CHECK(state.session_id == as_text(*entry, "session_id"));
  for (const std::string* text :
       {&state.workspace, &state.session_id, &state.persona, &state.model}) {
    FUZZ_CHECK(is_valid_utf8(*text));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  store_state_file_path(scratch_dir() + "/bridge_state.json");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes = input_text(data, size);
  write_file(state_file_path(), bytes);

  Json file = load_state();
  FUZZ_CHECK(file.is_object());
  std::optional<Json> parsed = is_valid_utf8(bytes) ? parse_json(bytes) : std::nullopt;
  if (parsed && parsed->is_object()) {
    FUZZ_CHECK(file == *parsed);
  } else {
    FUZZ_CHECK(file.empty());
  }

  // The NPCs the file names (a few), and ones it may not.
  std::vector<std::string> ids = {"guard", "", "smith"};
  for (auto it = file.begin(); it != file.end() && ids.size() < 8; ++it) ids.push_back(it.key());
  for (const std::string& id : ids) recall(id, file);
  return 0;
}
