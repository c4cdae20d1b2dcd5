#include "args.h"

#include <algorithm>
#include <string_view>

namespace {

// Flags that take no value.
bool is_switch(std::string_view flag) {
  return flag == "--print" || flag == "-p" || flag == "--include-partial-messages" ||
         flag == "--verbose";
}

// Flags that take one value.
bool takes_value(std::string_view flag) {
  static const std::string_view names[] = {
      "--input-format", "--output-format", "--permission-mode",      "--model",
      "--settings",     "--resume",        "--append-system-prompt", "--name"};
  return std::find(std::begin(names), std::end(names), flag) != std::end(names);
}

}  // namespace

ArgsResult parse_args(const std::vector<std::string>& argv) {
  AgentArgs args;
  args.raw = argv;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    std::string flag = argv[i];
    std::optional<std::string> value;
    if (std::size_t eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = flag.substr(eq + 1);
      flag.resize(eq);
    }
    if (is_switch(flag)) {
      if (value) return {std::nullopt, "error: option '" + flag + "' takes no value"};
      continue;
    }
    if (!takes_value(flag)) {
      if (flag.rfind("-", 0) == 0) return {std::nullopt, "error: unknown option '" + flag + "'"};
      return {std::nullopt, "error: unexpected argument '" + flag + "'"};
    }
    if (!value) {
      if (i + 1 >= argv.size()) {
        return {std::nullopt, "error: option '" + flag + "' argument missing"};
      }
      value = argv[++i];
    }
    if (flag == "--input-format" || flag == "--output-format") {
      if (*value != "stream-json") {
        return {std::nullopt,
                "error: the demo agent only speaks stream-json (" + flag + " " + *value + ")"};
      }
    } else if (flag == "--permission-mode") {
      if (std::find(PERMISSION_MODES.begin(), PERMISSION_MODES.end(), *value) ==
          PERMISSION_MODES.end()) {
        return {std::nullopt,
                "error: option '--permission-mode <mode>' argument '" + *value + "' is invalid"};
      }
      args.permission_mode = *value;
    } else if (flag == "--model") {
      args.model = *value;
    } else if (flag == "--settings") {
      args.settings_path = *value;
    } else if (flag == "--resume") {
      args.resume = *value;
    } else if (flag == "--append-system-prompt") {
      args.system_prompt = *value;
    } else if (flag == "--name") {
      args.name = *value;
    }
  }
  return {std::move(args), ""};
}
