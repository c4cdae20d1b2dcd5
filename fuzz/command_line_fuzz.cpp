// The command line: any arguments give help, an error with its status, the hook, or a served
// configuration that holds together.
//
// Input: the arguments, separated by NUL bytes (which no argument can hold).

#include <sys/stat.h>

#include "config/config.h"
#include "config/parse.h"
#include "fuzz_support.h"

namespace {

void check(const Invocation& outcome) {
  switch (outcome.kind) {
    case Invocation::Kind::Exit:
      FUZZ_CHECK(outcome.status == 0 ? outcome.message == usage_text()
                                     : (outcome.status == 1 || outcome.status == 2) &&
                                           outcome.message.starts_with("error: "));
      FUZZ_CHECK(is_valid_utf8(outcome.message));
      break;
    case Invocation::Kind::Hook:
      FUZZ_CHECK(is_valid_utf8(outcome.bridge_url) && is_valid_utf8(outcome.npc_id));
      break;
    case Invocation::Kind::Serve: {
      const Config& c = config();
      FUZZ_CHECK(!c.workspace.empty() && c.workspace.front() == '/' && !c.claude.empty());
      FUZZ_CHECK(is_valid_utf8(c.workspace) && is_valid_utf8(c.claude) && is_valid_utf8(c.host));
      // The state file path is the value given, even an empty one (saving then fails,
      // logged); reading it must not stop the process.
      state_file_path();
      for (const std::string& model : c.models) FUZZ_CHECK(!model.empty() && trim(model) == model);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A home, and a `claude` on PATH, so that the serving path can be reached.
  std::string bin = scratch_dir() + "/bin";
  ::mkdir(bin.c_str(), 0700);
  write_file(bin + "/claude", "#!/bin/sh\n", 0700);
  ::setenv("HOME", scratch_dir().c_str(), 1);
  ::setenv("PATH", bin.c_str(), 1);
  ::setenv("AGENT_MODEL", "sonnet", 1);
  return 0;
}

FUZZ_TARGET(input) {
  std::vector<std::string> args;
  for (std::string_view rest = input; !rest.empty();) args.emplace_back(take_line(rest, '\0'));
  check(parse(args));
}
