// The CLI's transcripts as they may be found: any contents under any folder and file name
// give a session description and a listing, or nothing, and agree with each other.
//
// Input: the project folder's name, a line feed, the session id, a line feed, then the file's
// contents. A folder named "-fuzz-work-space" is the one the CLI would give the workspace
// "/fuzz/work space", so the listing of that workspace reads the file.

#include <sys/stat.h>

#include <algorithm>

#include "fuzz_support.h"
#include "store/transcripts.h"

namespace {

const std::string WORKSPACE = "/fuzz/work space";

// One plain name inside a folder, as a file system takes it; anything else is replaced.
std::string plain_name(std::string_view wanted, std::string fallback) {
  bool plain = !wanted.empty() && wanted.size() <= 200 && wanted != "." && wanted != ".." &&
               wanted.find('/') == std::string_view::npos &&
               wanted.find('\0') == std::string_view::npos;
  return plain ? std::string(wanted) : fallback;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("HOME", scratch_dir().c_str(), 1);
  std::string workspace_folder_path = projects_dir() + "/" + cli_encode_workspace(WORKSPACE);
  std::filesystem::create_directories(workspace_folder_path);
  // Found by its name now, and remembered for the process: every listing reads this folder.
  FUZZ_CHECK(workspace_folder(WORKSPACE) == workspace_folder_path);
  return 0;
}

FUZZ_TARGET(rest) {
  std::string folder_name = plain_name(take_line(rest), "-fuzz-other");
  std::string session_id = plain_name(take_line(rest), "fuzz-session");
  std::string_view contents = rest;

  std::string folder = projects_dir() + "/" + folder_name;
  ::mkdir(folder.c_str(), 0700);
  std::string path = folder + "/" + session_id + ".jsonl";
  write_file(path, contents);

  TranscriptSummary s = scan_transcript(path);
  FUZZ_CHECK(s.bytes == contents.size());
  FUZZ_CHECK(s.messages <=
             static_cast<std::uint64_t>(std::count(contents.begin(), contents.end(), '\n') + 1));
  FUZZ_CHECK(is_valid_utf8(s.first_prompt) && is_valid_utf8(s.title) && is_valid_utf8(s.started));
  FUZZ_CHECK(s.messages > 0 || (s.first_prompt.empty() && s.started.empty()));

  // Found by its id among the project folders, the session reads the same.
  FUZZ_CHECK(transcript_summary(session_id) == Json({{"messages", s.messages},
                                                     {"label", s.first_prompt},
                                                     {"started", s.started},
                                                     {"bytes", s.bytes}}));

  // Listed only from the workspace's own folder, and only with a message.
  Json sessions = list_sessions(WORKSPACE);
  FUZZ_CHECK(sessions.is_array());
  bool listed = folder_name == cli_encode_workspace(WORKSPACE) && s.messages > 0;
  FUZZ_CHECK(sessions.size() == (listed ? 1u : 0u));
  if (listed) {
    const Json& entry = sessions[0];
    FUZZ_CHECK(entry["session_id"] == session_id && entry["messages"] == s.messages);
    FUZZ_CHECK(entry["label"] == s.first_prompt && entry["title"] == s.title);
  }

  // A workspace no folder is named after is looked for by the "cwd" the transcripts record.
  // A new one each time, so that no earlier answer is remembered in its place.
  static std::uint64_t searches = 0;
  std::string unknown = "/fuzz/searched-" + std::to_string(searches++);
  std::string found = workspace_folder(unknown);
  FUZZ_CHECK(found == folder || found == projects_dir() + "/" + cli_encode_workspace(unknown));

  ::unlink(path.c_str());
  if (folder_name != cli_encode_workspace(WORKSPACE)) ::rmdir(folder.c_str());
}
